"""A set-up's CN0-against-elevation template, combined from the templates of its clean days: the
rule written out in plain Python, against which the tests check the core's combination (what the
store uses).

Each day's template (``CN0Template.to_json()``) holds per signal (system, code) a curve of 45
elevation bins of 2 degrees: ``cn0`` at each bin's centre and ``counts``, the samples behind the
bin, and ``offsets``, each satellite's level against the curve as [dB, samples]. The detector fills bins with fewer than five samples from their neighbours and smooths the
curve, so only a bin with five samples or more carries the day's own median. The combination
takes, per signal and bin, the count-weighted median of those days' values; a bin no day filled
takes the median of the days' filled-in values and keeps the summed counts (fewer than five a
day), as a day's own curve does. A signal's receiver floor and low elevation are the medians
over the days that have the signal, and so is each satellite's offset against the curve over the
days that give one. One day alone gives its own curves back.
"""
import json

BINS = 45
BIN_WIDTH = 2.0
# A bin's value is the day's own median from this many samples on (the detector's rule).
BIN_SAMPLES = 5


def weighted_median(pairs):
    """The median of (value, weight) pairs with positive weights: the smallest value whose
    cumulative weight reaches half the total, or the mean of it and the next when it reaches
    exactly half (an even split, as the plain median of an even count)."""
    pairs = sorted(pairs)
    total = sum(w for _, w in pairs)
    if not pairs or total <= 0:
        raise ValueError("weighted_median needs at least one positive weight")
    acc = 0.0
    for i, (value, weight) in enumerate(pairs):
        acc += weight
        if acc * 2 == total and i + 1 < len(pairs):
            return 0.5 * (value + pairs[i + 1][0])
        if acc * 2 >= total:
            return value
    return pairs[-1][0]


def _median(values):
    return weighted_median([(v, 1) for v in values])


def _combine_signal(curves):
    """One signal's combined entry from its days' entries (dicts of the JSON)."""
    cn0, counts = [], []
    for k in range(BINS):
        counts.append(sum(int(c["counts"][k]) for c in curves))
        own = [(float(c["cn0"][k]), int(c["counts"][k])) for c in curves if c["counts"][k] >= BIN_SAMPLES]
        # A bin no day filled on its own keeps the median of the days' filled-in values.
        cn0.append(weighted_median(own) if own else _median([float(c["cn0"][k]) for c in curves]))
    # Each satellite's offset against the curve: the median over the days that give it, with their
    # samples summed (templates written before offsets were kept give none).
    by_satellite = {}
    for c in curves:
        for sat, (db, samples) in c.get("offsets", {}).items():
            entry = by_satellite.setdefault(sat, [[], 0])
            entry[0].append(float(db))
            entry[1] += int(samples)
    offsets = {sat: [_median(dbs), samples] for sat, (dbs, samples) in sorted(by_satellite.items())}
    first = curves[0]
    return {"system": first["system"], "code": first["code"], "band": first["band"], "cn0": cn0,
            "counts": counts, "floor": _median([float(c["floor"]) for c in curves]),
            "low_elevation": _median([float(c["low_elevation"]) for c in curves]), "offsets": offsets}


def _check_day(day):
    """Refuses a day template the detector could not have written (so that no bad row is
    combined into a set-up's template)."""
    if not isinstance(day, dict) or not isinstance(day.get("signals"), list):
        raise ValueError("invalid CN0Template JSON: 'signals' must be a list")
    for s in day["signals"]:
        for key in ("cn0", "counts"):
            if not isinstance(s.get(key), list) or len(s[key]) != BINS:
                raise ValueError(f"invalid CN0Template JSON: '{key}' must be a list of {BINS} numbers")
        for key in ("system", "code", "band"):
            if not isinstance(s.get(key), str):
                raise ValueError(f"invalid CN0Template JSON: '{key}' must be a string")


def combine(day_texts, station):
    """The combined template (a JSON text CN0Template.from_json reads) of day templates given
    as JSON texts, or None without any. Signals are in ascending (system, code), as the detector
    writes them; start_time and end_time span the days."""
    days = [json.loads(t) for t in day_texts]
    if not days:
        return None
    for day in days:
        _check_day(day)
    by_signal = {}
    for day in days:
        for s in day["signals"]:
            by_signal.setdefault((s["system"], s["code"]), []).append(s)
    combined = {
        "station": station,
        "start_time": min((d["start_time"] for d in days if d["start_time"]), default=""),
        "end_time": max((d["end_time"] for d in days if d["end_time"]), default=""),
        "bin_width": BIN_WIDTH,
        "signals": [_combine_signal(by_signal[key]) for key in sorted(by_signal)],
    }
    return json.dumps(combined, separators=(",", ":"))
