#!/usr/bin/env python3
"""The live detector against the file detector, over many injected jammers on real day files.

Every case is a day file with one jammer put in at a random epoch (plateaus of 3 to 10 dB on every
band or on L1 only, vehicle passes, slow ramps), encoded as the station's RTCM 3 stream (MSM7 with
its ephemerides, as `tessora-cn0 replay` sends it); the clean days run as they are. The reference
is detect_interference on that stream, with the stream's own ephemerides. The live side is the
monitor's pipeline: the stream fed an epoch's bytes at a time into RtcmStream, whatever it completes
pushed into LiveDetector (new ephemerides given to it as they come), then finish().

Figures: the cases whose final events match the reference (same count, and per event the same
start, end, bands and kind; "alike": the same count, bands and kinds), the alarm latency of plateaus of 6 dB or more (epochs from the onset to
the push that opened the event: 1 is the first epoch of the jammer), and events on clean days.
--caster N runs the first N cases (the clean days first) end to end as well: the replay at
--speed into RTKLIB's str2str NTRIP caster on 127.0.0.1, read by `tessora-cn0 monitor`, whose
event lines must give the same events.

    python3 bench/eval_live_parity.py [DATA_DIR] [--repeats 2] [--seed 1] [--caster 0]
        [--speed 2000] [--json OUT]
"""
import argparse
import datetime
import json
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import tessora_cn0 as t

DAYS = [  # (label, observation file, navigation file)
    ("ESBC", "rinex/CRNX/V3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx", "rinex/NAV/V3/ESBC00DNK_R_20201770000_01D_MN.rnx"),
    ("NYA1", "rinex/CRNX/V3/NYA100NOR_S_20241240000_01D_30S_MO.rnx", "rinex/NAV/V3/NYA100NOR_S_20241240000_01D_GN.rnx"),
    ("AJAC", "rinex/CRNX/V3/AJAC00FRA_R_20242090000_01D_30S_MO.rnx", "rinex/NAV/V3/GRAS00FRA_R_20242090000_01D_EN.rnx"),
    ("ZIMM", "goGPS_MATLAB/default/RINEX/zimm0010.21o", "rinex/NAV/V2/cbw10010.21n"),
]
CASES = [  # (name, injection without its window, seconds)
    ("plateau 10 dB all", dict(db=10.0), 600),
    ("plateau 10 dB L1", dict(db=10.0, bands=["L1"]), 600),
    ("plateau 6 dB all", dict(db=6.0), 1200),
    ("plateau 6 dB L1", dict(db=6.0, bands=["L1"]), 1200),
    ("plateau 3 dB all", dict(db=3.0), 1800),
    ("pass 20 dB all", dict(db=20.0, profile="pass"), 360),
    ("pass 10 dB L1", dict(db=10.0, profile="pass", bands=["L1"]), 240),
    ("ramp 20 dB all", dict(db=20.0, profile="ramp", steps=5), 1800),
    ("ramp 15 dB L1", dict(db=15.0, profile="ramp", steps=5, bands=["L1"]), 1200),
]
EDGE_S = 4 * 3600.0   # jammers start past the live detector's first hours (learning) and end 1 h before the day's


def seconds(text):
    return datetime.datetime.fromisoformat(text.replace("Z", "+00:00")).timestamp()


def shape(events):
    """The comparable form of events (objects of detect_interference or the live dicts)."""
    get = (lambda e, k: e[k]) if events and isinstance(events[0], dict) else getattr
    return [(get(e, "start"), get(e, "end"), list(get(e, "bands")), get(e, "kind")) for e in events]


WINDOW_HOURS = 3.0


def live_events(stream_bytes):
    """The monitor's pipeline on a stream given an epoch at a time: final events, and for each the
    stream time of the push that opened it."""
    stream, live = t.RtcmStream(), t.LiveDetector(window_hours=WINDOW_HOURS)
    ephemerides, opened, final = 0, {}, []
    for data in stream_bytes:
        stream.feed(data)
        if stream.ephemerides != ephemerides and stream.nav is not None:
            ephemerides = stream.ephemerides
            live.set_navigation(stream.nav)
        epochs = stream.take()
        if epochs is None:
            continue
        for change in live.push(epochs):
            if change["action"] == "open":
                opened.setdefault(change["start"], live.last_epoch)
            elif change["action"] == "close" and change["confirmed"]:  # a withdrawn alarm is no event
                final.append(change)
    stream.finish()
    epochs = stream.take()
    changes = live.push(epochs) if epochs is not None else []
    final += [c for c in changes + live.finish() if c["action"] == "close" and c["confirmed"]]
    return final, opened


def run_case(day, name, injection, dur, rng):
    label, obs, nav, epochs = day
    case = {"day": label, "case": name}
    if injection is not None:
        t0 = seconds(epochs[0])
        starts = [e for e in epochs if t0 + EDGE_S <= seconds(e) <= seconds(epochs[-1]) - 3600 - dur]
        onset = rng.choice(starts)
        start = seconds(onset) - t0
        obs = t._inject_interference(obs, [dict(injection, start=start, end=start + dur)])
        case.update(onset=onset, seconds=dur)
    pieces = [data for _, data in obs._rtcm3_epochs(nav)]
    stream = t.read_rtcm3(b"".join(pieces))
    reference = t.detect_interference(stream.obs, stream.nav).events
    final, opened = live_events(pieces)
    case.update(reference=shape(reference), live=shape(final), match=shape(reference) == shape(final),
                like=[e[2:] for e in shape(reference)] == [e[2:] for e in shape(final)])
    if injection is not None and injection.get("profile", "plateau") == "plateau" and injection["db"] >= 6:
        hits = [e for e in final if e["start"] == onset]
        if hits and onset in opened:
            case["alarm_epochs"] = round((seconds(opened[onset]) - seconds(onset)) / obs.interval) + 1
        else:
            case["alarm_epochs"] = None
    case["stream"] = pieces
    return case


# --- end to end through a caster ---------------------------------------------------------------

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def through_caster(case, speed, tmp):
    """The case's stream replayed through str2str and judged by the monitor: its final events."""
    stream_file = os.path.join(tmp, "stream.rtcm3")
    with open(stream_file, "wb") as f:
        f.write(b"".join(case["stream"]))
    events = os.path.join(tmp, f"{case['day']}-{case['case'].replace(' ', '_')}.jsonl")
    port = free_port()
    procs = []
    try:
        replay = subprocess.Popen([sys.executable, "-m", "tessora_cn0", "replay", stream_file, "--speed", str(speed),
                                   "--tcp", "127.0.0.1:0"], stderr=subprocess.PIPE, text=True)
        procs.append(replay)
        replay_port = int(replay.stderr.readline().rsplit(":", 1)[1])
        procs.append(subprocess.Popen(["str2str", "-in", f"tcpcli://127.0.0.1:{replay_port}",
                                       "-out", f"ntripc://u:p@:{port}/{case['day']}:X"],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        monitor = subprocess.Popen([sys.executable, "-m", "tessora_cn0", "monitor",
                                    f"ntrip://u:p@127.0.0.1:{port}/{case['day']}", "--events", events],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(monitor)
        replay.wait(3600)
        time.sleep(2.0)
        monitor.send_signal(signal.SIGTERM)
        monitor.wait(60)
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()
    lines = [json.loads(x) for x in open(events, encoding="utf-8")]
    closes = [x for x in lines if x["type"] == "event" and x["action"] == "close" and x["confirmed"]]
    connects = sum(1 for x in lines if x["type"] == "stream" and x["state"] == "connected")
    return shape(closes), connects


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("data", nargs="?", default=os.environ.get("TESSORA_DATA_DIR",
                                                             os.path.join(os.path.dirname(__file__), "..", "..", "shared", "data")))
    p.add_argument("--repeats", type=int, default=2, help="random placements of each case on each day")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--caster", type=int, default=0, help="cases also run through str2str and the monitor")
    p.add_argument("--speed", type=float, default=2000.0)
    p.add_argument("--window-hours", type=float, default=3.0, help="the live detector's window (its default: 3)")
    p.add_argument("--json", metavar="OUT")
    args = p.parse_args()
    global WINDOW_HOURS
    WINDOW_HOURS = args.window_hours
    days = []
    for label, obs, nav in DAYS:
        o, n = os.path.join(args.data, obs), os.path.join(args.data, nav)
        if os.path.exists(o) and os.path.exists(n):
            rec = t.read_rinex_obs(o)
            days.append((label, rec, t.read_navigation(n), t.detect_interference(rec).timestamps))
    if not days:
        print(f"eval_live_parity: no day files under {args.data}; skipped")
        return 0
    rng, cases, began = random.Random(args.seed), [], time.perf_counter()
    work = [(d, "clean", None, 0) for d in days]
    work += [(d, name, inj, dur) for _ in range(args.repeats) for d in days for name, inj, dur in CASES]
    for day, name, inj, dur in work:
        case = run_case(day, name, inj, dur, rng)
        cases.append(case)
        status = "same" if case["match"] else "DIFFERENT"
        print(f"  {case['day']} {name:<20} {case.get('onset', ''):<24} {status:<9} reference {len(case['reference'])} "
              f"live {len(case['live'])}" + (f", alarm at epoch {case['alarm_epochs']}" if "alarm_epochs" in case else ""),
              flush=True)
        if not case["match"]:
            print(f"      reference {case['reference']}\n      live      {case['live']}")
    if args.caster and shutil.which("str2str"):
        with tempfile.TemporaryDirectory() as tmp:
            for case in cases[:args.caster]:
                got, connects = through_caster(case, args.speed, tmp)
                case["caster_match"] = got == case["live"]
                print(f"  through the caster: {case['day']} {case['case']}: {'same' if case['caster_match'] else 'DIFFERENT'}"
                      f" ({len(got)} events, {connects} connection(s))", flush=True)
                if not case["caster_match"]:
                    print(f"      monitor {got}")
    summarise(cases, time.perf_counter() - began)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump([{k: v for k, v in c.items() if k != "stream"} for c in cases], f, indent=1)
    return 0


def summarise(cases, took):
    injected = [c for c in cases if "onset" in c]
    clean = [c for c in cases if "onset" not in c]
    alarms = [c["alarm_epochs"] for c in injected if "alarm_epochs" in c]
    print(f"live against file: {sum(c['match'] for c in cases)} of {len(cases)} cases give the same events "
          f"({sum(c['match'] for c in injected)} of {len(injected)} injected, {sum(c['match'] for c in clean)} of "
          f"{len(clean)} clean days); {took:.0f} s")
    print(f"  the same count, bands and kinds (starts and ends aside): {sum(c['like'] for c in cases)} of {len(cases)}")
    for group in sorted({c["case"] for c in injected}):
        of = [c for c in injected if c["case"] == group]
        print(f"  {group:<20} {sum(c['match'] for c in of)} of {len(of)} same, {sum(c['like'] for c in of)} alike, found by both in "
              f"{sum(bool(c['reference']) and bool(c['live']) for c in of)}")
    within = sum(1 for a in alarms if a is not None and a <= 2)
    print(f"  alarm of plateaus >= 6 dB: within 2 epochs of the onset in {within} of {len(alarms)} "
          f"(epochs: {sorted(a for a in alarms if a is not None)}, not raised at the onset: {alarms.count(None)})")
    print(f"  clean days: {sum(len(c['live']) for c in clean)} live events, {sum(len(c['reference']) for c in clean)} "
          f"file events over {len(clean)} days")
    through = [c for c in cases if "caster_match" in c]
    if through:
        print(f"  through str2str and the monitor: {sum(c['caster_match'] for c in through)} of {len(through)} "
              f"cases give the live events")


if __name__ == "__main__":
    sys.exit(main())
