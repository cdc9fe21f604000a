"""One summary row per analysed file, for batch reports (CSV, Dask gathering), and the short
interference verdict the command line and the HTML report state."""

# The detector's bands by carrier, high to low: the order they are listed and drawn in.
BAND_ORDER = ("S", "G1", "L1", "B1I", "E6", "G2", "L2", "E5b", "G3", "E5", "L5")
CONSTELLATIONS = ("GPS", "GLONASS", "Galileo", "BeiDou", "QZSS", "SBAS")
INTERFERENCE_COLUMNS = ["interference_events", "worst_degradation_db", "interference_duration_s",
                        "interference_kinds"]
COLUMNS = (["file", "station", "first_epoch", "grade", "score", "jamming", "spoofing", "interference"]
           + [f"mean_cn0_{c}" for c in CONSTELLATIONS] + ["confirmation_rate", "anomaly_count", "error"]
           + INTERFERENCE_COLUMNS)


def summary_row(path, result, report=None):
    """A dict of COLUMNS for one file: its AnalysisResult, or the exception its analysis raised.

    report is the file's InterferenceReport; result may also be the (AnalysisResult,
    InterferenceReport) pair analyze_many gives with interference=True. Without a report, or when
    the detector could not judge the recording, the interference columns are empty.
    """
    if isinstance(result, tuple):
        result, report = result
    row = dict.fromkeys(COLUMNS, "")
    row["file"] = path
    if isinstance(result, BaseException):
        row["error"] = f"{type(result).__name__}: {result}"
        return row
    row.update(station=result.station_name, first_epoch=result.start_time, grade=result.quality_grade,
               score=round(result.score, 1), jamming=result.jamming_detected, spoofing=result.spoofing_detected,
               interference=result.interference_detected, anomaly_count=result.anomaly_count)
    for c in CONSTELLATIONS:
        s = result.get_constellation_summary(c)
        row[f"mean_cn0_{c}"] = float(s["mean_cn0"]) if s else ""
    row["confirmation_rate"] = (round(result.visibility_confirmation_rate, 1)
                                if result.has_visibility_prediction else "")
    if report is not None and not report.reason:
        events = report.events
        row["interference_events"] = len(events)
        row["worst_degradation_db"] = round(max(e.peak_degradation_db for e in events), 1) if events else ""
        row["interference_duration_s"] = round(float(sum(e.duration for e in events)), 1)
        row["interference_kinds"] = ";".join(sorted({e.kind for e in events}))
    return row


# ----------------------------------------------------------------------------------------------
# The verdict in words

MODE_NAMES = {"elevation": "elevation template", "baseline": "satellite baselines",
              "mixed": "elevation template and satellite baselines"}


def _plural(n, word):
    return f"{n} {word}" if n == 1 else f"{n} {word}s"


def _duration(seconds):
    if seconds < 120:
        return f"{seconds:g} s"
    if seconds < 7200:
        return f"{seconds / 60:.1f} min"
    return f"{seconds / 3600:.1f} h"


def _clock(stamp, with_date):
    """An epoch text ("2020-06-25T10:41:30.000Z") as "10:41:30", or "2020-06-25 10:41:30" with its
    date; other texts unchanged."""
    if len(stamp) < 19 or stamp[10] != "T":
        return stamp
    date, time = stamp[:10], stamp[11:].rstrip("Z")
    if time.endswith(".000"):
        time = time[:-4]
    return f"{date} {time}" if with_date else time


def verdict_lines(report, dash="–"):
    """The interference verdict as lines of text: a headline, then one line per event.

    Event times are clock times, with their dates when the event or the recording covers more than
    one day. dash joins an event's start and end.
    """
    if report.reason:
        return [f"Interference: not judged ({report.reason})"]
    basis = f"{MODE_NAMES.get(report.mode, report.mode)}, {_plural(len(report.bands), 'band')}"
    if not report.spoofing_judged:
        basis += ", spoofing not judged without elevations"
    if not report.events:
        return [f"Interference: none found ({basis}; trigger {report.trigger_sigma:.1f} sigma, "
                f"{report.false_alarms_per_day:g} false alarms a day)"]
    days = {s[:10] for s in report.timestamps[:1] + report.timestamps[-1:]}
    lines = [f"Interference: {_plural(len(report.events), 'event')} ({basis})"]
    for e in report.events:
        dated = len(days) > 1 or e.start[:10] != e.end[:10]
        lines.append(f"  {e.kind} {_clock(e.start, dated)}{dash}{_clock(e.end, dated)} ({_duration(e.duration)}), "
                     f"peak {e.peak_degradation_db:.1f} dB at {_clock(e.peak_time, dated)} in {', '.join(e.bands)}; "
                     f"{_plural(len(e.satellites_affected), 'satellite')} affected, "
                     f"{len(e.satellites_lost)} lost")
    return lines
