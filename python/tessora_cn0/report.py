"""A self-contained HTML report of one analysis, drawn with matplotlib (``pip install tessora_cn0[report]``).

    result = tessora_cn0.analyze_cn0(obs, nav)
    html = tessora_cn0.report.render_html(result, obs_path=obs, nav_path=nav)
    tessora_cn0.report.write_html("report.html", result, obs_path=obs, nav_path=nav)

The page holds its images as embedded PNG (no network access is needed to view it) and is
well-formed XML as well as HTML. Given the recording's interference report (or its file), it
states the interference detector's verdict: its events, the station's CN0-against-elevation
template per band over the data it was learned from, and every band's degradation over time
against its trigger level. Then come the CN0-drop detector's flags, a polar skyplot of the
satellite traces coloured by CN0, the azimuth/elevation mean-CN0 heatmap, mean CN0 and satellite
count over time with the anomaly intervals marked, predicted against observed satellites over time
(when navigation data was given and the files are named), and the tables: file, quality, flags,
constellations, visibility and anomalies.

matplotlib is used through its object interface only (no pyplot), so rendering neither changes the
caller's backend nor opens windows.
"""
import base64
import html as _html
import io
import json
import math

import numpy as np
from matplotlib.figure import Figure
from matplotlib.colors import Normalize

from tessora_cn0._summary import BAND_ORDER, MODE_NAMES, verdict_lines

__all__ = ["render_html", "write_html", "MAX_SKYPLOT_POINTS", "MAX_ANOMALY_ROWS"]

# A daily multi-GNSS file holds several hundred thousand sky points; beyond this many the skyplot
# shows an even subsample (every k-th point of every trace), which looks the same at this size.
MAX_SKYPLOT_POINTS = 40000
# Traces are named on the skyplot up to this many (an hour of one station; a day has ~100).
MAX_LABELLED_TRACES = 40
# The anomaly table lists at most this many rows (all of them are drawn in the time series).
MAX_ANOMALY_ROWS = 500

_SEVERITY_COLOURS = {"critical": "#d62728", "high": "#ff7f0e", "low": "#e5c02a"}
# Display order of the detector's bands, for bands the report has a template of but no series.
_BAND_ORDER = BAND_ORDER
_KIND_COLOURS = {"wideband": "#d62728", "band-limited": "#ff7f0e", "spoofing-like": "#9467bd"}
_CN0_NORM = (20.0, 55.0)  # colour scale of the sky views, dB-Hz: typical range of GNSS CN0
_DPI = 100

_CSS = """
body { font-family: "DejaVu Sans", Helvetica, Arial, sans-serif; margin: 1.5em auto; max-width: 1200px;
       color: #222; padding: 0 1em; }
h1 { font-size: 1.5em; margin-bottom: 0.2em; }
h2 { font-size: 1.15em; border-bottom: 1px solid #ccc; padding-bottom: 0.2em; margin-top: 1.6em; }
p.sub { color: #555; margin-top: 0; }
.grade { display: inline-block; font-size: 2.2em; font-weight: bold; width: 1.6em; text-align: center;
         border-radius: 0.2em; color: #fff; margin-right: 0.4em; vertical-align: middle; }
.g-A { background: #2ca02c; } .g-B { background: #8cbf26; } .g-C { background: #e5c02a; }
.g-D { background: #ff7f0e; } .g-F { background: #d62728; } .g-NA { background: #888; }
.headline { font-size: 1.1em; vertical-align: middle; }
table { border-collapse: collapse; margin: 0.5em 0; font-size: 0.9em; }
th, td { border: 1px solid #ddd; padding: 0.25em 0.6em; text-align: left; }
th { background: #f4f4f4; }
td.num { text-align: right; font-variant-numeric: tabular-nums; }
td.time { white-space: nowrap; }
.flag-yes { color: #fff; background: #d62728; font-weight: bold; }
.flag-no { color: #2ca02c; }
.figs { display: flex; flex-wrap: wrap; gap: 1em; }
figure { margin: 0.5em 0; }
figcaption { font-size: 0.85em; color: #555; }
img { max-width: 100%; height: auto; }
.note { font-size: 0.85em; color: #555; }
p.verdict { font-size: 1.05em; font-weight: bold; margin: 0.3em 0; }
"""


# ----------------------------------------------------------------------------------------------
# Data from the result


def _blocks(result):
    """The small top-level blocks of the result's JSON, decoded (a day's full JSON is tens of MB)."""
    return {key: json.loads(result._json_block(key))
            for key in ("quality_score", "summary", "heatmap", "visibility")}


def _times(stamps):
    """Epoch timestamps ("2024-03-05T07:00:00.000Z", UTC) as matplotlib date numbers, or None if
    any of them is not such a timestamp."""
    import matplotlib.dates as mdates
    if any(len(s) != 24 or s[-1] != "Z" for s in stamps):
        return None
    try:
        return mdates.date2num(np.array([s[:-1] for s in stamps], dtype="datetime64[ms]"))
    except ValueError:
        return None


def _floats(text, step=1):
    """Every step-th value of a comma-separated list of decimals (only those are converted)."""
    if not text:
        return np.empty(0)
    parts = text.split(",")
    return np.array(list(map(float, parts[::step] if step > 1 else parts)), dtype=float)


# ----------------------------------------------------------------------------------------------
# Figures


def _png(fig):
    buf = io.BytesIO()
    fig.savefig(buf, format="png", dpi=_DPI)
    return base64.b64encode(buf.getvalue()).decode("ascii")


def _empty(ax, message):
    ax.text(0.5, 0.5, message, ha="center", va="center", transform=ax.transAxes, color="#777")


def _skyplot(result, max_points):
    traces = result.get_skyplot_data()
    az, el, cn0 = [], [], []
    total = 0
    for t in traces:
        total += t["cn0_values"].count(",") + 1 if t["cn0_values"] else 0
    step = max(1, math.ceil(total / max_points)) if max_points > 0 else 1
    labels = []
    for t in traces:
        a, e, c = (_floats(t[k], step) for k in ("azimuths", "elevations", "cn0_values"))
        n = min(len(a), len(e), len(c))
        if n == 0:
            continue
        labels.append((t["satellite"], a[n - 1], e[n - 1]))  # where the drawn trace ends
        az.append(a[:n])
        el.append(e[:n])
        cn0.append(c[:n])
    fig = Figure(figsize=(5.7, 5.2))
    fig.subplots_adjust(left=0.07, right=0.97, top=0.88, bottom=0.06)
    ax = fig.add_subplot(projection="polar")
    ax.set_theta_zero_location("N")
    ax.set_theta_direction(-1)  # azimuth runs clockwise from north
    ax.set_rlim(0, 90)
    ax.set_rticks([0, 15, 30, 45, 60, 75, 90])
    ax.set_yticklabels(["90°", "75°", "60°", "45°", "30°", "15°", "0°"], fontsize=7, color="#555")
    ax.set_xticks(np.radians(np.arange(0, 360, 45)))
    ax.set_xticklabels(["N", "NE", "E", "SE", "S", "SW", "W", "NW"])
    shown = 0
    if az:
        a, e, c = np.concatenate(az), np.concatenate(el), np.concatenate(cn0)
        order = np.argsort(-c, kind="stable")  # the weakest signals are drawn last, on top
        sc = ax.scatter(np.radians(a[order]), 90.0 - e[order], c=c[order], s=3, cmap="viridis",
                        norm=Normalize(*_CN0_NORM), linewidths=0)
        fig.colorbar(sc, ax=ax, shrink=0.75, pad=0.08, label="CN0 (dB-Hz)")
        if len(labels) <= MAX_LABELLED_TRACES:  # beyond that the names only hide the traces
            for sat, a_end, e_end in labels:
                ax.annotate(sat, (math.radians(a_end), 90.0 - e_end), fontsize=6, color="#333",
                            xytext=(2, 2), textcoords="offset points")
        shown = len(a)
    else:
        _empty(ax, "no sky points (no navigation data or no CN0 above the mask)")
    ax.set_title("Skyplot: satellite traces coloured by CN0", fontsize=10, pad=18)
    return _png(fig), total, shown, step


def _heatmap(block):
    fig = Figure(figsize=(5.7, 4.4))
    fig.subplots_adjust(left=0.12, right=0.99, top=0.92, bottom=0.12)
    ax = fig.add_subplot()
    cn0 = np.array(block.get("cn0_matrix") or [], dtype=float)
    count = np.array(block.get("count_matrix") or [], dtype=float)
    if cn0.size and cn0.shape == count.shape:
        masked = np.ma.masked_where(count <= 0, cn0)
        rows, cols = cn0.shape
        im = ax.imshow(masked, origin="lower", aspect="auto", extent=(0, 10 * cols, 0, 5 * rows),
                       cmap="viridis", norm=Normalize(*_CN0_NORM), interpolation="nearest")
        fig.colorbar(im, ax=ax, label="mean CN0 (dB-Hz)")
        ax.set_xticks(range(0, 10 * cols + 1, 45))
        ax.set_yticks(range(0, 5 * rows + 1, 15))
        if not count.any():
            _empty(ax, "no sky points")
    else:
        _empty(ax, "no heatmap")
    ax.set_xlabel("azimuth (°)")
    ax.set_ylabel("elevation (°)")
    ax.set_title("Mean CN0 by azimuth (10° bins) and elevation (5° bins)", fontsize=10)
    return _png(fig)


def _intervals(anomalies, to_x, width):
    """Anomaly (start, end) spans per severity, merged where they touch, for broken_barh."""
    spans = {}
    for a in anomalies:
        start, end = to_x(a["start_time"]), to_x(a["end_time"])
        if start is None or end is None:
            continue
        spans.setdefault(a["severity"], []).append((start, max(end, start) + width))
    merged = {}
    for severity, items in spans.items():
        items.sort()
        out = [list(items[0])]
        for s, e in items[1:]:
            if s <= out[-1][1]:
                out[-1][1] = max(out[-1][1], e)
            else:
                out.append([s, e])
        merged[severity] = [(s, e - s) for s, e in out]
    return merged


def _time_axis(result):
    """(x values, x label, converter of a timestamp to x, width of one epoch in x units)."""
    stamps = result.get_timestamps()
    xs = _times(stamps)
    interval = result.interval if result.interval > 0 else 30.0
    if xs is not None:
        def to_x(s):
            t = _times([s])
            return None if t is None else float(t[0])
        return xs, "time (UTC)", to_x, interval / 86400.0, stamps
    hours = result.get_timeseries_data()["hours"]
    index = {s: h for s, h in zip(stamps, hours)}
    return np.array(hours, dtype=float), "hours since the first epoch", index.get, interval / 3600.0, stamps


def _date_locator():
    """At most nine date ticks over any span. matplotlib's own steps stop at six months, 21 days,
    12 hours and 30 minutes: a span just too long for them (four and a half years and more, but
    under five) has no step at all, and matplotlib warns. A step of the next unit up closes each gap."""
    import matplotlib.dates as mdates
    locator = mdates.AutoDateLocator(maxticks=9)
    locator.intervald[mdates.MONTHLY] = [1, 2, 3, 4, 6, 12]
    locator.intervald[mdates.DAILY] = [1, 2, 3, 7, 14, 21, 28]
    locator.intervald[mdates.HOURLY] = [1, 2, 3, 4, 6, 12, 24]
    locator.intervald[mdates.MINUTELY] = [1, 5, 10, 15, 30, 60]
    locator.intervald[mdates.SECONDLY] = [1, 5, 10, 15, 30, 60]
    return locator


def _date_axis(ax, is_time):
    if is_time:
        import matplotlib.dates as mdates
        locator = _date_locator()
        ax.xaxis.set_major_locator(locator)
        ax.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))


def _timeseries(result, axis):
    xs, label, to_x, width, _ = axis
    mean = np.array(result.get_mean_cn0_series(), dtype=float)
    count = np.array(result.get_satellite_count_series(), dtype=float)
    fig = Figure(figsize=(10.0, 5.0))
    fig.subplots_adjust(left=0.075, right=0.83, top=0.93, bottom=0.13, hspace=0.08)
    ax1, ax2 = fig.subplots(2, 1, sharex=True, gridspec_kw={"height_ratios": [3, 2]})
    n = min(len(xs), len(mean), len(count))
    if n:
        ax1.plot(xs[:n], mean[:n], color="#1f77b4", lw=1.0, label="mean CN0")
        ax2.step(xs[:n], count[:n], where="post", color="#555", lw=1.0, label="satellites with CN0")
        # An anomaly lasts at least one epoch; on a day's axis that would be invisible, so a band
        # is drawn at least 1/400 of the axis wide.
        span = float(xs[n - 1] - xs[0]) if n > 1 else 0.0
        spans = _intervals(result.get_anomalies(), to_x, max(width, span / 400.0))
        for severity in ("low", "high", "critical"):
            if severity in spans:
                colour = _SEVERITY_COLOURS.get(severity, "#999")
                for ax in (ax1, ax2):
                    lo, hi = ax.get_ylim()
                    ax.broken_barh(spans[severity], (lo, hi - lo), facecolors=colour, alpha=0.35,
                                   label=f"{severity} anomaly" if ax is ax1 else None)
                    ax.set_ylim(lo, hi)
        ax1.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8)
    else:
        _empty(ax1, "no epochs with CN0")
    ax1.set_ylabel("mean CN0 (dB-Hz)")
    ax2.set_ylabel("satellites")
    ax2.set_xlabel(label)
    _date_axis(ax2, label.startswith("time"))
    ax1.grid(alpha=0.3)
    ax2.grid(alpha=0.3)
    ax1.set_title("Mean CN0 and satellite count per epoch, CN0-drop anomalies shaded", fontsize=10)
    return _png(fig)


def _visibility_plot(timeline):
    times = _times(timeline["timestamps"])
    fig = Figure(figsize=(10.0, 3.2))
    fig.subplots_adjust(left=0.075, right=0.78, top=0.89, bottom=0.2)
    ax = fig.add_subplot()
    predicted = np.array(timeline["predicted"], dtype=float)
    observed = np.array(timeline["observed"], dtype=float)
    if times is not None:
        xs = times
        label = "time (UTC)"
    else:
        xs = np.arange(len(predicted), dtype=float)
        label = "epoch"
    if len(xs):
        ax.step(xs, predicted, where="post", color="#1f77b4", lw=1.0, label="predicted (navigation data)")
        ax.step(xs, observed, where="post", color="#2ca02c", lw=1.0, label="observed")
        ax.fill_between(xs, observed, predicted, where=predicted > observed, step="post", color="#d62728",
                        alpha=0.25, label="predicted, not observed")
        ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8)
    else:
        _empty(ax, "no epochs")
    ax.set_ylabel("satellites")
    ax.set_xlabel(label)
    _date_axis(ax, times is not None)
    ax.grid(alpha=0.3)
    ax.set_title("Satellites predicted above the mask against satellites observed", fontsize=10)
    return _png(fig)


def _interference_axis(report):
    """(x values, x label, converter of an epoch text to x, width of one epoch) of a report."""
    stamps = report.timestamps
    xs = _times(stamps)
    if xs is not None:
        step = float(np.median(np.diff(xs))) if len(xs) > 1 else 30.0 / 86400.0

        def to_x(s):
            t = _times([s])
            return None if t is None else float(t[0])
        return xs, "time (UTC)", to_x, step
    index = {s: float(i) for i, s in enumerate(stamps)}
    return np.arange(len(stamps), dtype=float), "epoch", index.get, 1.0


def _template_grid(report):
    """Expected CN0 against elevation per band: the sampled data in grey, a curve per signal."""
    curves, blank = {}, []
    for system, code in report.template.signals:
        c = report.template.curve(system, code)
        if c is None:
            continue
        if any(c["counts"]):
            curves.setdefault(c["band"], []).append((f"{system} {code}", c))
        else:  # filled in entirely: it says nothing about the antenna
            blank.append(f"{system} {code}")
    rank = {b: i for i, b in enumerate(_BAND_ORDER)}
    bands = sorted(set(report.bands) | set(report.clouds) | set(curves), key=lambda b: (rank.get(b, 99), b))
    rows = max(1, math.ceil(len(bands) / 4))
    cols = max(1, math.ceil(len(bands) / rows))
    fig = Figure(figsize=(10.0, 0.7 + 2.45 * rows))
    fig.subplots_adjust(left=0.07, right=0.99, top=1.0 - 0.45 / (0.7 + 2.45 * rows),
                        bottom=0.35 / (0.7 + 2.45 * rows), wspace=0.18, hspace=0.42)
    axes = np.atleast_1d(fig.subplots(rows, cols, sharex=True, sharey=True, squeeze=False)).ravel()
    colours = ["#1f77b4", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2", "#17becf", "#bcbd22"]
    lows, highs = [], []
    for ax, band in zip(axes, bands):
        cloud = report.clouds.get(band)
        if cloud and cloud["cn0"]:
            ax.scatter(cloud["elevation"], cloud["cn0"], s=2, color="#9a9a9a", alpha=0.45, linewidths=0,
                       rasterized=True)
        for i, (name, c) in enumerate(curves.get(band, [])):
            colour = colours[i % len(colours)]
            el, cn0 = np.asarray(c["elevation"], float), np.asarray(c["cn0"], float)
            learned = np.where(np.asarray(c["counts"]) > 0, cn0, np.nan)
            ax.plot(el, cn0, color=colour, lw=0.8, ls=":")
            ax.plot(el, learned, color=colour, lw=1.6, label=name)
        if curves.get(band):
            ax.legend(loc="lower right", fontsize=6.5, handlelength=1.2, borderpad=0.3, labelspacing=0.2)
        judged = band in report.series
        ax.set_title(band if judged else f"{band} (not judged)", fontsize=9, pad=3,
                     color="#222" if judged else "#777")
        # The template's range, not the dropouts': a few values near 0 dB-Hz would flatten every curve.
        values = [v for _, c in curves.get(band, []) for v in c["cn0"]]
        if cloud and cloud["cn0"]:
            values += list(np.percentile(cloud["cn0"], [1, 99]))
        if values:
            lows.append(min(values))
            highs.append(max(values))
        ax.grid(alpha=0.3)
        ax.set_xlim(0, 90)
        ax.set_xticks(range(0, 91, 15))
    if lows:
        axes[0].set_ylim(max(0.0, min(lows) - 5.0), max(highs) + 3.0)
    for ax in axes[len(bands):]:
        ax.set_axis_off()
    for ax in axes[:len(bands)]:
        ax.tick_params(labelsize=7, labelbottom=True)
    for r in range(rows):
        axes[r * cols].set_ylabel("CN0 (dB-Hz)", fontsize=8)
    for ax in axes[max(0, len(bands) - cols):len(bands)]:
        ax.set_xlabel("elevation (°)", fontsize=8)
    if not bands:
        _empty(axes[0], "no band with CN0")
    fig.suptitle("CN0 against elevation per band: sampled data (grey) and the template of each signal",
                 fontsize=10)
    return _png(fig), blank


def _degradation_plot(report):
    """Each band's common-mode degradation over time, its trigger level dashed, the events shaded."""
    xs, label, to_x, width = _interference_axis(report)
    bands = [b for b in report.bands if b in report.series]
    n = max(1, len(bands))
    height = 0.9 + 0.95 * n
    fig = Figure(figsize=(10.0, height))
    fig.subplots_adjust(left=0.075, right=0.83, top=1.0 - 0.4 / height, bottom=0.55 / height, hspace=0.12)
    axes = np.atleast_1d(fig.subplots(n, 1, sharex=True, squeeze=False)).ravel()
    spans = []
    for e in report.events:
        start, end = to_x(e.start), to_x(e.end)
        if start is not None and end is not None:
            spans.append((start, max(end, start) + width, e.kind))
    for ax, band in zip(axes, bands):
        s = report.series[band]
        y = np.asarray(s["degradation"], dtype=float)
        m = min(len(xs), len(y))
        ax.plot(xs[:m], y[:m], color="#1f77b4", lw=0.8, label="degradation")
        ax.axhline(s["threshold_db"], color="#d62728", lw=0.9, ls="--", label="one-epoch trigger")
        ax.axhline(0.0, color="#777", lw=0.5)
        ax.text(0.004, 0.93, band, transform=ax.transAxes, ha="left", va="top", fontsize=8, fontweight="bold",
                bbox=dict(facecolor="white", edgecolor="none", alpha=0.8, pad=1.0))
        ax.tick_params(labelsize=7)
        ax.grid(alpha=0.3)
    kinds = []
    for start, end, kind in spans:
        colour = _KIND_COLOURS.get(kind, "#999")
        # Spoofing-like events are hatched, so that one over a jamming event stays visible.
        style = (dict(facecolor="none", edgecolor=colour, hatch="///", lw=0) if kind == "spoofing-like"
                 else dict(facecolor=colour, alpha=0.25, lw=0))
        for ax in axes[:len(bands)]:
            ax.axvspan(start, end, label=f"{kind} event" if ax is axes[0] and kind not in kinds else None, **style)
        if kind not in kinds:
            kinds.append(kind)
    if bands:
        axes[0].legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8)
        if len(xs):
            axes[0].set_xlim(xs[0], xs[-1] + width)
    else:
        _empty(axes[0], "no band with CN0")
    axes[-1].set_xlabel(label)
    _date_axis(axes[-1], label.startswith("time"))
    fig.supylabel("degradation (dB)", fontsize=9, x=0.015)
    fig.suptitle("Common-mode CN0 degradation per band, trigger level dashed, events shaded", fontsize=10)
    return _png(fig)


# ----------------------------------------------------------------------------------------------
# HTML


def _e(value):
    return _html.escape(str(value), quote=True)


def _kv_table(rows):
    out = ["<table class=\"kv\">"]
    for key, label, value, cls in rows:
        attr = f' class="{cls}"' if cls else ""
        out.append(f'<tr><th>{_e(label)}</th><td data-key="{_e(key)}"{attr}>{_e(value)}</td></tr>')
    out.append("</table>")
    return "\n".join(out)


def _grid_table(table_id, headers, rows, numeric=(), nowrap=()):
    out = [f'<table id="{_e(table_id)}">', "<tr>" + "".join(f"<th>{_e(h)}</th>" for h in headers) + "</tr>"]
    for row in rows:
        cells = []
        for i, v in enumerate(row):
            cls = ' class="num"' if i in numeric else (' class="time"' if i in nowrap else "")
            cells.append(f"<td{cls}>{_e(v)}</td>")
        out.append("<tr>" + "".join(cells) + "</tr>")
    out.append("</table>")
    return "\n".join(out)


def _flag(flag):
    return ("YES", "flag-yes") if flag else ("no", "flag-no")


def _figure(png, alt, caption):
    return (f'<figure><img src="data:image/png;base64,{png}" alt="{_e(alt)}"/>'
            f"<figcaption>{_e(caption)}</figcaption></figure>")


def _interference_section(report):
    """The interference detector's verdict, its events and its two figures."""
    lines = verdict_lines(report)
    parts = ["<h2>Interference verdict</h2>",
             f'<p data-key="interference_verdict"><b>{_e(lines[0])}</b></p>']
    if report.reason:
        return parts
    parts.append('<p class="note">The detector compares every band\'s CN0 with what the station\'s '
                 "CN0-against-elevation template expects, and follows the drop shared by the band's "
                 "satellites; an event starts where that drop, summed over its epochs, passes the band's "
                 "threshold, set from the recording's own noise for the stated false-alarm rate (the dashed "
                 "line is the drop one epoch alone needs; longer drops need less).</p>")
    rows = [("interference_events", "Events", len(report.events), "num"),
            ("interference_mode", "Expectation", MODE_NAMES.get(report.mode, report.mode), ""),
            ("interference_bands", "Bands", ", ".join(report.bands), ""),
            ("interference_signals", "Signals (satellite, code)", report.signals, "num"),
            ("trigger_sigma", "Trigger (sigma, summed over an event)", f"{report.trigger_sigma:.1f}", "num"),
            ("false_alarms_per_day", "False alarms a day", f"{report.false_alarms_per_day:g}", "num"),
            ("spoofing_judged", "Spoofing judged", "yes" if report.spoofing_judged else "no (no elevations)", "")]
    if report.threshold_db is not None:
        rows.append(("threshold_db", "Fixed threshold (dB)", f"{report.threshold_db:g}", "num"))
    parts.append(_kv_table(rows))
    if report.events:
        parts.append(_grid_table(
            "interference_events",
            ["Kind", "Start", "End", "Duration (s)", "Peak (dB)", "Peak time", "Degradation by band (dB)",
             "Systems", "Satellites affected", "Satellites lost"],
            [[e.kind, e.start, e.end, f"{e.duration:g}", f"{e.peak_degradation_db:.1f}", e.peak_time,
              ", ".join(f"{b} {d:.1f}" for b, d in e.degradation_db.items()), ", ".join(e.systems),
              ", ".join(e.satellites_affected), ", ".join(e.satellites_lost) or "none"]
             for e in report.events], numeric=(3, 4), nowrap=(1, 2, 5)))
    t = report.template
    png, blank = _template_grid(report)
    caption = (f"Template of {len(t.signals)} signals learned from {t.start_time} to {t.end_time}: solid where it "
               "rests on data, dotted where it was filled in from the neighbouring bins. Grey: a sample of the "
               "CN0 values it was learned from. A band is not judged when it never had 4 satellites at once.")
    if blank:
        caption += f" Not drawn, no elevation bin with data: {', '.join(blank)}."
    parts.append(_figure(png, "CN0 against elevation per band with the template", caption))
    parts.append(_figure(_degradation_plot(report), "Degradation per band over time",
                         "Degradation: how far the band's satellites sit below the template together, in dB. "
                         "Dashed: the band's trigger level. Shaded: the events by kind (red wideband, "
                         "orange band-limited, purple hatching spoofing-like)."))
    return parts


def render_html(result, *, obs_path=None, nav_path=None, min_elevation=5.0, systems=None, title=None,
                max_skyplot_points=MAX_SKYPLOT_POINTS, interference=None):
    """The HTML report of an AnalysisResult, as a str.

    obs_path and nav_path, when both are given and the result has a visibility prediction, add the
    plot of predicted against observed satellites over time (recomputed from the files at
    min_elevation, the mask the analysis used).

    interference, an InterferenceReport of the same recording, adds the interference detector's
    verdict above the CN0-drop detector's flags. Without it, and with obs_path, the report is
    computed from the files at min_elevation for systems (None: all), as the analysis was.
    """
    if interference is None and obs_path is not None:
        import tessora_cn0
        interference = tessora_cn0.detect_interference(obs_path, nav_path, min_elevation=min_elevation,
                                                        systems=systems)
    blocks = _blocks(result)
    q, summary, vis = blocks["quality_score"], blocks["summary"], blocks["visibility"] or {}
    station = result.station_name or "(no marker name)"
    heading = title or f"CN0 signal-quality report: {station}"

    parts = ["<!DOCTYPE html>",
             '<html xmlns="http://www.w3.org/1999/xhtml" lang="en">',
             "<head>", '<meta charset="utf-8"/>',
             '<meta name="viewport" content="width=device-width, initial-scale=1"/>',
             f"<title>{_e(heading)}</title>", f"<style>{_CSS}</style>", "</head>", "<body>",
             f"<h1>{_e(heading)}</h1>",
             f'<p class="sub">{_e(result.filename or obs_path or "")} &#8212; {_e(result.start_time)} to '
             f"{_e(result.end_time)}</p>"]

    grade = result.quality_grade
    grade_cls = "g-" + (grade if grade in ("A", "B", "C", "D", "F") else "NA")
    parts.append(f'<p><span class="grade {grade_cls}" data-key="grade">{_e(grade)}</span>'
                 f'<span class="headline">Score <b data-key="score">{result.score:.1f}</b> of 100: '
                 f"{_e(result.summary)}</span></p>")
    if interference is not None:
        parts.append(f'<p class="verdict">{_e(verdict_lines(interference)[0])}</p>')

    # File
    parts.append("<h2>Recording</h2>")
    parts.append(_kv_table([
        ("station", "Station (marker)", station, ""),
        ("receiver", "Receiver", result.receiver_type, ""),
        ("antenna", "Antenna", result.antenna_type, ""),
        ("start_time", "First epoch", result.start_time, ""),
        ("end_time", "Last epoch", result.end_time, ""),
        ("duration_hours", "Duration (h)", f"{result.duration_hours:.2f}", "num"),
        ("interval", "Interval (s)", f"{result.interval:g}", "num"),
        ("total_epochs", "Epochs", result.total_epochs, "num"),
        ("total_satellites", "Satellites", result.total_satellites, "num"),
        ("total_observations", "CN0 observations", result.total_observations, "num"),
        ("position", "Position (lat, lon)", f"{result.position_lat:.6f}, {result.position_lon:.6f}", ""),
    ]))

    # Quality
    qs = result.quality_score
    parts.append("<h2>Quality</h2>")
    parts.append(_kv_table([
        ("q_score", "Signal-quality score", f"{q['overall']:.1f}", "num"),
        ("q_grade", "Grade", q["grade"], ""),
        ("q_interpretation", "Interpretation", q["interpretation"], ""),
        ("q_cn0", "CN0 score", f"{q['cn0_score']:.1f}", "num"),
        ("q_coverage", "Coverage score", f"{q['coverage_score']:.1f}", "num"),
        ("q_consistency", "Consistency score", f"{q['consistency_score']:.1f}", "num"),
        ("sky_coverage", "Sky coverage (% of 648 cells)", f"{result.skyplot_coverage:.1f}", "num"),
        ("mean_cn0", "Mean CN0 (dB-Hz)", f"{result.mean_cn0:.1f}", "num"),
        ("cn0_range", "CN0 min / max (dB-Hz)", f"{result.min_cn0:.1f} / {result.max_cn0:.1f}", "num"),
        ("cn0_std", "CN0 standard deviation (dB-Hz)", f"{result.cn0_std_dev:.2f}", "num"),
    ]))
    parts.append("<p class=\"note\">Post-processing suitability:</p>")
    parts.append(_kv_table([
        ("pp_overall", "Overall", f"{qs.overall:.1f}", "num"),
        ("pp_rating", "Rating", qs.rating, ""),
        ("pp_cn0", "CN0 quality", f"{qs.cn0_quality:.1f}", "num"),
        ("pp_availability", "Availability", f"{qs.availability:.1f}", "num"),
        ("pp_continuity", "Continuity", f"{qs.continuity:.1f}", "num"),
        ("pp_stability", "Stability", f"{qs.stability:.1f}", "num"),
        ("pp_diversity", "Diversity", f"{qs.diversity:.1f}", "num"),
        ("pp_suitable", "Suitable for post-processing", "yes" if qs.post_processing_suitable else "no", ""),
    ]))

    # The interference detector, then the CN0-drop detector's flags
    if interference is not None:
        parts += _interference_section(interference)
    parts.append("<h2>CN0-drop detector: interference indications</h2>")
    parts.append('<p class="note">These flags, and the CN0-drop anomalies further down, come from the '
                 "analysis's own check: epochs at which two or more satellites drop 10 dB or more below "
                 "their own mean over the recording. "
                 + ("The interference verdict above judges each band against the station's elevation "
                    "template with a trigger set from this recording's noise, so the two can disagree.</p>"
                    if interference is not None else "</p>"))
    rows = []
    for key, label, flag in (("jamming", "Jamming", result.jamming_detected),
                             ("spoofing", "Spoofing", result.spoofing_detected),
                             ("interference", "Interference", result.interference_detected)):
        text, cls = _flag(flag)
        rows.append((key, label, text, cls))
    rows += [("anomaly_count", "CN0-drop anomalies", summary["anomaly_count"], "num"),
             ("critical_count", "critical", summary["critical_count"], "num"),
             ("high_count", "high", summary["high_count"], "num"),
             ("low_count", "low", summary["low_count"], "num")]
    parts.append(_kv_table(rows))

    # Constellations
    parts.append("<h2>Constellations</h2>")
    crow = []
    for name in result.constellations:
        c = result.get_constellation_summary(name)
        if c:
            crow.append([name, c["satellite_count"], c["satellites_expected"], c["observation_count"],
                         c["mean_cn0"], c["min_cn0"], c["max_cn0"], c["std_cn0"], c["availability_ratio"],
                         c["cycle_slips"], c["data_gaps"]])
    if crow:
        parts.append(_grid_table("constellations", ["Constellation", "Satellites", "Expected", "Observations",
                                                    "Mean CN0", "Min", "Max", "Std", "Availability",
                                                    "Cycle slips", "Data gaps"], crow, numeric=range(1, 11)))
    else:
        parts.append('<p class="note">No constellation has CN0 observations.</p>')

    # Figures
    sky_png, sky_total, sky_shown, _ = _skyplot(result, max_skyplot_points)
    sky_caption = f"{result.skyplot_trace_count} traces, {sky_total} points"
    if sky_shown < sky_total:
        sky_caption += f" ({sky_shown} drawn: an even subsample)"
    sky_caption += f"; sky coverage {result.skyplot_coverage:.1f} %."
    parts.append("<h2>Sky views</h2>")
    parts.append('<div class="figs">')
    parts.append(_figure(sky_png, "Polar skyplot of the satellite traces coloured by CN0", sky_caption))
    parts.append(_figure(_heatmap(blocks["heatmap"]), "Azimuth/elevation heatmap of mean CN0",
                         "18 elevation × 36 azimuth bins; empty cells are blank."))
    parts.append("</div>")

    axis = _time_axis(result)
    parts.append("<h2>Time series</h2>")
    parts.append(_figure(_timeseries(result, axis), "Mean CN0 and satellite count over time",
                         "Shaded bands: CN0-drop anomalies by severity (red critical, orange high, yellow low)."))

    # Visibility
    parts.append("<h2>Visibility: predicted against observed</h2>")
    if vis.get("has_prediction"):
        if obs_path is not None and nav_path is not None:
            from tessora_cn0 import _extension
            timeline = _extension._visibility_timeline(obs_path, nav_path, min_elevation)
            parts.append(_figure(_visibility_plot(timeline), "Predicted and observed satellites over time",
                                 f"Elevation mask {min_elevation:g}°."))
        parts.append(_kv_table([
            ("vis_source", "Prediction source", vis["prediction_source"], ""),
            ("confirmation_rate", "Confirmation rate (%)", f"{vis['confirmation_rate']:.1f}", "num"),
            ("mean_predicted", "Mean predicted per epoch", f"{vis['mean_predicted']:.1f}", "num"),
            ("mean_observed", "Mean observed per epoch", f"{vis['mean_observed']:.1f}", "num"),
            ("mean_missing", "Mean missing per epoch", f"{vis['mean_missing']:.1f}", "num"),
            ("mean_unexpected", "Mean unexpected per epoch", f"{vis['mean_unexpected']:.1f}", "num"),
            ("frequently_missing", "Frequently missing", ", ".join(vis["frequently_missing"]) or "none", ""),
            ("frequently_unexpected", "Frequently unexpected",
             ", ".join(vis["frequently_unexpected"]) or "none", ""),
        ]))
        vrows = [[name, b["predicted_satellites"], b["observed_satellites"], f"{b['confirmation_rate']:.1f}",
                  ", ".join(b["missing_satellites"]), ", ".join(b["unexpected_satellites"])]
                 for name, b in vis["by_system"].items()]
        parts.append(_grid_table("visibility_by_system", ["Constellation", "Predicted", "Observed",
                                                          "Confirmation (%)", "Missing", "Unexpected"],
                                 vrows, numeric=(1, 2, 3)))
        descriptions = result.get_visibility_anomaly_descriptions()
        types = result.get_visibility_anomaly_types()
        if descriptions:
            parts.append(_grid_table("visibility_anomalies", ["Type", "Description"],
                                     list(zip(types, descriptions))))
    else:
        parts.append('<p class="note">No visibility prediction: the analysis had no navigation data.</p>')

    # Anomalies
    anomalies = result.get_anomalies()
    parts.append("<h2>CN0-drop anomalies</h2>")
    if anomalies:
        shown = anomalies[:MAX_ANOMALY_ROWS]
        if len(shown) < len(anomalies):
            parts.append(f'<p class="note">The first {len(shown)} of {len(anomalies)} anomalies; '
                         "the JSON result holds them all.</p>")
        parts.append(_grid_table(
            "anomalies", ["Start", "End", "Severity", "Type", "Description", "CN0 drop (dB)", "Satellites",
                          "Systems"],
            [[a["start_time"], a["end_time"], a["severity"], a["anomaly_type"], a["description"],
              f"{float(a['cn0_drop']):.1f}", a["affected_satellites"].replace(",", ", "),
              a["affected_systems"].replace(",", ", ")] for a in shown], numeric=(5,), nowrap=(0, 1)))
    else:
        parts.append('<p class="note">None.</p>')

    from tessora_cn0 import __version__
    parts.append(f'<p class="note">Written by tessora_cn0 {_e(__version__)}.</p>')
    parts += ["</body>", "</html>", ""]
    return "\n".join(parts)


def write_html(path, result, **options):
    """Write render_html(result, **options) to path (UTF-8)."""
    text = render_html(result, **options)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
