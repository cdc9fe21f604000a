"""The Prometheus text exposition (format 0.0.4) of a monitor snapshot: ``metrics_text``.

The monitor server's ``/metrics`` answers it with ``METRICS_CONTENT_TYPE``."""
import math

__all__ = ["metrics_text", "METRICS_CONTENT_TYPE", "FAMILIES"]

METRICS_CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8"


# (name, type, help, labels), in the order written. Every family is written, with its HELP and TYPE
# lines, even when no station has a sample of it.
FAMILIES = (
    ("tessora_cn0_degradation_db", "gauge",
     "CN0 below its expectation at the latest epoch, per band (dB; positive: below)", ("station", "band")),
    ("tessora_cn0_cn0_dbhz", "gauge", "Mean CN0 of the band's signals at the latest epoch (dB-Hz)",
     ("station", "band")),
    ("tessora_cn0_satellites_tracked", "gauge", "Satellites in the latest epoch", ("station",)),
    ("tessora_cn0_latency_seconds", "gauge", "Arrival of the latest epoch after its time (s)", ("station",)),
    ("tessora_cn0_stream_up", "gauge", "1 while the station's stream is connected, else 0", ("station",)),
    ("tessora_cn0_outages_total", "counter", "Outages of the station's stream", ("station",)),
    ("tessora_cn0_reconnects_total", "counter", "Reconnections to the station's stream", ("station",)),
    ("tessora_cn0_epochs_total", "counter", "Epochs received from the station", ("station",)),
    ("tessora_cn0_events_total", "counter",
     "Interference events of the station in the monitor's recent events and its open events, by kind",
     ("station", "kind")),
    ("tessora_cn0_open_events", "gauge", "Interference events of the station open now", ("station",)),
)
_KINDS = ("wideband", "band-limited", "spoofing-like")  # every station gets these, at 0 until one happens


def metrics_text(snapshot: dict) -> str:
    """The Prometheus text exposition (format 0.0.4) of a monitor snapshot.

    A station is labelled by its "station", else its "mount"; a station with neither, or with the
    name of one already written, is left out (a series must not appear twice). Values that are
    missing, None, not numbers or not finite are left out, never written as NaN; so is the CN0 of a
    band whose latest epoch has none (a band jammed out of tracking shows no CN0, not an old one).
    ``tessora_cn0_stream_up`` is 1 for the state "connected", 0 for any other state, absent without
    one. ``tessora_cn0_open_events`` is the length of the station's "open_events".

    ``tessora_cn0_events_total{station, kind}`` counts the station's distinct events (one per start
    time, whatever the lines say of it: open, update, close, interrupted) among the snapshot's
    "events" and the station's "open_events", each under the kind its latest line gives. The
    snapshot's "counts" are the whole monitor's, not a station's, and are not used. It grows as a
    counter must as long as the monitor's recent events keep every event since it started; once it
    drops old ones, the count falls and Prometheus takes that for a counter reset."""
    snapshot = snapshot if isinstance(snapshot, dict) else {}
    samples: dict[str, list] = {name: [] for name, *_ in FAMILIES}
    stations = [s for s in _list(snapshot.get("stations")) if isinstance(s, dict)]
    events = [e for e in _list(snapshot.get("events")) if isinstance(e, dict)]
    seen: set[str] = set()
    for st in stations:
        name = st.get("station") if isinstance(st.get("station"), str) and st.get("station") else st.get("mount")
        if not isinstance(name, str) or not name or name in seen:
            continue
        seen.add(name)
        one = {"station": name}
        for band, value in _dict(st.get("degradation_db")).items():
            _add(samples["tessora_cn0_degradation_db"], {**one, "band": str(band)}, value)
        for band, series in _dict(st.get("bands")).items():
            last = _list(series)[-1:]
            if last and isinstance(last[0], (list, tuple)) and len(last[0]) > 1:
                _add(samples["tessora_cn0_cn0_dbhz"], {**one, "band": str(band)}, last[0][1])
        _add(samples["tessora_cn0_satellites_tracked"], one, st.get("satellites"))
        _add(samples["tessora_cn0_latency_seconds"], one, st.get("latency_s"))
        if isinstance(st.get("state"), str):
            _add(samples["tessora_cn0_stream_up"], one, 1 if st["state"] == "connected" else 0)
        for key in ("outages", "reconnects", "epochs"):
            _add(samples[f"tessora_cn0_{key}_total"], one, st.get(key), counter=True)
        kinds = _event_kinds(name, events, _list(st.get("open_events")))
        for kind in sorted(set(_KINDS) | set(kinds.values())):
            _add(samples["tessora_cn0_events_total"], {**one, "kind": kind},
                 sum(1 for k in kinds.values() if k == kind))
        if isinstance(st.get("open_events"), list):
            _add(samples["tessora_cn0_open_events"], one, len(st["open_events"]))
    out = []
    for name, typ, help_text, _labels in FAMILIES:
        out.append(f"# HELP {name} {help_text}")
        out.append(f"# TYPE {name} {typ}")
        out.extend(f"{name}{{{labels}}} {value}" for labels, value in samples[name])
    return "\n".join(out) + "\n"


def _list(value):
    return value if isinstance(value, list) else []


def _dict(value):
    return value if isinstance(value, dict) else {}


def _event_kinds(station, lines, open_events):
    """{event identity: kind} of one station's events, the later lines overriding the earlier."""
    kinds = {}
    for i, e in enumerate(lines + [e for e in open_events if isinstance(e, dict)]):
        if i >= len(lines):
            e = {"station": station, **e}  # an open event is its station's, whatever it says
        if e.get("station") != station:
            continue
        start = e.get("start") if isinstance(e.get("start"), str) else None
        kind = e.get("kind") if isinstance(e.get("kind"), str) and e.get("kind") else "unknown"
        kinds[start if start is not None else ("line", i)] = kind
    return kinds


def _add(into, labels, value, counter=False):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return
    if isinstance(value, float) and not math.isfinite(value) or counter and value < 0:
        return
    text = str(value) if isinstance(value, int) else repr(float(value))
    into.append((",".join(f'{k}="{_label(v)}"' for k, v in labels.items()), text))


def _label(value):
    """A label value as the text format writes it: backslash, double quote and line feed escaped,
    and valid UTF-8 (an unpaired surrogate, from a bad decode, becomes U+FFFD)."""
    value = "".join("\ufffd" if "\ud800" <= c <= "\udfff" else c for c in value)
    return value.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")
