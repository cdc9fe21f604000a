"""A network view of the interference detector's events: the stations that saw the same emitter.

    reports = [tessora_cn0.detect_interference(obs, nav) for obs, nav in files]
    for n in tessora_cn0.network_events(reports):
        print(n.start, n.end, n.kind, n.onset_order, f"{n.onset_spread:g} s")

A jammer on a vehicle or a mast degrades every receiver within its reach at about the same time,
the nearest first and most. ``network_events`` joins the events of different stations that overlap
in time, or follow each other within ``tolerance`` seconds, into network events; the order of the
onsets and the degradations along it hint at where the emitter was.

Reports are reduced to ``StationRecording`` records (``recording(report)``) holding only what the
join and the network page need, so a network of many station-days never keeps the detector's
series in memory. ``render_html`` (needs matplotlib) writes the network page.
"""
import dataclasses
import math
import os
import re
from typing import Optional

from tessora_cn0._summary import BAND_ORDER

__all__ = ["StationEvent", "StationRecording", "NetworkEvent", "recording", "network_events",
           "station_name", "render_html", "JAMMING_KINDS", "MAX_ZOOMED"]

# The detector's jamming kinds. They join one another; "spoofing-like" events join only spoofing-like
# ones (see network_events).
JAMMING_KINDS = ("wideband", "band-limited")
SPOOFING_KIND = "spoofing-like"


@dataclasses.dataclass(frozen=True)
class StationEvent:
    """One station's share of a network event: its events within it, merged.

    onset and end are the epoch texts of the first start and the last end, peak_degradation_db the
    largest peak, degradation_db each band's largest degradation, kind the events' kind when they
    agree (else "mixed"), file the recording of the earliest event."""
    station: str
    onset: str
    end: str
    peak_degradation_db: float
    degradation_db: dict
    bands: tuple
    kind: str
    latitude: Optional[float]
    longitude: Optional[float]
    file: str


@dataclasses.dataclass(frozen=True)
class StationRecording:
    """What the network view keeps of one InterferenceReport: the station, the file, the position,
    the first and last epoch, why the detector could not judge it ("" when it did) and its events
    as StationEvent records (one each, unmerged)."""
    station: str
    file: str
    latitude: Optional[float]
    longitude: Optional[float]
    start: str
    end: str
    reason: str
    events: tuple


@dataclasses.dataclass(frozen=True)
class NetworkEvent:
    """Station events joined in time. stations are in onset order (ties by name); onset_spread is
    the seconds from the first onset to the last; bands is their union in carrier order; kind is
    the stations' kind when they agree, else "mixed"."""
    start: str
    end: str
    stations: tuple
    onset_order: tuple
    onset_spread: float
    bands: tuple
    kind: str


# ----------------------------------------------------------------------------------------------
# Times

_EPOCH = re.compile(r"(\d{4})-(\d\d)-(\d\d)[T ](\d\d):(\d\d):(\d\d)(?:\.(\d{1,6})\d*)?")
_ORDINAL_1970 = 719163  # datetime.date(1970, 1, 1).toordinal()


def _micros(text):
    """Microseconds since 1970 of an epoch text ("2024-05-03T10:04:30.000Z"), exact integers so that
    the join never depends on rounding."""
    import datetime
    m = _EPOCH.match(text)
    if not m:
        raise ValueError(f"not an epoch text: {text!r}")
    y, mo, d, h, mi, s = (int(m.group(i)) for i in range(1, 7))
    days = datetime.date(y, mo, d).toordinal() - _ORDINAL_1970
    return (((days * 24 + h) * 60 + mi) * 60 + s) * 1_000_000 + int((m.group(7) or "0").ljust(6, "0"))


# ----------------------------------------------------------------------------------------------
# Recordings


def station_name(report):
    """The station a report belongs to: its marker name, or, when that is blank, the file's name up
    to its first '.' (ESBC00DNK_R_20201770000_01D_30S_MO for ESBC00DNK_R_20201770000_01D_30S_MO.rnx)."""
    name = (report.station or "").strip()
    if name:
        return name
    base = os.path.basename(report.filename or "")
    return base.split(".", 1)[0] or "(unnamed)"


def _band_key(band):
    rank = BAND_ORDER.index(band) if band in BAND_ORDER else len(BAND_ORDER)
    return rank, band


def _ordered_bands(bands):
    return tuple(sorted(set(bands), key=_band_key))


def recording(report, station=None):
    """The StationRecording of an InterferenceReport (its station overridden by station)."""
    if isinstance(report, StationRecording):
        return report if station is None else dataclasses.replace(
            report, station=station, events=tuple(dataclasses.replace(e, station=station) for e in report.events))
    name = station if station is not None else station_name(report)
    lat, lon = report.latitude, report.longitude
    events = tuple(StationEvent(station=name, onset=e.start, end=e.end,
                                peak_degradation_db=float(e.peak_degradation_db),
                                degradation_db=dict(e.degradation_db), bands=_ordered_bands(e.bands),
                                kind=e.kind, latitude=lat, longitude=lon, file=report.filename or "")
                   for e in report.events)
    stamps = report.timestamps
    return StationRecording(station=name, file=report.filename or "", latitude=lat, longitude=lon,
                            start=stamps[0] if stamps else "", end=stamps[-1] if stamps else "",
                            reason=report.reason, events=events)


def _recordings(reports):
    """Reports, (station, report) pairs or StationRecording records, as StationRecording records."""
    out = []
    for item in reports:
        if isinstance(item, tuple):
            station, report = item
            out.append(recording(report, station))
        else:
            out.append(recording(item))
    return out


# ----------------------------------------------------------------------------------------------
# The join


def _family(kind):
    return "spoofing" if kind == SPOOFING_KIND else "jamming"


def _position_key(e):
    return tuple((v is None, v or 0.0) for v in (e.latitude, e.longitude))


def _event_key(e):
    # A total order of station events: nothing is left to the order the inputs came in.
    return (_micros(e.onset), _micros(e.end), e.station, e.file, -e.peak_degradation_db, e.kind,
            e.bands, sorted(e.degradation_db.items()), _position_key(e))


def _merge_station(events):
    """One station's events within a network event (sorted by _event_key) as one StationEvent."""
    first = events[0]
    end = max(events, key=lambda e: (_micros(e.end), e.end)).end
    degradation = {}
    for e in events:
        for band, db in e.degradation_db.items():
            degradation[band] = max(db, degradation.get(band, -math.inf))
    kinds = {e.kind for e in events}
    return StationEvent(station=first.station, onset=first.onset, end=end,
                        peak_degradation_db=max(e.peak_degradation_db for e in events),
                        degradation_db={b: degradation[b] for b in sorted(degradation, key=_band_key)},
                        bands=_ordered_bands(b for e in events for b in e.bands),
                        kind=kinds.pop() if len(kinds) == 1 else "mixed",
                        latitude=first.latitude, longitude=first.longitude, file=first.file)


def _network_event(group):
    by_station = {}
    for e in group:  # already in _event_key order
        by_station.setdefault(e.station, []).append(e)
    stations = sorted((_merge_station(events) for events in by_station.values()),
                      key=lambda s: (_micros(s.onset), s.station))
    onsets = [_micros(s.onset) for s in stations]
    start = min(group, key=lambda e: _micros(e.onset)).onset
    end = max(group, key=lambda e: (_micros(e.end), e.end)).end
    kinds = {s.kind for s in stations}
    return NetworkEvent(start=start, end=end, stations=tuple(stations),
                        onset_order=tuple(s.station for s in stations),
                        onset_spread=(onsets[-1] - onsets[0]) / 1e6,
                        bands=_ordered_bands(b for s in stations for b in s.bands),
                        kind=kinds.pop() if len(kinds) == 1 else "mixed")


def network_events(reports, *, tolerance=300.0):
    """Join the stations' interference events into network events, in time order.

    reports: InterferenceReport objects, (station, report) pairs, which name the station
    explicitly (records of one receiver given different identities, say), or StationRecording
    records (``recording(report)``), in any mix. A station is a report's marker name, or the file's
    name up to its first '.' when the marker is blank. The reports of one station (its days, or the
    same day twice) make one timeline: its events inside one network event become one StationEvent.

    Two station events join when they overlap in time or the later starts at most tolerance seconds
    after the earlier ends; joining is transitive. Jamming events (wideband, band-limited) join
    jamming events only, and spoofing-like events spoofing-like ones only: a spoofer and a jammer
    are different emitters, and a spoofing-like event during a regional jammer stays visible as its
    own network event instead of disappearing into the jammer's. A network event may hold a single
    station (a local event): every station event belongs to exactly one network event.

    The result depends only on the set of events, never on the order of the inputs: events are
    sorted by onset, end, station and file, and ties between stations go by name.
    """
    tolerance = float(tolerance)
    if not (tolerance >= 0.0 and math.isfinite(tolerance)):
        raise ValueError(f"tolerance must be a finite number of seconds >= 0, not {tolerance!r}")
    reach = round(tolerance * 1e6)
    families = {}
    for rec in _recordings(reports):
        for e in rec.events:
            families.setdefault(_family(e.kind), []).append(e)
    out = []
    for events in families.values():
        events.sort(key=_event_key)
        group, group_end = [], None
        for e in events:
            if group and _micros(e.onset) - group_end > reach:
                out.append(_network_event(group))
                group = []
            group_end = _micros(e.end) if not group else max(group_end, _micros(e.end))
            group.append(e)
        if group:
            out.append(_network_event(group))
    out.sort(key=lambda n: (_micros(n.start), _micros(n.end), n.kind, n.onset_order))
    return out


# ----------------------------------------------------------------------------------------------
# The network page


def _stations(recordings, events):
    """Per station, in name order: (name, latitude, longitude, worst degradation in dB, [(start, end)
    of its recordings])."""
    info = {}
    for r in sorted(recordings, key=lambda r: (r.station, r.start, r.file)):
        s = info.setdefault(r.station, {"lat": r.latitude, "lon": r.longitude, "worst": 0.0, "spans": []})
        if s["lat"] is None and r.latitude is not None:
            s["lat"], s["lon"] = r.latitude, r.longitude
        if r.start and r.end:
            s["spans"].append((r.start, r.end))
    for n in events:
        for e in n.stations:
            s = info.setdefault(e.station, {"lat": e.latitude, "lon": e.longitude, "worst": 0.0, "spans": []})
            s["worst"] = max(s["worst"], e.peak_degradation_db)
    return [(name, s["lat"], s["lon"], s["worst"], s["spans"]) for name, s in sorted(info.items())]


def _map(stations):
    from matplotlib.colors import Normalize
    from matplotlib.figure import Figure
    from tessora_cn0.report import _empty, _png
    placed = [s for s in stations if s[1] is not None and s[2] is not None]
    fig = Figure(figsize=(10.0, 6.2))
    fig.subplots_adjust(left=0.08, right=0.97, top=0.94, bottom=0.09)
    ax = fig.add_subplot()
    if placed:
        lon = [s[2] for s in placed]
        lat = [s[1] for s in placed]
        worst = [s[3] for s in placed]
        order = sorted(range(len(placed)), key=lambda i: (worst[i], placed[i][0]))  # the worst on top
        sc = ax.scatter([lon[i] for i in order], [lat[i] for i in order], c=[worst[i] for i in order],
                        cmap="inferno_r", norm=Normalize(0.0, max(10.0, max(worst))), s=80, edgecolors="#333",
                        linewidths=0.7, zorder=3)
        fig.colorbar(sc, ax=ax, label="worst degradation (dB)", shrink=0.85, pad=0.02)
        # Names to the right of their points; where two points nearly coincide, the later one's name
        # goes below, so that they do not print over each other.
        span_lon = max(lon) - min(lon)
        span_lat = max(lat) - min(lat)
        pad = max(0.1, 0.2 * max(span_lon, span_lat))
        taken = []
        for name, la, lo, _, _ in sorted(placed, key=lambda s: (-s[1], s[2], s[0])):
            near = sum(1 for a, b in taken if abs(a - la) < 0.04 * (span_lat + 2 * pad)
                       and abs(b - lo) < 0.15 * (span_lon + 2 * pad))
            taken.append((la, lo))
            ax.annotate(name, (lo, la), xytext=(7, 4 - 11 * near), textcoords="offset points", fontsize=8,
                        zorder=4, bbox=dict(facecolor="white", edgecolor="none", alpha=0.7, pad=0.5))
        # The frame holds the stations with some room; equal distances look equal (a degree of
        # longitude is cos(latitude) of a degree of latitude), the frame widening in one direction
        # to fill the axes.
        ax.margins(0.0)
        ax.update_datalim([(min(lon) - pad, max(-90.0, min(lat) - pad)), (max(lon) + pad, min(90.0, max(lat) + pad))])
        ax.autoscale_view()
        mid = 0.5 * (min(lat) + max(lat))
        ax.set_aspect(1.0 / max(0.1, math.cos(math.radians(mid))), adjustable="datalim")
        ax.grid(color="#bbb", lw=0.6, ls=":")
    else:
        _empty(ax, "no station has a position in its header")
    ax.set_xlabel("longitude (°)")
    ax.set_ylabel("latitude (°)")
    unplaced = len(stations) - len(placed)
    title = "Stations coloured by their worst interference degradation"
    if unplaced:
        title += f" ({unplaced} without a position not drawn)"
    ax.set_title(title, fontsize=10)
    return _png(fig)


_KIND_COLOURS = {"wideband": "#d62728", "band-limited": "#ff7f0e", "spoofing-like": "#9467bd",
                 "mixed": "#8c564b"}
# Network events of several stations get a zoomed figure of their onsets, up to this many.
MAX_ZOOMED = 6


def _x(text):
    from tessora_cn0.report import _times
    t = _times([text])
    return None if t is None else float(t[0])


def _station_bars(ax, rows, events, kinds, label_peaks, min_width=0.0):
    for n in events:
        for s in n.stations:
            sa, sb = _x(s.onset), _x(s.end)
            if sa is None or sb is None or s.station not in rows:
                continue
            label = f"{s.kind} event" if s.kind not in kinds else None
            if s.kind not in kinds:
                kinds.append(s.kind)
            y = rows[s.station]
            ax.broken_barh([(sa, max(sb - sa, min_width))], (y - 0.3, 0.6),
                           facecolors=_KIND_COLOURS.get(s.kind, "#999"),
                           edgecolors="none", zorder=3, label=label)
            ax.plot([sa], [y], marker="|", color="#111", ms=10, mew=1.5, zorder=4)
            if label_peaks:
                ax.annotate(f"{s.peak_degradation_db:.1f} dB", (sb, y), xytext=(4, 0), textcoords="offset points",
                            va="center", fontsize=7.5, color="#333")


def _timeline(stations, events):
    """Every station against the whole time covered, its recordings grey, its events by kind, the
    network events framed."""
    from matplotlib.figure import Figure
    from matplotlib.patches import Rectangle
    from tessora_cn0.report import _date_axis, _empty, _png
    names = [s[0] for s in stations]
    rows = {name: i for i, name in enumerate(names)}
    height = 1.5 + 0.3 * max(1, len(names))
    fig = Figure(figsize=(10.0, height))
    fig.subplots_adjust(left=0.16, right=0.82, top=1.0 - 0.45 / height, bottom=0.8 / height)
    ax = fig.add_subplot()
    drawn = False
    # Recordings months apart would leave a day, and an event of minutes, too thin to see: bars are
    # drawn at least 1/300 of the axis wide.
    ends = [v for _, _, _, _, spans in stations for a, b in spans for v in (_x(a), _x(b)) if v is not None]
    min_width = (max(ends) - min(ends)) / 300.0 if ends else 0.0
    for name, _, _, _, spans in stations:
        for a, b in spans:
            xa, xb = _x(a), _x(b)
            if xa is not None and xb is not None:
                ax.broken_barh([(xa, max(xb - xa, min_width))], (rows[name] - 0.3, 0.6), facecolors="#cdd5df",
                               edgecolors="none", zorder=1)
                drawn = True
    for n in events:
        a, b = _x(n.start), _x(n.end)
        if a is None or b is None or len(n.stations) < 2:
            continue
        lo = min(rows[s.station] for s in n.stations) - 0.45
        hi = max(rows[s.station] for s in n.stations) + 0.45
        ax.add_patch(Rectangle((a, lo), max(b - a, 1e-9), hi - lo, fill=False, edgecolor="#333", lw=0.8, ls="--",
                               zorder=2))
    kinds = []
    _station_bars(ax, rows, events, kinds, False, min_width)
    drawn = drawn or bool(kinds)
    if drawn:
        ax.set_yticks(range(len(names)))
        ax.set_yticklabels(names, fontsize=8)
        ax.set_ylim(len(names) - 0.5, -0.5)
        ax.grid(axis="x", alpha=0.3)
        if kinds:
            ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8)
        _date_axis(ax, True)
        ax.set_xlabel("time (UTC)")
    else:
        _empty(ax, "no recording with epoch times")
        ax.set_yticks([])
    ax.set_title("Stations over time: recordings grey, events by kind; dashed frames join stations", fontsize=10)
    return _png(fig)


def _zoom(number, n):
    """One network event close up: its stations in onset order, the onsets ticked, peaks written."""
    from matplotlib.figure import Figure
    from tessora_cn0.report import _date_axis, _png
    rows = {s.station: i for i, s in enumerate(n.stations)}
    height = 1.3 + 0.3 * len(rows)
    fig = Figure(figsize=(10.0, height))
    fig.subplots_adjust(left=0.16, right=0.82, top=1.0 - 0.42 / height, bottom=0.75 / height)
    ax = fig.add_subplot()
    kinds = []
    _station_bars(ax, rows, [n], kinds, True)
    a, b = _x(n.start), _x(n.end)
    if a is not None and b is not None:
        margin = max(0.08 * (b - a), 60.0 / 86400.0)
        ax.set_xlim(a - margin, b + 2.5 * margin)  # room for the peaks written after the bars
    ax.set_yticks(range(len(rows)))
    ax.set_yticklabels(list(rows), fontsize=8)
    ax.set_ylim(len(rows) - 0.5, -0.5)
    ax.grid(axis="x", alpha=0.3)
    ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8)
    _date_axis(ax, a is not None)
    ax.set_xlabel("time (UTC)")
    ax.set_title(f"Network event {number}: {len(rows)} stations in onset order, onset spread "
                 f"{n.onset_spread:g} s, peaks at the right", fontsize=10)
    return _png(fig)


def _link(station, reports_dir, page_dir):
    if reports_dir is None:
        return None
    target = os.path.join(reports_dir, f"{station}.html")
    if not os.path.isfile(target):
        return None
    from urllib.parse import quote
    rel = os.path.relpath(os.path.abspath(target), os.path.abspath(page_dir or "."))
    return quote(rel.replace(os.sep, "/"))


def _event_table(events, reports_dir, page_dir):
    """The network events: a heading row per event, then a row per station in onset order."""
    from tessora_cn0._summary import _clock
    from tessora_cn0.report import _e
    days = {text[:10] for n in events for text in (n.start, n.end)}
    dated = len(days) > 1
    with_files = any(s.file for n in events for s in n.stations)  # records read from memory have none
    head = ["Station", "Onset", "After the first (s)", "End", "Peak (dB)", "Degradation by band (dB)", "Kind"]
    head += ["File"] if with_files else []
    out = ['<table id="network_events">', "<tr>" + "".join(f"<th>{_e(h)}</th>" for h in head) + "</tr>"]
    for i, n in enumerate(events, 1):
        date = "" if dated else f"{n.start[:10]} "
        out.append(f'<tr class="netevent"><th colspan="{len(head)}" data-key="network_event_{i}">Network event {i}: '
                   f"{_e(n.kind)}, {_e(date)}{_e(_clock(n.start, dated))} &#8211; {_e(_clock(n.end, dated))}, "
                   f"{len(n.stations)} station{'' if len(n.stations) == 1 else 's'}, onset spread "
                   f"{n.onset_spread:g} s; {_e(', '.join(n.bands))}</th></tr>")
        first = _micros(n.stations[0].onset)
        for s in n.stations:
            href = _link(s.station, reports_dir, page_dir)
            name = f'<a href="{_e(href)}">{_e(s.station)}</a>' if href else _e(s.station)
            cells = [f"<td>{name}</td>", f'<td class="time">{_e(_clock(s.onset, dated))}</td>',
                     f'<td class="num">{(_micros(s.onset) - first) / 1e6:g}</td>',
                     f'<td class="time">{_e(_clock(s.end, dated))}</td>',
                     f'<td class="num">{s.peak_degradation_db:.1f}</td>',
                     f"<td>{_e(', '.join(f'{b} {d:.1f}' for b, d in s.degradation_db.items()))}</td>",
                     f"<td>{_e(s.kind)}</td>"]
            if with_files:
                cells.append(f'<td class="file">{_e(os.path.basename(s.file))}</td>')
            out.append("<tr>" + "".join(cells) + "</tr>")
    out.append("</table>")
    return "\n".join(out)


_NETWORK_CSS = """
tr.netevent th { background: #e9eef5; text-align: left; font-weight: bold; }
td.file { font-size: 0.85em; color: #555; word-break: break-all; }
"""


def render_html(reports, events=None, *, tolerance=300.0, errors=(), reports_dir=None, page_dir=None,
                title=None):
    """The network page as a str: a map of the stations coloured by their worst degradation, a
    stations × time timeline with the events, each network event of several stations close up,
    and the table of network events.

    reports: as network_events takes them (StationRecording records keep the page small);
    events: their network events (computed with tolerance when None); errors: (file, reason) of
    the files that could not be read, listed at the end. With reports_dir, a station's name links
    to reports_dir/<station>.html when that file exists, relative to page_dir (the directory the
    page is written to). The page embeds its images and needs no network access."""
    from tessora_cn0 import __version__
    from tessora_cn0.report import _CSS, _e, _figure

    recs = _recordings(reports)
    if events is None:
        events = network_events(recs, tolerance=tolerance)
    stations = _stations(recs, events)
    heading = title or "Interference across the network"
    judged = sum(1 for r in recs if not r.reason)
    shared = [n for n in events if len(n.stations) > 1]
    parts = ["<!DOCTYPE html>", '<html xmlns="http://www.w3.org/1999/xhtml" lang="en">', "<head>",
             '<meta charset="utf-8"/>', '<meta name="viewport" content="width=device-width, initial-scale=1"/>',
             f"<title>{_e(heading)}</title>", f"<style>{_CSS}{_NETWORK_CSS}</style>", "</head>", "<body>",
             f"<h1>{_e(heading)}</h1>"]
    span = sorted((r.start, r.end) for r in recs if r.start)
    if span:
        parts.append(f'<p class="sub">{len(stations)} stations, {len(recs)} recordings ({judged} judged), '
                     f"{_e(span[0][0])} to {_e(max(s[1] for s in span))}</p>")
    parts.append(f'<p class="verdict" data-key="network_verdict">{len(events)} network event'
                 f'{"" if len(events) == 1 else "s"}, {len(shared)} seen by several stations</p>')
    parts.append(f'<p class="note">Station events that overlap in time, or follow each other within '
                 f"{tolerance:g} s, form one network event; jamming and spoofing-like events are joined "
                 "separately. Along a network event, the order of the onsets and the degradations hint at "
                 "where the emitter was: the nearest station is usually hit first and hardest.</p>")
    parts.append("<h2>Stations</h2>")
    parts.append(_figure(_map(stations), "Map of the stations coloured by worst degradation",
                         "Station positions from their headers; colour: the largest event peak (dB), "
                         "0 where the detector found nothing."))
    parts.append(_figure(_timeline(stations, events), "Stations against time with their events",
                         "Grey: time covered by the station's recordings. Coloured: its events by kind "
                         "(red wideband, orange band-limited, purple spoofing-like, brown mixed), a tick at "
                         "each onset. Dashed frames: the network events of several stations."))
    parts.append("<h2>Network events</h2>")
    if events:
        zoomed = [(i, n) for i, n in enumerate(events, 1) if len(n.stations) > 1][:MAX_ZOOMED]
        for i, n in zoomed:
            parts.append(_figure(_zoom(i, n), f"Network event {i} close up",
                                 "Bars from each station's onset (ticked) to its end, by kind; "
                                 "its peak degradation after the bar."))
        if len(shared) > MAX_ZOOMED:
            parts.append(f'<p class="note">The first {MAX_ZOOMED} network events of several stations are '
                         "drawn close up; the table lists them all.</p>")
        parts.append(_event_table(events, reports_dir, page_dir))
    else:
        parts.append('<p class="note">None: no station found interference.</p>')
    quiet = [r for r in recs if r.reason]
    if quiet or errors:
        parts.append("<h2>Recordings not judged or not read</h2>")
        items = [f"<li>{_e(r.file or r.station)}: {_e(r.reason)}</li>" for r in quiet]
        items += [f"<li>{_e(path)}: {_e(reason)}</li>" for path, reason in errors]
        parts.append("<ul>" + "".join(items) + "</ul>")
    parts.append(f'<p class="note">Written by tessora_cn0 {_e(__version__)}.</p>')
    parts += ["</body>", "</html>", ""]
    return "\n".join(parts)
