#!/usr/bin/env python3
"""Reads an observation file (the bundled sample by default) and reports what it holds."""
import os
import sys

import tessora_cn0

HERE = os.path.dirname(os.path.abspath(__file__))
path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "sample", "SMPL00DNK_R_20240650700_01H_30S_MO.rnx")

obs = tessora_cn0.read_rinex_obs(path)
print(obs)
print(f"station {obs.marker_name}, receiver {obs.receiver_type}, interval {obs.interval:g} s")
for system, sats in sorted(obs.satellites_by_system().items()):
    print(f"  {system}: {len(sats):2d} satellites  {' '.join(sats)}")
print("signal-strength observables per system:", obs.snr_availability())
stats = obs.snr_stats_by_satellite()
print(f"{'satellite':>9} {'S obs':>6} {'valid':>6} {'mean CN0':>9}")
for sat in sorted(stats):
    s = stats[sat]
    print(f"{sat:>9} {s['obs_count']:6.0f} {s['valid_count']:6.0f} {s['mean_snr']:9.2f}")
