"""One summary row per analysed file, for batch reports (CSV, Dask gathering)."""

CONSTELLATIONS = ("GPS", "GLONASS", "Galileo", "BeiDou", "QZSS", "SBAS")
COLUMNS = (["file", "station", "first_epoch", "grade", "score", "jamming", "spoofing", "interference"]
           + [f"mean_cn0_{c}" for c in CONSTELLATIONS] + ["confirmation_rate", "anomaly_count", "error"])


def summary_row(path, result):
    """A dict of COLUMNS for one file: its AnalysisResult, or the exception its analysis raised."""
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
    return row
