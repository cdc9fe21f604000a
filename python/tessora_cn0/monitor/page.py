"""The monitor's status page: one self-contained HTML document (``PAGE``), with its CSS and script
inline and its charts drawn as inline SVG, so that it needs nothing but the server it came from.

The script fetches ``status.json?points=150`` every 2 s and draws the snapshot again: a card per
station (stations with open events first, then those disconnected, in outage or corrupted; the rest
by name), each with its state, latency, satellites, an hour of mean CN0 per band with the open
events shaded, each band's latest CN0 and degradation, and its open events; below, the recent
events, newest first. A failed fetch shows "connection lost" and keeps the last snapshot on screen
until a fetch works again. Every text of the snapshot goes through ``esc`` before it reaches the
document, and colours and classes come from fixed tables, never from the snapshot.
"""

__all__ = ["PAGE"]

_CSS = """
* { box-sizing: border-box; }
body { font-family: "DejaVu Sans", Helvetica, Arial, sans-serif; margin: 0; color: #222; background: #fafafa; }
header { position: sticky; top: 0; z-index: 2; background: #fff; border-bottom: 1px solid #ccc;
         padding: 0.5em 1em; display: flex; flex-wrap: wrap; align-items: baseline; gap: 0.4em 1.2em; }
h1 { font-size: 1.25em; margin: 0; }
h2 { font-size: 1.05em; border-bottom: 1px solid #ccc; padding-bottom: 0.2em; margin: 1.2em 0 0.6em; }
main { padding: 0 1em 2em; }
#summary { color: #555; font-size: 0.9em; }
#conn { font-size: 0.85em; font-weight: bold; padding: 0.1em 0.6em; border-radius: 0.8em; }
#conn.live { color: #2ca02c; } #conn.wait { color: #777; }
#conn.lost { color: #fff; background: #d62728; }
body.stale main { opacity: 0.55; }  /* what is shown is the last snapshot received */
#filter { font: inherit; font-size: 0.8em; font-weight: normal; padding: 0.1em 0.4em; width: 14em; margin-left: 1em; }
#shown { color: #777; font-size: 0.8em; font-weight: normal; margin-left: 0.5em; }
.grid { display: grid; grid-template-columns: repeat(auto-fill, minmax(320px, 1fr)); gap: 0.7em; }
.card { background: #fff; border: 1px solid #ddd; border-left: 5px solid #2ca02c; border-radius: 3px;
        padding: 0.45em 0.6em; font-size: 0.85em; min-width: 0; }
.card.st-outage { border-left-color: #ff7f0e; } .card.st-corrupted { border-left-color: #9467bd; }
.card.st-disconnected { border-left-color: #d62728; } .card.st-unknown { border-left-color: #888; }
.card.has-open { border-color: #d62728; box-shadow: 0 0 0 1px #d62728; background: #fff6f6; }
.top { display: flex; align-items: baseline; gap: 0.5em; }
.name { font-weight: bold; font-size: 1.1em; overflow-wrap: anywhere; }
.mount { color: #777; overflow: hidden; text-overflow: ellipsis; white-space: nowrap; }
.state { margin-left: auto; font-size: 0.85em; font-weight: bold; padding: 0 0.5em; border-radius: 0.7em;
         color: #fff; background: #888; white-space: nowrap; }
.state.s-connected { background: #2ca02c; } .state.s-outage { background: #ff7f0e; }
.state.s-corrupted { background: #9467bd; } .state.s-disconnected { background: #d62728; }
.facts { color: #666; margin: 0.2em 0; display: flex; flex-wrap: wrap; gap: 0 0.8em;
         font-variant-numeric: tabular-nums; }
.facts span { white-space: nowrap; } .facts b { font-weight: normal; color: #222; }
svg.chart { display: block; width: 100%; height: auto; }
/* The latest CN0 and degradation of each band: cells that wrap within the card, however many bands. */
.bands { display: flex; flex-wrap: wrap; gap: 0.1em 0.3em; margin-top: 0.15em; font-variant-numeric: tabular-nums; }
.bands > div { display: flex; flex-direction: column; align-items: flex-end; min-width: 3.4em; }
.bands > div.key { align-items: flex-start; color: #666; min-width: 0; }
.bands b { font-weight: bold; color: #222; white-space: nowrap; }
.sw { display: inline-block; width: 0.9em; height: 0.25em; vertical-align: middle; margin-right: 0.25em; }
.deg.warn { color: #c36b00; font-weight: bold; } .deg.bad { color: #d62728; font-weight: bold; }
.ev { margin-top: 0.3em; padding: 0.2em 0.4em; border-radius: 2px; color: #fff; background: #d62728; }
.ev.k-band-limited { background: #ff7f0e; } .ev.k-spoofing-like { background: #9467bd; }
.ev.k-unknown { background: #8c564b; }
table { border-collapse: collapse; font-size: 0.85em; background: #fff; }
th, td { border: 1px solid #ddd; padding: 0.2em 0.55em; text-align: left; }
th { background: #f4f4f4; }
td.num { text-align: right; font-variant-numeric: tabular-nums; }
td.time { white-space: nowrap; font-variant-numeric: tabular-nums; }
tr.still-open td { background: #fff0f0; }
.kind { font-weight: bold; } .kind.k-wideband { color: #d62728; } .kind.k-band-limited { color: #c36b00; }
.kind.k-spoofing-like { color: #9467bd; }
.note { color: #777; font-size: 0.85em; }
"""

# The script is a raw string: its regular expressions keep their backslashes.
_SCRIPT = r"""
"use strict";
const POLL_MS = 2000, TIMEOUT_MS = 10000, HOUR_MS = 3600e3, MAX_EVENT_ROWS = 500;
const BAND_ORDER = ["S", "G1", "L1", "B1I", "E6", "G2", "L2", "E5b", "G3", "E5", "L5"];
const PALETTE = ["#1f77b4", "#ff7f0e", "#2ca02c", "#9467bd", "#8c564b", "#e377c2", "#17becf", "#bcbd22",
                 "#7f7f7f", "#d62728", "#393b79"];
const BAND_COLOURS = {L1: 0, L2: 1, L5: 2, E5b: 3, E6: 4, G1: 5, G2: 6, B1I: 7, E5: 8, G3: 10, S: 9};
const STATES = {connected: 5, outage: 2, corrupted: 3, disconnected: 1};
const KINDS = ["wideband", "band-limited", "spoofing-like"];
let snap = null, okAt = null;

const $ = (id) => document.getElementById(id);
const own = (table, key) => Object.prototype.hasOwnProperty.call(table, key);  // never "constructor" and kin
const ENTITIES = {"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&#39;"};
function esc(v) {
  return String(v).replace(/[&<>"']/g, (c) => ENTITIES[c]);
}
const num = (v) => (typeof v === "number" && isFinite(v) ? v : null);
const text = (v) => (typeof v === "string" ? v : (v === null || v === undefined ? "" : String(v)));
const list = (v) => (Array.isArray(v) ? v : []);
const dict = (v) => (v && typeof v === "object" && !Array.isArray(v) ? v : {});
function fmt(v, digits, unit) {
  v = num(v);
  return v === null ? "–" : v.toFixed(digits) + (unit || "");
}
function signed(v) { v = num(v); return v === null ? "–" : (v > 0 ? "+" : "") + v.toFixed(1); }
// An ISO time as milliseconds; a time without a zone is UTC, as every time of the monitor is.
function ms(iso) {
  if (typeof iso !== "string") return null;
  let s = iso.trim().replace(" ", "T");
  if (/^\d{4}-\d\d-\d\dT[\d:.]+$/.test(s)) s += "Z";
  const t = Date.parse(s);
  return isFinite(t) ? t : null;
}
// A time as its time of day when it falls on the snapshot's day, else with its date.
function when(iso) {
  const m = /^(\d{4}-\d\d-\d\d)[T ](\d\d:\d\d:\d\d)/.exec(text(iso));
  if (!m) return esc(text(iso) || "–");
  return m[1] === text(snap && snap.time).slice(0, 10) ? m[2] : m[1] + " " + m[2];
}
function bandRank(b) { const i = BAND_ORDER.indexOf(b); return i < 0 ? 99 : i; }
function bandColour(b) {
  if (own(BAND_COLOURS, b)) return PALETTE[BAND_COLOURS[b]];
  let h = 0;
  for (const c of String(b)) h = (h * 31 + c.charCodeAt(0)) >>> 0;
  return PALETTE[h % PALETTE.length];
}
const stateClass = (s) => (own(STATES, s) ? s : "unknown");
const stateRank = (s) => (own(STATES, s) ? STATES[s] : 4);
const kindClass = (k) => (KINDS.includes(k) ? k : "unknown");
const stationName = (st) => text(st.station) || text(st.mount) || "?";
const openEvents = (st) => list(st.open_events).filter((e) => e && typeof e === "object");
function worstPeak(st) { return Math.max(-1, ...openEvents(st).map((e) => num(e.peak_degradation_db) ?? 0)); }
function rank(st) { return openEvents(st).length ? 0 : stateRank(st.state); }

function chart(st, end) {
  const W = 320, H = 96, L = 26, R = 4, T = 8, B = 13, start = end - HOUR_MS;
  const x = (t) => L + (Math.min(Math.max(t, start), end) - start) / HOUR_MS * (W - L - R);
  const series = Object.entries(dict(st.bands)).sort((a, b) => bandRank(a[0]) - bandRank(b[0]));
  const lines = [];
  let lo = Infinity, hi = -Infinity;
  for (const [band, points] of series) {
    const pts = [];
    for (const p of list(points)) {
      const t = Array.isArray(p) ? ms(p[0]) : null;
      if (t === null || t < start || t > end) continue;
      const v = num(p[1]);
      pts.push([t, v]);
      if (v !== null) { lo = Math.min(lo, v); hi = Math.max(hi, v); }
    }
    lines.push([band, pts]);
  }
  let svg = `<svg class="chart" viewBox="0 0 ${W} ${H}" role="img"><title>mean CN0 per band, last hour</title>`;
  svg += `<rect x="${L}" y="${T}" width="${W - L - R}" height="${H - T - B}" fill="#fcfcfc" stroke="#e4e4e4"/>`;
  for (const e of openEvents(st)) {
    const a = ms(e.start), b = ms(e.end) ?? end;
    if (a === null || b < start) continue;
    svg += `<rect x="${x(a).toFixed(1)}" y="${T}" width="${Math.max(2, x(b) - x(a)).toFixed(1)}" ` +
      `height="${H - T - B}" fill="#d62728" fill-opacity="0.16"/>`;
  }
  if (lo === Infinity) {
    return svg + `<text x="${(W + L) / 2}" y="${H / 2}" text-anchor="middle" font-size="10" fill="#888">` +
      `no CN0 in the last hour</text></svg>`;
  }
  let bottom = Math.floor(lo / 5) * 5, top = Math.ceil(hi / 5) * 5;
  if (top - bottom < 10) {  // at least 10 dB-Hz, so that noise does not look like a drop
    bottom = Math.floor(((lo + hi) / 2 - 5) / 5) * 5;
    top = Math.max(bottom + 10, Math.ceil(hi / 5) * 5);
  }
  const y = (v) => T + (top - v) / (top - bottom) * (H - T - B);
  const step = top - bottom <= 20 ? 5 : 10;
  for (let v = Math.ceil(bottom / step) * step; v <= top; v += step) {
    svg += `<line x1="${L}" x2="${W - R}" y1="${y(v).toFixed(1)}" y2="${y(v).toFixed(1)}" stroke="#eee"/>`;
    svg += `<text x="${L - 3}" y="${(y(v) + 3).toFixed(1)}" text-anchor="end" font-size="10" fill="#777">${v}</text>`;
  }
  for (const [frac, label] of [[0, "−60 min"], [0.5, "−30"], [1, "now"]]) {
    const anchor = frac === 0 ? "start" : frac === 1 ? "end" : "middle";
    svg += `<text x="${(L + frac * (W - L - R)).toFixed(1)}" y="${H - 2}" text-anchor="${anchor}" ` +
      `font-size="10" fill="#777">${label}</text>`;
  }
  for (const [band, pts] of lines) {
    // A line breaks where the band has no CN0 and across gaps of the stream (four usual spacings).
    const steps = pts.slice(1).map((p, i) => p[0] - pts[i][0]).sort((a, b) => a - b);
    const gap = Math.max(30e3, 4 * (steps.length ? steps[steps.length >> 1] : 0));
    let run = [], prev = null;
    const flush = () => {
      const colour = bandColour(band), [cx, cy] = run.length ? run[0].split(",") : [];
      if (run.length > 1) {
        svg += `<polyline fill="none" stroke="${colour}" stroke-width="1.3" points="${run.join(" ")}"/>`;
      }
      else if (run.length === 1) svg += `<circle cx="${cx}" cy="${cy}" r="1.2" fill="${colour}"/>`;
      run = [];
    };
    for (const [t, v] of pts) {
      if (v === null || (prev !== null && t - prev > gap)) flush();
      if (v !== null) run.push(x(t).toFixed(1) + "," + y(v).toFixed(1));
      prev = t;
    }
    flush();
  }
  return svg + "</svg>";
}

// Each band's latest mean CN0 and degradation: a cell per band under its colour in the chart,
// wrapping within the card.
function bandsTable(st) {
  const deg = dict(st.degradation_db), series = dict(st.bands);
  const names = [...new Set([...Object.keys(series), ...Object.keys(deg)])].sort((a, b) => bandRank(a) - bandRank(b));
  if (!names.length) return "";
  const latest = (b) => {
    const p = list(series[b]), q = p.length ? p[p.length - 1] : null;
    return Array.isArray(q) ? num(q[1]) : null;
  };
  const level = (d) => (d === null ? "" : d >= 3 ? " bad" : d >= 1 ? " warn" : "");
  return `<div class="bands"><div class="key"><b>band</b><span>CN0 dB-Hz</span>` +
    `<span title="latest CN0 below its expectation">degradation dB</span></div>` +
    names.map((b) => {
      const d = num(deg[b]);
      return `<div><b><i class="sw" style="background:${bandColour(b)}"></i>${esc(b)}</b>` +
        `<span>${fmt(latest(b), 1)}</span><span class="deg${level(d)}">${signed(d)}</span></div>`;
    }).join("") + `</div>`;
}

function eventLine(e) {
  const bands = list(e.bands).map(text).join(", ");
  return `<div class="ev k-${kindClass(e.kind)}"><b>${esc(text(e.kind) || "event")}</b> since ${when(e.start)}` +
    ` · peak ${fmt(e.peak_degradation_db, 1, " dB")} at ${when(e.peak_time)}` +
    (bands ? ` · ${esc(bands)}` : "") + `</div>`;
}

function card(st, end) {
  const state = text(st.state) || "unknown", open = openEvents(st);
  const facts = [["latency", fmt(st.latency_s, 2, " s")], ["satellites", fmt(st.satellites, 0)],
                 ["interval", fmt(st.rate_s, st.rate_s % 1 ? 1 : 0, " s")], ["last epoch", when(st.last_epoch)],
                 ["epochs", fmt(st.epochs, 0)], ["outages", fmt(st.outages, 0)],
                 ["reconnects", fmt(st.reconnects, 0)], ["CRC failures", fmt(st.crc_failures, 0)]];
  return `<div class="card st-${stateClass(st.state)}${open.length ? " has-open" : ""}">` +
    `<div class="top"><span class="name">${esc(stationName(st))}</span>` +
    `<span class="mount" title="${esc(text(st.mount))}">${esc(text(st.mount))}</span>` +
    `<span class="state s-${stateClass(st.state)}">${esc(state)}</span></div>` +
    `<div class="facts">` + facts.map(([k, v]) => `<span>${k} <b>${v}</b></span>`).join("") + `</div>` +
    // The station's own last hour: its last epoch ends the chart (a replayed day's times are old).
    chart(st, ms(st.last_epoch) ?? end) + bandsTable(st) + open.map(eventLine).join("") + `</div>`;
}

function eventsTable(events, stations) {
  const rows = events.filter((e) => e && typeof e === "object").slice(-MAX_EVENT_ROWS).reverse();
  if (!rows.length) return `<p class="note">No events yet.</p>`;
  const open = new Set(stations.flatMap((st) => openEvents(st).map((e) => stationName(st) + "\n" + text(e.start))));
  const head = ["station", "action", "kind", "start", "peak", "end", "peak dB", "bands"];
  return `<table><tr>${head.map((h) => `<th>${h}</th>`).join("")}</tr>` + rows.map((e) =>
    `<tr${open.has(text(e.station) + "\n" + text(e.start)) ? ' class="still-open"' : ""}>` +
    `<td>${esc(text(e.station))}</td><td>${esc(text(e.action))}</td>` +
    `<td class="kind k-${kindClass(e.kind)}">${esc(text(e.kind))}</td>` +
    `<td class="time">${when(e.start)}</td><td class="time">${when(e.peak_time)}</td>` +
    `<td class="time">${e.end ? when(e.end) : "–"}</td><td class="num">${fmt(e.peak_degradation_db, 1)}</td>` +
    `<td>${esc(list(e.bands).map(text).join(", "))}</td></tr>`).join("") + `</table>` +
    (events.length > MAX_EVENT_ROWS ? `<p class="note">The latest ${MAX_EVENT_ROWS} of ${events.length} events.</p>`
                                     : "");
}

function render() {
  if (!snap) return;
  const stations = list(snap.stations).filter((s) => s && typeof s === "object");
  const counts = dict(snap.counts), tally = {};
  for (const st of stations) { const s = text(st.state) || "unknown"; tally[s] = (tally[s] || 0) + 1; }
  const states = Object.entries(tally).sort((a, b) => stateRank(a[0]) - stateRank(b[0]))
    .map(([s, n]) => `${n} ${esc(s)}`).join(", ");
  const time = text(snap.time).replace("T", " ").replace(/Z$/, " UTC") || "–";
  $("summary").innerHTML = `snapshot ${esc(time)} · ${stations.length} stations` +
    (states ? ` (${states})` : "") + ` · events ${fmt(counts.events, 0)} · open ${fmt(counts.open, 0)}`;
  const open = num(counts.open);
  document.title = (open ? `(${open} open) ` : "") + "tessora-cn0 monitor";
  const end = ms(snap.time) ?? Math.max(0, ...stations.map((s) => ms(s.last_epoch) ?? 0));
  const wanted = $("filter").value.trim().toLowerCase();
  const matches = (st) => (text(st.station) + " " + text(st.mount)).toLowerCase().includes(wanted);
  const shown = stations.filter((st) => !wanted || matches(st))
    .sort((a, b) => rank(a) - rank(b) || worstPeak(b) - worstPeak(a) || stationName(a).localeCompare(stationName(b)));
  const scroll = window.scrollY;
  $("shown").textContent = wanted ? `${shown.length} of ${stations.length} shown` : "";
  $("stations").innerHTML = shown.map((st) => card(st, end)).join("") || `<p class="note">No stations.</p>`;
  $("events").innerHTML = eventsTable(list(snap.events), stations);
  window.scrollTo(window.scrollX, scroll);
}

function connection(ok, why) {
  const c = $("conn");
  c.className = ok ? "live" : "lost";
  c.textContent = ok ? "live" : "connection lost" +
    (okAt ? ` (last snapshot received ${new Date(okAt).toISOString().slice(11, 19)} UTC)` : "") + " – retrying";
  document.body.classList.toggle("stale", !ok);
  if (ok) c.removeAttribute("title"); else c.title = text(why);
}

async function poll() {
  const abort = new AbortController(), timer = setTimeout(() => abort.abort(), TIMEOUT_MS);
  try {
    const r = await fetch("status.json?points=150", {cache: "no-store", signal: abort.signal});
    if (!r.ok) throw new Error(`HTTP ${r.status}: ${(await r.text()).slice(0, 200)}`);
    const next = await r.json();
    snap = next && typeof next === "object" ? next : {};
    okAt = Date.now();
    connection(true);
  } catch (e) {
    connection(false, e);
  } finally {
    clearTimeout(timer);
  }
  try { render(); } catch (e) { $("summary").textContent = "could not show the snapshot: " + e; }
  setTimeout(poll, POLL_MS);
}

$("filter").addEventListener("input", () => { try { render(); } catch (e) { /* shown at the next poll */ } });
poll();
"""

PAGE = f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>tessora-cn0 monitor</title>
<style>{_CSS}</style>
</head>
<body>
<header>
<h1>tessora-cn0 monitor</h1>
<span id="summary">waiting for the first snapshot</span>
<span id="conn" class="wait">connecting</span>
</header>
<main>
<noscript><p>This page draws the monitor's state with JavaScript;
<a href="status.json">status.json</a> holds it as JSON.</p></noscript>
<h2>Stations <input id="filter" type="search" placeholder="filter by name or mount" aria-label="filter stations">
<span id="shown"></span></h2>
<div id="stations" class="grid"></div>
<h2>Recent events (newest first)</h2>
<div id="events"></div>
</main>
<script>{_SCRIPT}</script>
</body>
</html>
"""
