#!/usr/bin/env python3
"""What a station store costs: a day judged against its station's stored template, against the
same day judged with the template it learns itself.

For each station with two days in the data folder, the store learns the first day, and holds it
under 29 earlier dates as well (as a store of a month of clean days does: every judged clean day
combines the set-up's template from its latest 30 days again); the second day is then judged three
ways, each the best of --repeats runs:
  self      detect_interference(obs, nav) on the RinexObsData and NavigationData, as without a store;
  stored    the same objects with store=StationStore (judged against the stored template, the day
            recorded, and, when clean, its own template learned in the same run);
  detector  the extension's run alone with the stored template (what the store's bookkeeping adds
            to: the store's own cost is stored - detector).
The files are read once, outside the timings; a test day is recorded again on every run, replacing
its rows. Goals: judging at most 1.1 times the self-learned run, the store at most 5 ms a day.

    python3 bench/bench_store_speed.py [DATA_DIR] [--repeats 5]
"""
import argparse
import datetime
import os
import sqlite3
import sys
import tempfile
import time

import tessora_cn0 as t
from tessora_cn0 import tessora_cn0 as ext

PAIRS = [  # (learned from, judged), each (observation file, navigation file)
    (("rinex/CRNX/V3/NYA100NOR_S_20241240000_01D_30S_MO.rnx", "rinex/NAV/V3/NYA100NOR_S_20241240000_01D_GN.rnx"),
     ("compressed/rinex/CRNX/V3/NYA100NOR_S_20241270000_01D_30S_MO.crx.gz",
      "rinex/NAV/V3/NYA100NOR_S_20241240000_01D_GN.rnx")),
    (("rinex/CRNX/V3/AJAC00FRA_R_20242090000_01D_30S_MO.rnx", "rinex/NAV/V3/GRAS00FRA_R_20242090000_01D_EN.rnx"),
     ("compressed/rinex/CRNX/V3/AJAC00FRA_R_20242100000_01D_30S_MO.crx.gz",
      "stations/nav-solutions/GRAS00FRA_R_20242100000_01D_EN.rnx.gz")),
    # Days without a second day here: learned from and judged on the same day.
    (("goGPS_MATLAB/default/RINEX/zimm0010.21o", "rinex/NAV/V2/cbw10010.21n"),
     ("goGPS_MATLAB/default/RINEX/zimm0010.21o", "rinex/NAV/V2/cbw10010.21n")),
    (("rinex/CRNX/V3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx", "rinex/NAV/V3/ESBC00DNK_R_20201770000_01D_MN.rnx"),
     ("rinex/CRNX/V3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx", "rinex/NAV/V3/ESBC00DNK_R_20201770000_01D_MN.rnx")),
]


def month(path):
    """Copies the store's one judged day, with its template, to the 29 days before it."""
    conn = sqlite3.connect(path)
    with conn:
        day_id, day = conn.execute("SELECT id, day FROM days").fetchone()
        first = datetime.date.fromisoformat(day)
        for k in range(1, 30):
            other = (first - datetime.timedelta(days=k)).isoformat()
            new = conn.execute("INSERT INTO days (station_id, day, setup_id, path, verdict, mode, reason, used_store, "
                               "events, start_time, end_time, judged_at) SELECT station_id, ?, setup_id, path, verdict, "
                               "mode, reason, used_store, events, start_time, end_time, judged_at FROM days WHERE id = ?",
                               (other, day_id)).lastrowid
            conn.execute("INSERT INTO day_templates (day_id, setup_id, day, json, state) SELECT ?, setup_id, ?, json, "
                         "state FROM day_templates WHERE day_id = ?", (new, other, day_id))
    conn.close()


def best(repeats, f):
    times = []
    for _ in range(repeats):
        began = time.perf_counter()
        f()
        times.append(time.perf_counter() - began)
    return min(times)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("data", nargs="?", default=os.environ.get("TESSORA_DATA_DIR",
                                                             os.path.join(os.path.dirname(__file__), "..", "..", "shared", "data")))
    p.add_argument("--repeats", type=int, default=5)
    args = p.parse_args()
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for n, (learn, judge) in enumerate(PAIRS):
            paths = [os.path.join(args.data, f) for f in (*learn, *judge)]
            if not all(os.path.exists(x) for x in paths):
                continue
            learn_obs, learn_nav = t.read_rinex_obs(paths[0]), t.read_navigation(paths[1])
            obs, nav = t.read_rinex_obs(paths[2]), t.read_navigation(paths[3])
            store = t.StationStore(os.path.join(tmp, f"s{n}.sqlite"))
            t.detect_interference(learn_obs, learn_nav, store=store)
            month(store.path)
            stored = store.template(str(store.days().to_numpy()["station"][0]))
            self_s = best(args.repeats, lambda: t.detect_interference(obs, nav))
            store_s = best(args.repeats, lambda: t.detect_interference(obs, nav, store=store))
            detector_s = best(args.repeats, lambda: ext._detect_interference_learning(obs, nav, template=stored))
            report = t.detect_interference(obs, nav, store=store)
            rows.append((os.path.basename(paths[2]), report.mode, len(report.events), self_s, store_s, detector_s))
            store.close()
    if not rows:
        print(f"bench_store_speed: no station pairs under {args.data}; skipped")
        return 0
    print("judging: detector / self; all: stored / self; store: stored - detector")
    print(f"{'judged day':<46} {'mode':<9} {'ev':>2} {'self s':>8} {'stored s':>9} {'judging':>8} {'all':>6} "
          f"{'store ms':>9}")
    for name, mode, events, self_s, store_s, detector_s in rows:
        print(f"{name:<46} {mode:<9} {events:>2} {self_s:8.4f} {store_s:9.4f} {detector_s / self_s:8.2f} "
              f"{store_s / self_s:6.2f} {1000 * (store_s - detector_s):9.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
