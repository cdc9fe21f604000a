"""StationStore: the judged station-days, their events and each set-up's template in one SQLite file.

    with tessora_cn0.StationStore("stations.db") as store:
        report = tessora_cn0.detect_interference(obs, nav, store=store)   # judged and recorded
        store.template("NYA100NOR")                                       # the learned CN0Template
        store.events(since="2024-05-01", kind="wideband").to_pandas()

Every write is one transaction (taken at once, so that writers queue instead of failing), and the
file is in WAL mode: several processes may record into one store while others read it. A
connection is shared by the threads of a process under a lock.
"""
import dataclasses
import datetime
import json
import os
import sqlite3
import threading

from tessora_cn0 import tessora_cn0 as _ext
from tessora_cn0.store import queries, records, schema
from tessora_cn0.store.records import Setup
from tessora_cn0.store.schema import StoreError

# A set-up's template is combined from at most this many of its latest clean days. The curves of
# twice as many are kept (a day forgotten or re-run then leaves others to combine); older clean
# days keep only the fact that they were learned from, not their curves (some 70 kB a day).
TEMPLATE_DAYS = 30


def _now():
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%f")[:23] + "Z"


def _state_of(template):
    """A CN0Template's binary form (the state its pickle carries)."""
    return template.__reduce__()[1][0]


def _template_of(text, state):
    """A day's CN0Template from its binary form, or from its JSON (text() gives it) when it has none
    or the form is not one this version reads."""
    if state is not None:
        try:
            return _ext.CN0Template._from_state(state)
        except ValueError:
            pass
    return _ext.CN0Template.from_json(text())


class StationStore:
    """A station store in one SQLite file: ``StationStore(path)`` opens it, creating it when the
    file is absent or empty. A file that is not a store, a corrupt one or a store of a newer schema
    raises StoreError (a ValueError: "PATH: reason") and is left as it was."""

    def __init__(self, path):
        self._path = os.fspath(path)
        self._lock = threading.RLock()
        self._conn = schema.connect(self._path)

    # -------------------------------------------------------------------------------- lifetime
    @property
    def path(self):
        """The store's file."""
        return self._path

    def close(self):
        """Closes the store; further use raises StoreError. Closing twice is harmless."""
        with self._lock:
            if self._conn is not None:
                self._conn.close()
                self._conn = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        return f"StationStore({self._path!r}{', closed' if self._conn is None else ''})"

    def _connection(self):
        if self._conn is None:
            raise StoreError(self._path, "the station store is closed")
        return self._conn

    def _read(self, sql, params=()):
        with self._lock:
            try:
                return self._connection().execute(sql, params).fetchall()
            except sqlite3.DatabaseError as exc:
                raise StoreError(self._path, f"cannot read the station store ({exc})") from None

    def _write(self, change):
        """Runs change(conn) in one transaction, taken at once (BEGIN IMMEDIATE): either all of it
        is committed or nothing."""
        with self._lock:
            conn = self._connection()
            try:
                conn.execute("BEGIN IMMEDIATE")
            except sqlite3.DatabaseError as exc:
                raise StoreError(self._path, f"cannot write the station store ({exc})") from None
            try:
                result = change(conn)
                conn.execute("COMMIT")
                return result
            except BaseException as exc:
                if conn.in_transaction:
                    conn.execute("ROLLBACK")
                if isinstance(exc, sqlite3.DatabaseError):
                    raise StoreError(self._path, f"cannot write the station store ({exc})") from None
                raise

    # -------------------------------------------------------------------------------- writing
    def record(self, report, obs=None, *, path=None, used_store=False, own_template=records.REPORT_TEMPLATE):
        """Records one judged station-day from its InterferenceReport and returns the day
        (YYYY-MM-DD).

        obs is the recording's RinexObsData: its header gives the set-up (receiver type,
        antenna type, receiver firmware) and the position. Without it the day goes to the
        station's latest set-up (an unnamed one for a new station). path is the recording's file
        (default: the report's file name); used_store says the day was judged against the stored
        template. A day recorded again replaces its earlier rows. A clean day's own template
        enters its set-up's template: by default the report's (none when used_store: the report
        then carries the stored one); own_template gives it instead (a CN0Template learned from
        the day alone, or None for none). A day with events never enters it.
        """
        rec = records.day_record(report, obs, path=path, used_store=used_store, own_template=own_template)
        self._write(lambda conn: self._record(conn, rec))
        return rec.day

    def _record(self, conn, rec):
        station_id = self._station_id(conn, rec)
        setup_id = self._setup_id(conn, station_id, rec.setup)
        old = conn.execute("SELECT id, setup_id FROM days WHERE station_id = ? AND day = ?",
                           (station_id, rec.day)).fetchone()
        if old is not None:
            conn.execute("DELETE FROM days WHERE id = ?", (old[0],))  # its events and template go too
        day_id = conn.execute(
            "INSERT INTO days (station_id, day, setup_id, path, verdict, mode, reason, used_store, events, "
            "start_time, end_time, judged_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            (station_id, rec.day, setup_id, rec.path, rec.verdict, rec.mode, rec.reason, int(rec.used_store),
             len(rec.events), rec.start_time, rec.end_time, _now())).lastrowid
        conn.executemany(
            "INSERT INTO events (day_id, station_id, start, end, peak_time, duration, peak_degradation_db, "
            "degradation_db, bands, systems, satellites_affected, satellites_lost, kind, statistic, latitude, "
            "longitude) VALUES (:day_id, :station_id, :start, :end, :peak_time, :duration, :peak_degradation_db, "
            ":degradation_db, :bands, :systems, :satellites_affected, :satellites_lost, :kind, :statistic, "
            ":latitude, :longitude)",
            [dict(e, day_id=day_id, station_id=station_id, latitude=rec.latitude, longitude=rec.longitude)
             for e in rec.events])
        if rec.template is not None:
            conn.execute("INSERT INTO day_templates (day_id, setup_id, day, json, state) VALUES (?, ?, ?, ?, ?)",
                         (day_id, setup_id, rec.day, rec.template.to_json(), _state_of(rec.template)))
        self._after_change(conn, station_id, {setup_id} | ({old[1]} if old is not None else set()))

    def record_live(self, station, day, events, *, setup=None, path="", used_store=False, position=None,
                    first="", last=""):
        """Records a day a monitor judged live: station and day (YYYY-MM-DD), its closed events (dicts
        as the monitor's event lines: start, end, peak_time, peak_degradation_db, bands, kind; and
        duration and degradation_db when known), the set-up it was seen with, the source, whether
        it was judged against the stored template, the position, and the first and last epoch
        judged. A live day teaches no template, and a day judged from its file stands: the store
        keeps that one and returns False. A live day recorded again (the monitor restarted within
        the day) keeps its events that start at other times and spans both."""
        rec = records.live_record(station, day, events, setup=setup, path=path, used_store=used_store,
                                  position=position, first=first, last=last)
        return self._write(lambda conn: self._record_live(conn, rec))

    def _record_live(self, conn, rec):
        old = conn.execute("SELECT d.id, d.mode, d.start_time, d.end_time FROM days d JOIN stations s ON "
                           "s.id = d.station_id WHERE s.marker = ? AND d.day = ?", (rec.station, rec.day)).fetchone()
        if old is not None and old[1] != records.LIVE_MODE:
            return False
        if old is not None:
            starts = {e["start"] for e in rec.events}
            cols = ("start", "end", "peak_time", "duration", "peak_degradation_db", "degradation_db", "bands",
                    "systems", "satellites_affected", "satellites_lost", "kind", "statistic")
            kept = [dict(zip(cols, r)) for r in conn.execute(f"SELECT {', '.join(cols)} FROM events WHERE day_id = ?",
                                                             (old[0],))]
            events = tuple(sorted([e for e in kept if e["start"] not in starts] + list(rec.events),
                                  key=lambda e: e["start"]))
            spans = [t for t in (old[2], old[3], rec.start_time, rec.end_time) if t]
            rec = dataclasses.replace(rec, events=events, verdict="events" if events else "clean",
                               start_time=min(spans, default=""), end_time=max(spans, default=""))
        self._record(conn, rec)
        return True

    def _station_id(self, conn, rec):
        conn.execute("INSERT INTO stations (marker) VALUES (?) ON CONFLICT (marker) DO NOTHING", (rec.station,))
        station_id, last_day = conn.execute("SELECT id, last_day FROM stations WHERE marker = ?",
                                            (rec.station,)).fetchone()
        if last_day is None or rec.day >= last_day:  # the position of the latest day
            xyz = rec.position or (None, None, None)
            conn.execute("UPDATE stations SET x = coalesce(?, x), y = coalesce(?, y), z = coalesce(?, z), "
                         "latitude = coalesce(?, latitude), longitude = coalesce(?, longitude) WHERE id = ?",
                         (*xyz, rec.latitude, rec.longitude, station_id))
        return station_id

    def _setup_id(self, conn, station_id, setup):
        if setup is None:
            row = conn.execute("SELECT id FROM setups WHERE station_id = ? ORDER BY last_day DESC, id DESC LIMIT 1",
                               (station_id,)).fetchone()
            if row is not None:
                return row[0]
            setup = Setup("", "", "")
        conn.execute("INSERT INTO setups (station_id, receiver, antenna, firmware) VALUES (?, ?, ?, ?) "
                     "ON CONFLICT DO NOTHING", (station_id, setup.receiver, setup.antenna, setup.firmware))
        return conn.execute("SELECT id FROM setups WHERE station_id = ? AND receiver = ? AND antenna = ? AND "
                            "firmware = ?", (station_id, setup.receiver, setup.antenna, setup.firmware)).fetchone()[0]

    def _after_change(self, conn, station_id, setup_ids):
        """Recombines the set-ups' templates and refreshes the days spans; drops set-ups and the
        station once no day is left."""
        marker = conn.execute("SELECT marker FROM stations WHERE id = ?", (station_id,)).fetchone()[0]
        for setup_id in setup_ids:
            self._recombine(conn, setup_id, marker)
        conn.execute("UPDATE setups SET first_day = (SELECT min(day) FROM days WHERE setup_id = setups.id), "
                     "last_day = (SELECT max(day) FROM days WHERE setup_id = setups.id) WHERE station_id = ?",
                     (station_id,))
        conn.execute("DELETE FROM setups WHERE station_id = ? AND first_day IS NULL", (station_id,))
        conn.execute("UPDATE stations SET first_day = (SELECT min(day) FROM days WHERE station_id = stations.id), "
                     "last_day = (SELECT max(day) FROM days WHERE station_id = stations.id) WHERE id = ?",
                     (station_id,))
        conn.execute("DELETE FROM stations WHERE id = ? AND first_day IS NULL", (station_id,))

    def _recombine(self, conn, setup_id, marker):
        conn.execute("UPDATE day_templates SET json = '', state = NULL WHERE setup_id = ? AND json != '' AND day < "
                     "(SELECT min(day) FROM (SELECT day FROM day_templates WHERE setup_id = ? AND json != '' "
                     "ORDER BY day DESC LIMIT ?))", (setup_id, setup_id, 2 * TEMPLATE_DAYS))
        rows = conn.execute("SELECT day_id, day, state FROM day_templates WHERE setup_id = ? AND json != '' "
                            "ORDER BY day DESC LIMIT ?", (setup_id, TEMPLATE_DAYS)).fetchall()
        if not rows:
            conn.execute("DELETE FROM templates WHERE setup_id = ?", (setup_id,))
            return

        def json_of(day_id):  # read only when needed: a day's JSON is tens of kB
            return conn.execute("SELECT json FROM day_templates WHERE day_id = ?", (day_id,)).fetchone()[0]

        # The core combines the days (newest first) as templates.combine describes, from their
        # binary form, or from their JSON where a row has none (written before it was kept).
        text = _ext._combine_templates([_template_of(lambda: json_of(i), s) for i, _, s in rows], marker).to_json()
        days = sorted(d for _, d, _ in rows)
        conn.execute("INSERT OR REPLACE INTO templates VALUES (?, ?, ?, ?, ?, ?)",
                     (setup_id, text, json.dumps(days), days[0], days[-1], _now()))

    def forget(self, target):
        """Forgets a station ("NYA100NOR": all its days) or one day ("NYA100NOR/2024-05-03"); the
        set-ups' templates are combined again without them. Returns the number of days
        forgotten; LookupError when the store has no such station or day."""
        station, day = records.split_target(target)

        def change(conn):
            row = conn.execute("SELECT id FROM stations WHERE marker = ?", (station,)).fetchone()
            if row is None:
                raise LookupError(f"{self._path}: no station {station!r} in the store")
            where, params = ("station_id = ?", (row[0],)) if day is None else \
                ("station_id = ? AND day = ?", (row[0], day))
            setups = {r[0] for r in conn.execute(f"SELECT setup_id FROM days WHERE {where}", params)}
            if not setups:
                raise LookupError(f"{self._path}: no day {day} of station {station!r} in the store")
            n = conn.execute(f"DELETE FROM days WHERE {where}", params).rowcount
            self._after_change(conn, row[0], setups)
            return n

        return self._write(change)

    def record_network(self, events):
        """Keeps network events (``tessora_cn0.network_events(...)``) with their stations. A network
        run over a span replaces the network events stored for that span (those overlapping any
        of the new ones). Returns the number stored."""
        events = list(events)
        return self._write(lambda conn: queries.store_network(conn, events, _now()))

    # -------------------------------------------------------------------------------- reading
    def stations(self):
        """The stations, by marker: dicts of marker, latitude, longitude, x, y, z, first_day,
        last_day, days, clean_days, events and setups (the number of set-ups)."""
        return queries.stations(self._read)

    def setups(self, station):
        """A station's set-ups, latest last: dicts of receiver, antenna, firmware, first_day,
        last_day, days, and of its template (None without one) template_days (the days it was
        combined from), template_first_day, template_last_day and template_updated."""
        return queries.setups(self._read, station)

    def template(self, station, setup=None):
        """The stored CN0Template of a station's set-up (its latest set-up when setup is None), or
        None. setup is a Setup, a (receiver, antenna, firmware) tuple or a RinexObsData."""
        if not isinstance(station, str):
            raise TypeError(f"station must be a str, not {type(station).__name__}")
        if setup is None:
            rows = self._read("SELECT t.json FROM setups s JOIN stations st ON st.id = s.station_id "
                              "LEFT JOIN templates t ON t.setup_id = s.id WHERE st.marker = ? "
                              "ORDER BY s.last_day DESC, s.id DESC LIMIT 1", (station,))
        else:
            s = records.as_setup(setup)
            rows = self._read("SELECT t.json FROM templates t JOIN setups s ON s.id = t.setup_id JOIN stations st "
                              "ON st.id = s.station_id WHERE st.marker = ? AND s.receiver = ? AND s.antenna = ? AND "
                              "s.firmware = ?", (station, s.receiver, s.antenna, s.firmware))
        if not rows or rows[0][0] is None:
            return None
        return _ext.CN0Template.from_json(rows[0][0])

    def days(self, station=None):
        """The judged station-days as a Table, one row per day in (station, day) order: station, day,
        receiver, antenna, firmware, path, verdict ("clean", "events", "not judged"), mode, reason,
        used_store, events, learned (its own template is kept for its set-up's), start_time,
        end_time, judged_at."""
        return queries.days_table(self._read, station)

    def events(self, since=None, until=None, station=None, kind=None, bbox=None):
        """The stored events as a Table, one row per event in time order. since and until (epoch
        texts, dates, datetimes; a date as until takes in its whole day) keep the events that
        overlap that span; kind is a kind or a list of kinds; bbox is (min_lon, min_lat, max_lon,
        max_lat) in degrees (min_lon > max_lon spans the antimeridian), leaving out events without
        a station position."""
        return queries.events_table(self._read, since=since, until=until, station=station, kind=kind, bbox=bbox)

    def _day_rows(self, station=None):
        return queries.day_rows(self._read, station)

    def _event_rows(self, **filters):
        return queries.event_rows(self._read, **filters)

    def network(self, since=None, until=None):
        """The stored network events as a Table, one row per station of each network event."""
        return queries.network_table(self._read, since=since, until=until)
