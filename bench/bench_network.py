#!/usr/bin/env python3
"""The network view of interference events (tessora_cn0.network_events) on real recordings.

1. Clean network: every clean station-day of the shared data folder (the list of
   bench/eval_interference.py), detector on threads; no network event is expected.
2. A regional jammer: one real day file (ESBC, with its navigation file) read once; five
   "stations" are copies of it with the same jammer injected, the onsets a few epochs apart and the
   degradation falling with the distance (12, 10, 8, 6, 4 dB). The join must give exactly one
   network event holding exactly those five stations, whatever the order of the inputs (several
   shuffles), and two jammers an hour apart must give two.
3. The join's own speed on a thousand station recordings.

Usage: python3 bench/bench_network.py [DATA_DIR] [--shuffles N] [--workers N] [--html FILE]
--html writes the network page of the regional jammer (its synthetic stations placed around ESBC).
"""
import argparse
import dataclasses
import math
import pathlib
import random
import sys
import time
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import eval_interference as ev  # noqa: E402  (the clean days and the day files, shared)

import tessora_cn0 as t  # noqa: E402
from tessora_cn0 import network  # noqa: E402

DAY = "ESBC"
JAMMER_START_S = 10 * 3600.0   # seconds after the first epoch
JAMMER_DURATION_S = 1200.0
SECOND_JAMMER_S = 3600.0       # the second jammer starts this long after the first
# (name, degradation in dB, onset delay in epochs, distance from the jammer in km, bearing in degrees)
STATIONS = [("JAM1", 12.0, 0, 4.0, 40.0), ("JAM2", 10.0, 1, 9.0, 160.0), ("JAM3", 8.0, 2, 15.0, 280.0),
            ("JAM4", 6.0, 3, 24.0, 90.0), ("JAM5", 4.0, 4, 35.0, 215.0)]
JAMMER_OFFSET_KM = (6.0, -4.0)  # the jammer's place, north and east of ESBC


def placed(rec, lat, lon):
    """rec at another position (its events too): the synthetic stations share ESBC's header."""
    events = tuple(dataclasses.replace(e, latitude=lat, longitude=lon) for e in rec.events)
    return dataclasses.replace(rec, latitude=lat, longitude=lon, events=events)


def offset(lat, lon, north_km, east_km):
    return lat + north_km / 111.2, lon + east_km / (111.2 * math.cos(math.radians(lat)))


def check(label, ok, detail=""):
    print(f"  {'PASS' if ok else 'FAIL'}  {label}{'  (' + detail + ')' if detail else ''}")
    return ok


def describe(events):
    for i, n in enumerate(events, 1):
        print(f"    #{i} {n.kind:<12} {n.start} .. {n.end}  {len(n.stations)} stations, onset spread "
              f"{n.onset_spread:g} s, bands {', '.join(n.bands)}")
        for s in n.stations:
            print(f"       {s.station:<10} onset {s.onset}  end {s.end}  "
                  f"peak {s.peak_degradation_db:5.1f} dB  {s.kind}")


def clean_network(data, workers):
    print("1. Clean network: the clean station-days of the data folder")
    jobs = [(obs, nav) for obs, nav in ev.CLEAN_DAYS if (data / obs).exists()]
    if not jobs:
        print("  (no data files)")
        return True
    t0 = time.perf_counter()
    with ThreadPoolExecutor(workers) as pool:
        reports = list(pool.map(
            lambda j: t.detect_interference(str(data / j[0]), str(data / j[1]) if j[1] else None), jobs))
    elapsed = time.perf_counter() - t0
    recs = [network.recording(r) for r in reports]
    for (obs, _), r in zip(jobs, recs):
        print(f"    {r.station:<22} {len(r.events)} events  {obs}")
    events = t.network_events(recs)
    print(f"  {len(recs)} recordings of {len({r.station for r in recs})} stations, detector {elapsed:.1f} s "
          f"on {workers} threads; {len(events)} network events")
    describe(events)
    # A network event of one station is that station's own event: the join adds nothing to it, and
    # whether a clean day has any is the detector's figure (bench/eval_interference.py).
    shared = [n for n in events if len(n.stations) > 1]
    local = len(events) - len(shared)
    if local:
        print(f"  NOTE  {local} single-station events: the detector's own on a clean day, no join")
    return check("no network event joining stations on the clean network", not shared,
                 f"{len(shared)} joining several, {local} of one station")


def regional(data, workers, shuffles, html):
    print(f"2. Regional jammer injected into {DAY} copies")
    label, obs_rel, nav_rel = next(d for d in ev.INJECT_DAYS if d[0] == DAY)
    obs = t.read_rinex_obs(str(data / obs_rel))
    nav = t.read_navigation(str(data / nav_rel))
    clean = t.detect_interference(obs, nav)
    epochs = [ev.epoch_seconds(s) for s in clean.timestamps]
    interval = ev.med([b - a for a, b in zip(epochs, epochs[1:]) if b > a]) if len(epochs) > 1 else 30.0
    print(f"  {DAY}: {len(clean.events)} events of its own, interval {interval:g} s, "
          f"onsets {interval:g} s apart, {', '.join(f'{s[1]:g}' for s in STATIONS)} dB")

    def jammer(start, db, delay):
        s = start + delay * interval
        return {"kind": "jammer", "profile": "plateau", "start": s, "end": s + JAMMER_DURATION_S, "db": db}

    def detect_all(two):
        def one(st):
            name, db, delay = st[:3]
            inj = [jammer(JAMMER_START_S, db, delay)]
            if two:
                inj.append(jammer(JAMMER_START_S + SECOND_JAMMER_S, db, delay))
            return name, t.detect_interference(t._inject_interference(obs, inj, seed=7), nav)
        with ThreadPoolExecutor(workers) as pool:
            return list(pool.map(one, STATIONS))

    t0 = time.perf_counter()
    pairs = detect_all(False)
    print(f"  5 injected copies detected in {time.perf_counter() - t0:.1f} s")
    # Positions around the jammer, so that the map shows a region; ESBC itself takes part as is.
    jam_lat, jam_lon = offset(clean.latitude, clean.longitude, *JAMMER_OFFSET_KM)
    recs = [network.recording(clean)]
    for (name, report), (_, _, _, km, bearing) in zip(pairs, STATIONS):
        lat, lon = offset(jam_lat, jam_lon, km * math.cos(math.radians(bearing)), km * math.sin(math.radians(bearing)))
        recs.append(placed(network.recording(report, name), lat, lon))
    for r in recs:
        print(f"    {r.station:<10} events: " + ("; ".join(f"{e.kind} {e.onset[11:19]}-{e.end[11:19]} "
                                                          f"{e.peak_degradation_db:.1f} dB" for e in r.events)
                                                 or "none"))
    events = t.network_events(recs)
    describe(events)
    names = [s[0] for s in STATIONS]
    ok = check("one network event", len(events) == 1, f"{len(events)} found")
    ok &= check("it lists exactly the five stations", bool(events) and sorted(events[0].onset_order) == names,
                ", ".join(events[0].onset_order) if events else "")
    if events:
        ok &= check("onset order follows the injected delays", list(events[0].onset_order) == names)
    rng = random.Random(1)
    same = 0
    for _ in range(shuffles):
        mixed = recs + [(r.station, r) for r in recs]  # every station twice: as a record and as a pair
        rng.shuffle(mixed)
        same += t.network_events(mixed) == events
    ok &= check(f"the same result for {shuffles} shuffles (each station given twice, as a record and a pair)",
                same == shuffles, f"{same} of {shuffles}")

    t0 = time.perf_counter()
    two = detect_all(True)
    print(f"  two jammers {SECOND_JAMMER_S / 60:g} min apart: 5 copies detected in {time.perf_counter() - t0:.1f} s")
    events2 = t.network_events(two)
    describe(events2)
    ok &= check("two network events of five stations each",
                len(events2) == 2 and all(sorted(n.onset_order) == names for n in events2),
                ", ".join(str(len(n.stations)) for n in events2))
    if html:
        page = network.render_html(recs, events, title=f"Interference across the network: a regional "
                                                       f"jammer injected into {DAY} copies")
        pathlib.Path(html).write_text(page, encoding="utf-8")
        print(f"  page written: {html} ({len(page) / 1e3:.0f} kB)")
    return ok, recs


def join_speed(recs):
    print("3. The join's speed")
    many = [network.recording(r, f"{r.station}-{k:03d}") for k in range(200) for r in recs]
    n_events = sum(len(r.events) for r in many)
    t0 = time.perf_counter()
    events = t.network_events(many)
    elapsed = time.perf_counter() - t0
    print(f"  {len(many)} recordings, {n_events} station events -> {len(events)} network events "
          f"in {elapsed * 1e3:.1f} ms")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("data", nargs="?", default=None)
    ap.add_argument("--shuffles", type=int, default=10)
    ap.add_argument("--workers", type=int, default=4)
    ap.add_argument("--html", default=None)
    args = ap.parse_args()
    data = pathlib.Path(args.data) if args.data else ev.data_dir_default()
    ok = clean_network(data, args.workers)
    ok2, recs = regional(data, args.workers, args.shuffles, args.html)
    join_speed(recs)
    print("ALL PASS" if ok and ok2 else "SOME FAILED")
    return 0 if ok and ok2 else 1


if __name__ == "__main__":
    sys.exit(main())
