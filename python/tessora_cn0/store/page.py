"""A small self-contained HTML page of a station's stored templates: per set-up, CN0 against
elevation of every signal, drawn as inline SVG (no script, no images, no network access)."""
import html
import json

from tessora_cn0._summary import BAND_ORDER

_W, _H = 760, 380
_LEFT, _RIGHT, _TOP, _BOTTOM = 56, 150, 20, 40
# One colour per signal, in turn (the usual categorical palette).
_COLOURS = ("#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f",
            "#bcbd22", "#17becf")
_CSS = """body { font-family: "DejaVu Sans", Helvetica, Arial, sans-serif; margin: 1.5em auto; max-width: 1000px;
color: #222; padding: 0 1em; } h1 { font-size: 1.4em; } h2 { font-size: 1.1em; margin-top: 1.5em; }
p.sub { color: #555; } svg text { font-size: 11px; fill: #333; } .note { font-size: 0.85em; color: #555; }"""


def _band_rank(signal):
    band = signal["band"]
    return (BAND_ORDER.index(band) if band in BAND_ORDER else len(BAND_ORDER), signal["system"], signal["code"])


def _scale(signals):
    values = [v for s in signals for v in s["cn0"]]
    lo, hi = (min(values), max(values)) if values else (20.0, 55.0)
    lo, hi = 5 * int(lo // 5), 5 * int(hi // 5 + 1)
    return lo, hi if hi > lo else lo + 5


def _axes(lo, hi):
    x0, x1, y0, y1 = _LEFT, _W - _RIGHT, _H - _BOTTOM, _TOP
    parts = [f'<rect x="{x0}" y="{y1}" width="{x1 - x0}" height="{y0 - y1}" fill="none" stroke="#999"/>']
    for e in range(0, 91, 15):
        x = x0 + (x1 - x0) * e / 90
        parts.append(f'<line x1="{x:.1f}" y1="{y0}" x2="{x:.1f}" y2="{y1}" stroke="#eee"/>'
                     f'<text x="{x:.1f}" y="{y0 + 15}" text-anchor="middle">{e}</text>')
    for v in range(lo, hi + 1, 5):
        y = y0 - (y0 - y1) * (v - lo) / (hi - lo)
        parts.append(f'<line x1="{x0}" y1="{y:.1f}" x2="{x1}" y2="{y:.1f}" stroke="#eee"/>'
                     f'<text x="{x0 - 6}" y="{y + 4:.1f}" text-anchor="end">{v}</text>')
    parts.append(f'<text x="{(x0 + x1) / 2:.0f}" y="{_H - 6}" text-anchor="middle">elevation (degrees)</text>'
                 f'<text x="14" y="{(y0 + y1) / 2:.0f}" text-anchor="middle" '
                 f'transform="rotate(-90 14 {(y0 + y1) / 2:.0f})">CN0 (dB-Hz)</text>')
    return parts


def _curves(signals, lo, hi):
    x0, x1, y0, y1 = _LEFT, _W - _RIGHT, _H - _BOTTOM, _TOP
    parts = []
    for i, s in enumerate(signals):
        colour = _COLOURS[i % len(_COLOURS)]
        width = s.get("bin_width", 2.0)
        points = " ".join(f"{x0 + (x1 - x0) * (k + 0.5) * width / 90:.1f},{y0 - (y0 - y1) * (v - lo) / (hi - lo):.1f}"
                          for k, v in enumerate(s["cn0"]))
        label = html.escape(f"{s['system']} {s['code']} ({s['band']})")
        parts.append(f'<polyline points="{points}" fill="none" stroke="{colour}" stroke-width="1.5">'
                     f'<title>{label}</title></polyline>')
        y = _TOP + 8 + 15 * i
        parts.append(f'<line x1="{x1 + 12}" y1="{y}" x2="{x1 + 32}" y2="{y}" stroke="{colour}" stroke-width="2"/>'
                     f'<text x="{x1 + 38}" y="{y + 4}">{label}</text>')
    return parts


def template_svg(template_json):
    """CN0 against elevation of every signal of a template (its JSON text) as an SVG element."""
    data = json.loads(template_json)
    signals = sorted(data["signals"], key=_band_rank)
    for s in signals:
        s["bin_width"] = data.get("bin_width", 2.0)
    lo, hi = _scale(signals)
    height = max(_H, _TOP + 15 * len(signals) + 20)
    body = _axes(lo, hi) + _curves(signals, lo, hi)
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{_W}" height="{height}" '
            f'viewBox="0 0 {_W} {height}" role="img">' + "".join(body) + "</svg>")


def render_html(station, sections):
    """The page of a station: sections are (set-up title, subtitle, template JSON or None)."""
    out = ['<!DOCTYPE html>', '<html lang="en"><head><meta charset="utf-8"/>',
           f"<title>{html.escape(station)}: stored CN0 templates</title><style>{_CSS}</style></head><body>",
           f"<h1>{html.escape(station)}: stored CN0-against-elevation templates</h1>",
           '<p class="sub">Each set-up (receiver, antenna, firmware) has its own template, combined from its '
           "latest clean days: per signal and 2-degree elevation bin, the count-weighted median of the days' "
           "curves.</p>"]
    for title, subtitle, text in sections:
        out.append(f"<h2>{html.escape(title)}</h2><p class=\"sub\">{html.escape(subtitle)}</p>")
        out.append(template_svg(text) if text else '<p class="note">No template: no clean day with '
                                                  "elevations yet.</p>")
    out.append("</body></html>")
    return "\n".join(out) + "\n"
