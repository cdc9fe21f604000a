#!/usr/bin/env python3
"""Many analyses, all figures in one run:
  - 4 analyses of the ESBC day file with navigation: one after the other, on 2 Python threads
    calling analyze_cn0, and with analyze_many(workers=2), in interleaved rounds (medians);
  - analyze_many over the observation files of pairs.txt (each with its first, best navigation
    file) at workers=1 and workers=2: files per second;
  - the same files on a Dask LocalCluster of 2 worker processes (1 thread each): files per second
    with results or with summary rows shipped back, and the overhead against analyze_many;
  - the pickled size of the ESBC result against its compact JSON.

Usage: python3 bench/bench_batch.py [--no-dask] [DATA_DIR]
"""
import os
import pickle
import statistics
import sys
import threading
import time

import tessora_cn0 as t

ESBC = "rinex/CRNX/V3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx"
ESBC_NAV = "rinex/NAV/V3/ESBC00DNK_R_20201770000_01D_MN.rnx"
ROUNDS = 9


def best_of(n, fn):
    best = None
    for _ in range(n):
        t0 = time.perf_counter()
        fn()
        dt = time.perf_counter() - t0
        best = dt if best is None else min(best, dt)
    return best


def pairs(data):
    out, seen = [], set()
    for line in open(os.path.join(data, "pairs.txt")):
        parts = line.split()
        if parts and parts[0] not in seen:
            seen.add(parts[0])
            out.append((os.path.join(data, parts[0]), os.path.join(data, parts[1]) if len(parts) > 1 else None))
    return out


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    data = args[0] if args else os.path.join(os.path.dirname(__file__), "..", "..", "shared", "data")
    obs, nav = os.path.join(data, ESBC), os.path.join(data, ESBC_NAV)

    def serial():
        for _ in range(4):
            t.analyze_cn0(obs, nav)

    def two_threads():
        threads = [threading.Thread(target=lambda: [t.analyze_cn0(obs, nav) for _ in range(2)]) for _ in range(2)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()

    def many():
        t.analyze_many([obs] * 4, nav, workers=2)

    # The three ways are timed in interleaved rounds, so that a slow spell of the host falls on all
    # of them alike; the figures are the medians over the rounds, after one untimed round that
    # sets up the per-thread heaps.
    ways = {"serial": serial, "threads": two_threads, "many": many}
    for fn in ways.values():
        fn()
    times = {name: [] for name in ways}
    for _ in range(ROUNDS):
        for name, fn in ways.items():
            t0 = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - t0)
    med = {name: statistics.median(v) for name, v in times.items()}

    def per_round(name):
        r = [s / x for s, x in zip(times["serial"], times[name])]
        return f"{min(r):.2f}-{max(r):.2f}"

    print(f"4 analyses of ESBC with navigation, medians of {ROUNDS} interleaved rounds: serial {med['serial']:.3f} s, "
          f"2 Python threads {med['threads']:.3f} s ({med['serial'] / med['threads']:.2f}x; rounds "
          f"{per_round('threads')}), analyze_many(workers=2) {med['many']:.3f} s "
          f"({med['serial'] / med['many']:.2f}x; rounds {per_round('many')})")

    files = pairs(data)
    o, n = [p[0] for p in files], [p[1] for p in files]
    t.analyze_many(o[:4], n[:4])  # warm the page cache
    one = best_of(2, lambda: t.analyze_many(o, n, workers=1))
    two = best_of(2, lambda: t.analyze_many(o, n, workers=2))
    print(f"analyze_many over {len(o)} files: workers=1 {len(o) / one:.1f} files/s ({one:.2f} s), "
          f"workers=2 {len(o) / two:.1f} files/s ({two:.2f} s)")

    if "--no-dask" not in sys.argv:
        try:
            import distributed
            import tessora_cn0.dask as td
        except ImportError:
            print("distributed is not installed: the Dask figures are left out")
        else:
            with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                          dashboard_address=None) as cluster, distributed.Client(cluster) as client:
                td.analyze_many(client, o[:4], n[:4])  # workers import the module
                full = best_of(2, lambda: td.analyze_many(client, o, n, batch_size=4))
                rows = best_of(2, lambda: td.analyze_many(client, o, n, batch_size=4, rows=True))
            print(f"Dask LocalCluster, 2 workers: {len(o) / full:.1f} files/s with results ({full:.2f} s, "
                  f"{(full / two - 1) * 100:+.0f}% against analyze_many(workers=2)), {len(o) / rows:.1f} files/s "
                  f"with summary rows ({rows:.2f} s, {(rows / two - 1) * 100:+.0f}%)")

    r = t.analyze_cn0(obs, nav)
    js = len(r.to_json().encode())
    pk = len(pickle.dumps(r, protocol=pickle.HIGHEST_PROTOCOL))
    print(f"ESBC result: pickled {pk / 1e6:.1f} MB, compact JSON {js / 1e6:.1f} MB ({pk / js:.2f} of the JSON)")


if __name__ == "__main__":
    main()
