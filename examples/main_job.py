#!/usr/bin/env python3
"""Grades an observation file: by default the bundled one-hour sample with its navigation file.

Usage: python3 examples/main_job.py [OBS_FILE [NAV_FILE]]
"""
import os
import sys

import tessora_cn0

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLE = os.path.join(HERE, "sample")
obs_path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(SAMPLE, "SMPL00DNK_R_20240650700_01H_30S_MO.rnx")
nav_path = sys.argv[2] if len(sys.argv) > 2 else (
    None if len(sys.argv) > 1 else os.path.join(SAMPLE, "SMPL00DNK_R_20240650700_01H_MN.rnx"))

result = tessora_cn0.analyze_cn0(obs_path, nav_path)
print(result)
print(f"station {result.station_name} ({result.receiver_type}), {result.start_time} .. {result.end_time}")
print(f"grade {result.quality_grade}, score {result.score:.1f}: {result.summary}")
q = result.quality_score
print(f"quality score {q!r}: cn0 {q.cn0_quality:.1f}, availability {q.availability:.1f}, "
      f"continuity {q.continuity:.1f}, stability {q.stability:.1f}, diversity {q.diversity:.1f}")
print(f"jamming {result.jamming_detected}, spoofing {result.spoofing_detected}, "
      f"interference {result.interference_detected}")
if result.has_visibility_prediction:
    print(f"visibility ({result.visibility_prediction_source}): predicted {result.visibility_mean_predicted:.1f}, "
          f"observed {result.visibility_mean_observed:.1f}, confirmation {result.visibility_confirmation_rate:.1f} %")
print(f"{result.anomaly_count} CN0-drop anomalies")
for a in result.get_anomalies():
    print(f"  {a['start_time']} {a['severity']:8} {a['description']} [{a['affected_satellites']}]")
print(f"{'constellation':<13} {'sats':>4} {'expected':>8} {'obs':>6} {'mean CN0':>8} {'std':>5} {'gaps':>5} {'slips':>5}")
for name in result.constellations:
    c = result.get_constellation_summary(name)
    if c:
        print(f"{name:<13} {c['satellite_count']:>4} {c['satellites_expected']:>8} {c['observation_count']:>6} "
              f"{c['mean_cn0']:>8} {c['std_cn0']:>5} {c['data_gaps']:>5} {c['cycle_slips']:>5}")
