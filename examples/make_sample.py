#!/usr/bin/env python3
"""Writes the bundled sample: one hour of a RINEX 3.04 multi-GNSS observation file at 30 s.

The station, satellites and signals are synthetic but shaped like a geodetic receiver's output:
pseudoranges, carrier phases and Dopplers per signal, and CN0 values that follow each satellite's
rise and set (low near the horizon, high near the zenith) with receiver noise. Deterministic.
Usage: python3 examples/make_sample.py [OUTPUT]
"""
import math
import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "sample", "SMPL00DNK_R_20240650700_01H_30S_MO.rnx")

C = 299792458.0
TYPES = {
    "G": ["C1C", "L1C", "D1C", "S1C", "C2W", "L2W", "D2W", "S2W"],
    "R": ["C1C", "L1C", "D1C", "S1C", "C2P", "L2P", "D2P", "S2P"],
    "E": ["C1C", "L1C", "D1C", "S1C", "C5Q", "L5Q", "D5Q", "S5Q"],
}
FREQ = {"G": (1575.42e6, 1227.60e6), "R": (1602.0e6, 1246.0e6), "E": (1575.42e6, 1176.45e6)}
# Satellite: (peak elevation in degrees, time of peak in minutes from the start, pass half-width).
SATS = {
    "G02": (62, 20, 140), "G05": (35, 75, 120), "G07": (81, 40, 160), "G09": (18, -10, 90),
    "G13": (47, 100, 130), "G15": (55, 5, 150), "G20": (28, 50, 100), "G30": (70, 65, 150),
    "R03": (44, 30, 120), "R09": (66, 55, 140), "R17": (25, 90, 110), "R24": (58, 15, 130),
    "E04": (73, 45, 170), "E11": (39, 0, 130), "E19": (52, 80, 150), "E36": (31, 35, 110),
}
GLONASS_CHANNELS = {"R03": 5, "R09": -2, "R17": 4, "R24": 2}


def hl(content, label):
    return content.ljust(60) + label + "\n"


def field(value, lli=" ", ssi=" ", decimals=3):
    if value is None:
        return " " * 16
    return f"{value:14.{decimals}f}" + lli + ssi


def elevation(sat, minute):
    peak, t0, half = SATS[sat]
    x = (minute - t0) / half
    return peak * math.cos(x * math.pi / 2) if abs(x) < 1 else -1.0


def main():
    rng = random.Random(20240305)
    lines = [
        hl("     3.04           OBSERVATION DATA    M (MIXED)", "RINEX VERSION / TYPE"),
        hl("make_sample.py      tessora_cn0         20240305 080000 UTC", "PGM / RUN BY / DATE"),
        hl("SMPL00DNK", "MARKER NAME"),
        hl("10118M099", "MARKER NUMBER"),
        hl("GEODETIC", "MARKER TYPE"),
        hl("3047937             SEPT POLARX5        5.4.0", "REC # / TYPE / VERS"),
        hl("CR5200327016        LEIAR25.R4      LEIT", "ANT # / TYPE"),
        hl("  3582105.2910   532589.7313  5232754.8054", "APPROX POSITION XYZ"),
        hl("        0.2160        0.0000        0.0000", "ANTENNA: DELTA H/E/N"),
    ]
    for system, codes in TYPES.items():
        lines.append(hl(f"{system}  {len(codes):3d} " + " ".join(codes), "SYS / # / OBS TYPES"))
    lines.append(hl("DBHZ", "SIGNAL STRENGTH UNIT"))
    lines.append(hl("    30.000", "INTERVAL"))
    lines.append(hl("  2024     3     5     7     0    0.0000000     GPS", "TIME OF FIRST OBS"))
    slots = "".join(f" {s} {GLONASS_CHANNELS[s]:2d}" for s in sorted(GLONASS_CHANNELS))
    lines.append(hl(f"{len(GLONASS_CHANNELS):3d}" + slots, "GLONASS SLOT / FRQ #"))
    lines.append(hl("", "END OF HEADER"))

    ranges = {s: 20_200_000.0 + rng.uniform(0, 5_000_000) for s in SATS}
    for k in range(120):
        minute = k * 0.5
        visible = [s for s in SATS if elevation(s, minute) > 3.0]
        second = 0.0 if k % 2 == 0 else 30.0
        lines.append(f"> 2024 03 05 {7 + int(minute) // 60:02d} {int(minute) % 60:02d}{second:11.7f}  0{len(visible):3d}\n")
        for s in visible:
            el = elevation(s, minute)
            system = s[0]
            f1, f2 = FREQ[system]
            if system == "R":
                f1 += GLONASS_CHANNELS[s] * 0.5625e6
                f2 += GLONASS_CHANNELS[s] * 0.4375e6
            rate = -400.0 * math.sin(math.radians(90 - el)) * (1 if (minute - SATS[s][1]) > 0 else -1)
            ranges[s] += rate * 30.0
            rho = ranges[s] + 26_000_000.0 * (1 - math.sin(math.radians(el))) * 0.2
            cn0_1 = 32.0 + 18.0 * math.sin(math.radians(el)) + rng.gauss(0, 0.8)
            cn0_2 = cn0_1 - 4.0 - 2.0 * rng.random()
            out = s
            for freq, cn0 in ((f1, cn0_1), (f2, cn0_2)):
                lam = C / freq
                ssi = str(min(9, max(1, int(cn0 / 6))))
                out += field(rho + rng.gauss(0, 0.3))
                out += field(rho / lam + rng.gauss(0, 0.01), " ", ssi)
                out += field(-rate / lam, decimals=3)
                out += field(cn0)
            lines.append(out.rstrip() + "\n")
    os.makedirs(os.path.dirname(OUT), exist_ok=True)
    with open(OUT, "w", newline="\n") as f:
        f.writelines(lines)
    print(f"wrote {OUT}")


if __name__ == "__main__":
    main()
