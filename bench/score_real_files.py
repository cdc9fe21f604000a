#!/usr/bin/env python3
"""Analyses every observation file of the shared data folder (with its best same-day navigation
file when there is one) and prints what each scored: grade, score, anomalies, threat flags, and the
visibility comparison. Usage: python3 bench/score_real_files.py [DATA_DIR] [--mask DEG]"""
import os
import sys
import time

import tessora_cn0 as t

args = [a for a in sys.argv[1:]]
mask = 5.0
if "--mask" in args:
    i = args.index("--mask")
    mask = float(args[i + 1])
    del args[i:i + 2]
data = args[0] if args else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "data")

pairs = {}
with open(os.path.join(data, "pairs.txt")) as f:
    for line in f:
        parts = line.split()
        if parts and parts[0] not in pairs:
            pairs[parts[0]] = parts[1] if len(parts) > 1 else None

print(f"{'file':<58} {'grade':>5} {'score':>6} {'anom':>5} {'J':>1} {'S':>1} {'I':>1} {'conf%':>6} {'pred':>5} {'obs':>5} {'s':>6}")
for obs, nav in pairs.items():
    t0 = time.perf_counter()
    try:
        r = t.analyze_cn0(os.path.join(data, obs), os.path.join(data, nav) if nav else None, mask)
    except Exception as e:
        print(f"{obs:<58} error: {e}")
        continue
    dt = time.perf_counter() - t0
    flags = "".join("X" if f else "." for f in (r.jamming_detected, r.spoofing_detected, r.interference_detected))
    vis = (f"{r.visibility_confirmation_rate:6.1f} {r.visibility_mean_predicted:5.1f} {r.visibility_mean_observed:5.1f}"
           if r.has_visibility_prediction and r.visibility_prediction_source else f"{'-':>6} {'-':>5} {'-':>5}")
    print(f"{obs[-58:]:<58} {r.quality_grade:>5} {r.score:6.1f} {r.anomaly_count:5d} {flags[0]:>1} {flags[1]:>1} "
          f"{flags[2]:>1} {vis} {dt:6.2f}")
