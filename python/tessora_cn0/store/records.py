"""What the store keeps of one judged recording: its station, day, set-up, verdict and events,
read from an InterferenceReport and the recording's RinexObsData."""
import dataclasses
import datetime
import json
import re
from typing import Optional

from tessora_cn0 import tessora_cn0 as _ext
from tessora_cn0.network import station_name

_DAY = re.compile(r"^\d{4}-\d\d-\d\d$")


class _ReportTemplate:
    """The default of record()'s own_template: the report's template, unless judged against the store."""

    def __repr__(self):
        return "<the report's own>"


REPORT_TEMPLATE = _ReportTemplate()


@dataclasses.dataclass(frozen=True)
class Setup:
    """A station's receiving set-up as the RINEX header states it: receiver type and firmware
    (REC # / TYPE / VERS) and antenna type with its radome (ANT # / TYPE). A change of any of
    them shifts CN0 by a constant, so each set-up has a template of its own."""
    receiver: str
    antenna: str
    firmware: str


@dataclasses.dataclass(frozen=True)
class DayRecord:
    """One judged station-day, ready to be written."""
    station: str
    day: str
    setup: Optional[Setup]
    position: Optional[tuple]
    latitude: Optional[float]
    longitude: Optional[float]
    path: str
    verdict: str
    mode: str
    reason: str
    used_store: bool
    start_time: str
    end_time: str
    events: tuple
    template: Optional[object]  # the clean day's own CN0Template, or None


def setup_of(obs):
    """The Setup of a RinexObsData (its header's receiver, antenna and firmware)."""
    return Setup(obs.receiver_type.strip(), obs.antenna_type.strip(), obs.receiver_firmware.strip())


def as_setup(value):
    """A Setup from a Setup, a (receiver, antenna, firmware) sequence or a RinexObsData."""
    if isinstance(value, Setup):
        return value
    if isinstance(value, _ext.RinexObsData):
        return setup_of(value)
    if isinstance(value, (tuple, list)) and len(value) == 3 and all(isinstance(v, str) for v in value):
        return Setup(*(v.strip() for v in value))
    raise TypeError("setup must be a Setup, a (receiver, antenna, firmware) tuple of str or a RinexObsData")


def _stamp(text):
    """An epoch text ("2024-05-03T10:04:30.000Z") as a naive UTC datetime."""
    return datetime.datetime.fromisoformat(text.rstrip("Z")[:23])


def day_of(report):
    """The day (YYYY-MM-DD) a recording belongs to: the date at the middle of its epochs, so that
    a daily file that opens with the previous day's last epoch keeps its own day."""
    stamps = report.timestamps
    if not stamps:
        raise ValueError(f"cannot record {report.filename or 'the recording'}: "
                         f"it has no epochs to date its day ({report.reason or 'no epochs'})")
    first, last = _stamp(stamps[0]), _stamp(stamps[-1])
    return (first + (last - first) / 2).date().isoformat()


def verdict_of(report):
    if report.reason:
        return "not judged"
    return "events" if report.events else "clean"


def _event_row(e):
    return {"start": e.start, "end": e.end, "peak_time": e.peak_time, "duration": float(e.duration),
            "peak_degradation_db": float(e.peak_degradation_db),
            "degradation_db": json.dumps(e.degradation_db, sort_keys=True),
            "bands": json.dumps(list(e.bands)), "systems": json.dumps(list(e.systems)),
            "satellites_affected": json.dumps(list(e.satellites_affected)),
            "satellites_lost": json.dumps(list(e.satellites_lost)), "kind": e.kind,
            "statistic": float(e.statistic)}


def _day_template(report, verdict, used_store, own_template):
    """The day's own learned CN0Template when the day is clean and has curves, else None.
    A report judged against a given template carries that template, not one of its own: only
    own_template (learned from the day alone) stands for such a day."""
    if verdict != "clean":
        return None
    template = own_template
    if own_template is REPORT_TEMPLATE:
        template = None if used_store else report.template
    if template is None or not template.signals:
        return None
    return template


def day_record(report, obs=None, *, path=None, used_store=False, own_template=REPORT_TEMPLATE):
    """The DayRecord of a report (and its recording's RinexObsData, for the set-up and position).
    Raises TypeError for arguments of the wrong type and ValueError for a report without epochs."""
    if not isinstance(report, _ext.InterferenceReport):
        raise TypeError(f"record() needs an InterferenceReport, not {type(report).__name__}")
    if obs is not None and not isinstance(obs, _ext.RinexObsData):
        raise TypeError(f"obs must be a RinexObsData or None, not {type(obs).__name__}")
    if own_template is not None and own_template is not REPORT_TEMPLATE and \
            not isinstance(own_template, _ext.CN0Template):
        raise TypeError(f"own_template must be a CN0Template or None, not {type(own_template).__name__}")
    if path is not None and not isinstance(path, str):
        raise TypeError(f"path must be a str or None, not {type(path).__name__}")
    if obs is not None and obs.marker_name.strip() != (report.station or "").strip():
        raise ValueError(f"the report is of station {report.station!r}, the recording given of "
                         f"{obs.marker_name!r}")
    verdict = verdict_of(report)
    first, last = (report.timestamps[0], report.timestamps[-1]) if report.timestamps else ("", "")
    position = obs.approx_position if obs is not None else None
    return DayRecord(
        station=station_name(report), day=day_of(report), setup=setup_of(obs) if obs is not None else None,
        position=tuple(position) if position is not None else None, latitude=report.latitude,
        longitude=report.longitude, path=path if path is not None else report.filename, verdict=verdict,
        mode=report.mode, reason=report.reason, used_store=bool(used_store), start_time=first, end_time=last,
        events=tuple(_event_row(e) for e in report.events),
        template=_day_template(report, verdict, used_store, own_template))


LIVE_MODE = "live"


def live_event_row(line):
    """The events-table row of a live event (a monitor's event line or LiveDetector change, closed):
    the fields the live detector gives; the satellites and the statistic it does not give stay empty."""
    try:
        start, end, kind = line["start"], line["end"], line["kind"]
        bands = list(line["bands"])
        peak = float(line["peak_degradation_db"])
    except (KeyError, TypeError, ValueError) as exc:
        raise ValueError(f"a live event needs start, end, peak_degradation_db, bands and kind ({exc})") from None
    if not all(isinstance(x, str) and x for x in (start, end, kind)):
        raise ValueError("a live event needs start, end and kind as texts (a closed event)")
    duration = line.get("duration")
    if duration is None:
        duration = (_epoch(end) - _epoch(start)).total_seconds()
    return {"start": start, "end": end, "peak_time": line.get("peak_time") or start, "duration": float(duration),
            "peak_degradation_db": peak, "degradation_db": json.dumps(dict(line.get("degradation_db") or {}),
                                                                     sort_keys=True),
            "bands": json.dumps(bands), "systems": "[]", "satellites_affected": "[]", "satellites_lost": "[]",
            "kind": kind, "statistic": 0.0}


def _epoch(text):
    try:
        return datetime.datetime.fromisoformat(text.replace("Z", "+00:00"))
    except ValueError:
        raise ValueError(f"not an epoch time: {text!r}") from None


def live_record(station, day, events, *, setup=None, path="", used_store=False, position=None, first="", last=""):
    """The DayRecord of a day judged live (no template: a live day teaches nothing)."""
    if not isinstance(station, str) or not station.strip():
        raise ValueError("record_live() needs a station name")
    if not isinstance(day, str) or not _DAY.match(day):
        raise ValueError(f"not a day: {day!r} (YYYY-MM-DD)")
    try:
        datetime.date.fromisoformat(day)
    except ValueError:
        raise ValueError(f"not a day: {day!r}") from None
    rows = tuple(live_event_row(e) for e in events)
    return DayRecord(station=station, day=day, setup=as_setup(setup) if setup is not None else None,
                     position=tuple(position) if position is not None else None, latitude=None, longitude=None,
                     path=path, verdict="events" if rows else "clean", mode=LIVE_MODE, reason="",
                     used_store=bool(used_store), start_time=first, end_time=last, events=rows, template=None)


def split_target(text):
    """("STATION", "YYYY-MM-DD") for a day named "STATION/YYYY-MM-DD", else (text, None): a station."""
    if not isinstance(text, str) or not text.strip():
        raise ValueError("forget() needs a station name or a day as STATION/YYYY-MM-DD")
    station, sep, day = text.rpartition("/")
    if sep and _DAY.match(day) and station:
        try:
            datetime.date.fromisoformat(day)
        except ValueError:
            raise ValueError(f"not a day: {day!r}") from None
        return station, day
    return text, None
