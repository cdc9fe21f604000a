"""The station store's read queries as Tables and lists, their filters, and the network events."""
import datetime
import json
import math

from tessora_cn0 import tessora_cn0 as _ext

_DAY_COLUMNS = [("station", "dictionary<string>"), ("day", "string"), ("receiver", "dictionary<string>"),
                ("antenna", "dictionary<string>"), ("firmware", "dictionary<string>"), ("path", "string"),
                ("verdict", "dictionary<string>"), ("mode", "dictionary<string>"), ("reason", "string"),
                ("used_store", "bool"), ("events", "int64"), ("learned", "bool"),
                ("start_time", "timestamp[ns]"), ("end_time", "timestamp[ns]"), ("judged_at", "timestamp[ns]")]

_EVENT_COLUMNS = [("station", "dictionary<string>"), ("day", "string"), ("start", "timestamp[ns]"),
                  ("end", "timestamp[ns]"), ("peak_time", "timestamp[ns]"), ("duration", "float64"),
                  ("peak_degradation_db", "float64"), ("degradation_db", "string"), ("bands", "string"),
                  ("systems", "string"), ("satellites_affected", "string"), ("satellites_lost", "string"),
                  ("kind", "dictionary<string>"), ("statistic", "float64"), ("latitude", "float64"),
                  ("longitude", "float64"), ("path", "string")]

_NETWORK_COLUMNS = [("network_event", "int64"), ("start", "timestamp[ns]"), ("end", "timestamp[ns]"),
                    ("network_kind", "dictionary<string>"), ("network_bands", "string"), ("onset_spread", "float64"),
                    ("station", "dictionary<string>"), ("onset", "timestamp[ns]"), ("station_end", "timestamp[ns]"),
                    ("peak_degradation_db", "float64"), ("bands", "string"), ("kind", "dictionary<string>"),
                    ("latitude", "float64"), ("longitude", "float64"), ("file", "string")]


def _table(layout, rows, metadata=None):
    """A Table of dict rows, with the (name, type) columns of layout."""
    columns = [(name, kind, [row[name] for row in rows]) for name, kind in layout]
    return _ext._make_table(columns, metadata or {})


def _dicts(layout, rows):
    names = [name for name, _ in layout]
    return [dict(zip(names, row)) for row in rows]


def _span(table, since, until):
    """WHERE clauses and parameters of what ends at or after since and starts at or before until
    (a date as until: its whole day), for a table alias with start and end columns."""
    clauses, params = [], []
    if since is not None:
        clauses.append(f"{table}.end >= ?")
        params.append(epoch_text(since))
    if until is not None:
        clauses.append(f"{table}.start <= ?")
        params.append(epoch_text(until, end_of_day=True))
    return clauses, params


def _joined(text):
    """A JSON list of texts as "a;b" (the batch CSV's way of writing lists)."""
    return ";".join(json.loads(text))


# ---------------------------------------------------------------------------------------- times

def epoch_text(value, end_of_day=False):
    """A time as the detector's epoch text ("2024-05-03T10:04:30.000Z"), which sorts as time:
    an epoch text or ISO time, a date (YYYY-MM-DD: its first instant, or its last with
    end_of_day), a datetime (naive: UTC) or a date object."""
    if isinstance(value, str):
        text = value.strip()
        try:
            if len(text) == 10:
                value = datetime.date.fromisoformat(text)
            else:
                value = datetime.datetime.fromisoformat(text.replace("Z", "+00:00"))
        except ValueError:
            raise ValueError(f"not a time: {value!r} (use YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS)") from None
    if isinstance(value, datetime.datetime):
        if value.tzinfo is not None:
            value = value.astimezone(datetime.timezone.utc).replace(tzinfo=None)
    elif isinstance(value, datetime.date):
        value = datetime.datetime.combine(value, datetime.time.max if end_of_day else datetime.time.min)
    else:
        raise TypeError(f"a time must be a str, date or datetime, not {type(value).__name__}")
    return value.strftime("%Y-%m-%dT%H:%M:%S.%f")[:23] + "Z"


def _bbox(bbox):
    try:
        values = [float(v) for v in bbox]
    except (TypeError, ValueError):
        raise ValueError("bbox must be four numbers: min_lon, min_lat, max_lon, max_lat") from None
    if len(values) != 4 or not all(math.isfinite(v) for v in values):
        raise ValueError("bbox must be four numbers: min_lon, min_lat, max_lon, max_lat")
    min_lon, min_lat, max_lon, max_lat = values
    if min_lat > max_lat or not (-90 <= min_lat and max_lat <= 90):
        raise ValueError(f"bbox latitudes must satisfy -90 <= min_lat <= max_lat <= 90, not {min_lat:g}, {max_lat:g}")
    if not all(-180 <= v <= 180 for v in (min_lon, max_lon)):
        raise ValueError(f"bbox longitudes must lie within -180 and 180, not {min_lon:g}, {max_lon:g}")
    lon = "e.longitude BETWEEN ? AND ?" if min_lon <= max_lon else "(e.longitude >= ? OR e.longitude <= ?)"
    return f"e.latitude BETWEEN ? AND ? AND {lon}", [min_lat, max_lat, min_lon, max_lon]


def _kinds(kind):
    kinds = [kind] if isinstance(kind, str) else list(kind)
    if not kinds or not all(isinstance(k, str) for k in kinds):
        raise TypeError("kind must be a str or a list of str")
    return kinds


# ---------------------------------------------------------------------------------------- queries

def stations(read):
    rows = read(
        "SELECT st.marker, st.latitude, st.longitude, st.x, st.y, st.z, st.first_day, st.last_day, "
        "(SELECT count(*) FROM days d WHERE d.station_id = st.id), "
        "(SELECT count(*) FROM days d WHERE d.station_id = st.id AND d.verdict = 'clean'), "
        "(SELECT count(*) FROM events e WHERE e.station_id = st.id), "
        "(SELECT count(*) FROM setups s WHERE s.station_id = st.id) FROM stations st ORDER BY st.marker")
    keys = ("marker", "latitude", "longitude", "x", "y", "z", "first_day", "last_day", "days", "clean_days",
            "events", "setups")
    return [dict(zip(keys, row)) for row in rows]


def setups(read, station):
    rows = read(
        "SELECT s.receiver, s.antenna, s.firmware, s.first_day, s.last_day, "
        "(SELECT count(*) FROM days d WHERE d.setup_id = s.id), t.days, t.first_day, t.last_day, t.updated_at "
        "FROM setups s JOIN stations st ON st.id = s.station_id LEFT JOIN templates t ON t.setup_id = s.id "
        "WHERE st.marker = ? ORDER BY s.last_day, s.id", (station,))
    out = []
    for r in rows:
        out.append({"receiver": r[0], "antenna": r[1], "firmware": r[2], "first_day": r[3], "last_day": r[4],
                    "days": r[5], "template_days": json.loads(r[6]) if r[6] is not None else None,
                    "template_first_day": r[7], "template_last_day": r[8], "template_updated": r[9]})
    return out


def day_rows(read, station=None):
    where, params = ("WHERE st.marker = ?", (station,)) if station is not None else ("", ())
    rows = read(
        "SELECT st.marker, d.day, s.receiver, s.antenna, s.firmware, d.path, d.verdict, d.mode, d.reason, "
        "d.used_store, d.events, EXISTS (SELECT 1 FROM day_templates t WHERE t.day_id = d.id), "
        "nullif(d.start_time, ''), nullif(d.end_time, ''), d.judged_at FROM days d "
        f"JOIN stations st ON st.id = d.station_id JOIN setups s ON s.id = d.setup_id {where} "
        "ORDER BY st.marker, d.day", params)
    return _dicts(_DAY_COLUMNS, [r[:9] + (bool(r[9]), r[10], bool(r[11])) + r[12:] for r in rows])


def days_table(read, station=None):
    return _table(_DAY_COLUMNS, day_rows(read, station))


def event_rows(read, *, since=None, until=None, station=None, kind=None, bbox=None):
    clauses, params = _span("e", since, until)
    if station is not None:
        clauses.append("st.marker = ?")
        params.append(station)
    if kind is not None:
        kinds = _kinds(kind)
        clauses.append(f"e.kind IN ({', '.join('?' * len(kinds))})")
        params += kinds
    if bbox is not None:
        clause, values = _bbox(bbox)
        clauses.append(clause)
        params += values
    where = f"WHERE {' AND '.join(clauses)}" if clauses else ""
    rows = read(
        "SELECT st.marker, d.day, e.start, e.end, e.peak_time, e.duration, e.peak_degradation_db, e.degradation_db, "
        "e.bands, e.systems, e.satellites_affected, e.satellites_lost, e.kind, e.statistic, e.latitude, "
        "e.longitude, d.path FROM events e JOIN days d ON d.id = e.day_id JOIN stations st ON st.id = e.station_id "
        f"{where} ORDER BY e.start, st.marker, e.id", params)
    rows = [r[:8] + (_joined(r[8]), _joined(r[9]), _joined(r[10]), _joined(r[11])) + r[12:] for r in rows]
    return _dicts(_EVENT_COLUMNS, rows)


def events_table(read, **filters):
    return _table(_EVENT_COLUMNS, event_rows(read, **filters))


# ---------------------------------------------------------------------------------------- network

def store_network(conn, events, recorded_at):
    """Writes network events (NetworkEvent records), replacing the stored ones they overlap."""
    for n in events:
        conn.execute("DELETE FROM network_events WHERE end >= ? AND start <= ?", (n.start, n.end))
    for n in events:
        nid = conn.execute("INSERT INTO network_events (start, end, kind, bands, onset_spread, recorded_at) "
                           "VALUES (?, ?, ?, ?, ?, ?)",
                           (n.start, n.end, n.kind, json.dumps(list(n.bands)), float(n.onset_spread),
                            recorded_at)).lastrowid
        conn.executemany(
            "INSERT INTO network_event_stations VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            [(nid, i, s.station, s.onset, s.end, float(s.peak_degradation_db), json.dumps(list(s.bands)), s.kind,
              s.latitude, s.longitude, s.file) for i, s in enumerate(n.stations)])
    return len(events)


def network_table(read, *, since=None, until=None):
    clauses, params = _span("n", since, until)
    where = f"WHERE {' AND '.join(clauses)}" if clauses else ""
    rows = read(
        "SELECT n.id, n.start, n.end, n.kind, n.bands, n.onset_spread, s.station, s.onset, s.end, "
        "s.peak_degradation_db, s.bands, s.kind, s.latitude, s.longitude, s.file FROM network_events n "
        f"JOIN network_event_stations s ON s.network_event_id = n.id {where} ORDER BY n.start, n.id, s.position",
        params)
    rows = [r[:4] + (_joined(r[4]),) + r[5:10] + (_joined(r[10]),) + r[11:] for r in rows]
    return _table(_NETWORK_COLUMNS, _dicts(_NETWORK_COLUMNS, rows))
