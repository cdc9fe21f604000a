#!/usr/bin/env python3
"""A station store's writer killed with SIGKILL at random points, many times over.

The writer records station-days (the bundled sample hour moved by whole weeks, every other day
judged with a threshold no event reaches) into one store with detect_interference(store=...),
printing each day once its transaction has committed. After every kill the store must open,
pass PRAGMA integrity_check, hold every day the writer said it committed, hold as many events
as its days announce, and have learned its template from clean days only.

    python3 bench/bench_store_kills.py [--kills 50] [--seed 7]
"""
import argparse
import os
import random
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
from store_days import STATION, sample_day  # noqa: E402

import tessora_cn0 as t  # noqa: E402

WRITER = """
import sys, tessora_cn0 as t
store = t.StationStore(sys.argv[1])
files = [line.split() for line in open(sys.argv[2])]
while True:
    for obs, nav, clean in files:
        report = t.detect_interference(obs, nav, store=store, **({"threshold_db": 100.0} if clean == "1" else {}))
        print(report.timestamps[0][:10], flush=True)
"""


def check(store, committed):
    conn = sqlite3.connect(store)
    try:
        integrity = conn.execute("PRAGMA integrity_check").fetchone()[0]
        days, events, announced = conn.execute(
            "SELECT (SELECT count(*) FROM days), (SELECT count(*) FROM events), "
            "(SELECT coalesce(sum(events), 0) FROM days)").fetchone()
    finally:
        conn.close()
    with t.StationStore(store) as s:
        table = s.days().to_numpy()
        kept = set(table["day"].tolist())
        verdicts = dict(zip(table["day"].tolist(), table["verdict"].tolist()))
        learned = s.setups(STATION)[0]["template_days"] or []
    problems = []
    if integrity != "ok":
        problems.append(f"integrity_check: {integrity}")
    if not committed <= kept:
        problems.append(f"committed days lost: {sorted(committed - kept)}")
    if events != announced or len(kept) != days:
        problems.append(f"{events} events for {announced} announced, {days} day rows for {len(kept)} days")
    if any(verdicts[d] != "clean" for d in learned):
        problems.append("a day with events in the template")
    return problems


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--kills", type=int, default=50)
    p.add_argument("--seed", type=int, default=7)
    args = p.parse_args()
    rng, committed, failures = random.Random(args.seed), set(), 0
    began = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="bench_store_kills_") as tmp:
        listing = os.path.join(tmp, "files.txt")
        with open(listing, "w") as f:
            for w in range(12):
                obs, nav = sample_day(tmp, w)
                f.write(f"{obs} {nav} {w % 2}\n")
        store = os.path.join(tmp, "s.db")
        for k in range(args.kills):
            proc = subprocess.Popen([sys.executable, "-c", WRITER, store, listing], stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, text=True)
            first = proc.stdout.readline()  # one day committed, then the kill at a random moment
            if not first:
                raise SystemExit(f"the writer failed: {proc.stderr.read()}")
            time.sleep(rng.uniform(0.0, 0.8))
            os.kill(proc.pid, signal.SIGKILL)
            out, _ = proc.communicate()
            committed.update(line for line in (first + out).split() if line)
            problems = check(store, committed)
            failures += bool(problems)
            for line in problems:
                print(f"  kill {k + 1}: {line}")
        print(f"store kills: {args.kills} writers killed with SIGKILL at random points, {len(committed)} distinct days "
              f"committed; {args.kills - failures} of {args.kills} checks passed (integrity_check ok, every committed "
              f"day kept, events as announced, template from clean days only); {time.perf_counter() - began:.0f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
