#!/usr/bin/env python3
"""Writes the bundled sample: one hour of a multi-GNSS station at 30 s, as a RINEX 3.04 observation
file and the matching RINEX 3.04 broadcast navigation file.

The constellations are synthetic but shaped like the real ones: GPS and Galileo satellites on
Keplerian orbits written as broadcast ephemerides, GLONASS satellites written as state vectors.
The observation file holds, for every satellite above the horizon, pseudoranges, carrier phases,
Dopplers and CN0 values that follow the satellite's elevation, with receiver noise. From 07:35:00
to 07:36:00 a jammer raises the noise floor of every band: every satellite's CN0 falls by 14 dB
together, an interference event for the analysis and the detector to find. Deterministic (fixed
seed).
Usage: python3 examples/make_sample.py [OUTPUT_DIR]
"""
import datetime
import math
import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
OUT_DIR = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "sample")
OBS_NAME = "SMPL00DNK_R_20240650700_01H_30S_MO.rnx"
NAV_NAME = "SMPL00DNK_R_20240650700_01H_MN.rnx"

C = 299792458.0
GM = 3.986005e14
OMEGA_E = 7.2921151467e-5
START = datetime.datetime(2024, 3, 5, 7, 0, 0)
EPOCHS = 120
RECEIVER = (3582105.2910, 532589.7313, 5232754.8054)
EVENT = range(70, 73)  # epochs 07:35:00 .. 07:36:00
EVENT_DB = 14.0  # the jammer's CN0 degradation, the same for every signal

TYPES = {
    "G": ["C1C", "L1C", "D1C", "S1C", "C2W", "L2W", "D2W", "S2W"],
    "R": ["C1C", "L1C", "D1C", "S1C", "C2P", "L2P", "D2P", "S2P"],
    "E": ["C1C", "L1C", "D1C", "S1C", "C5Q", "L5Q", "D5Q", "S5Q"],
}
FREQ = {"G": (1575.42e6, 1227.60e6), "R": (1602.0e6, 1246.0e6), "E": (1575.42e6, 1176.45e6)}
GLONASS_CHANNELS = {"R01": 1, "R02": -4, "R03": 5, "R04": 6, "R05": 1, "R06": -4, "R07": 5, "R08": 6}


def gps_seconds(t):
    """Week and seconds of week of a (GPS) time."""
    d = t - datetime.datetime(1980, 1, 6)
    week = d.days // 7
    return week, (d.days - 7 * week) * 86400 + d.seconds + d.microseconds * 1e-6


# ------------------------------------------------------------------ orbits
def kepler_elements():
    """Broadcast elements of the GPS (6 planes x 4) and Galileo (3 planes x 4) satellites."""
    sats = {}
    for plane in range(6):
        for slot in range(4):
            prn = plane * 4 + slot + 1
            sats[f"G{prn:02d}"] = dict(sqrt_a=5153.65 + 0.3 * slot, e=0.004 + 0.002 * slot, i0=math.radians(55.0 + plane * 0.3),
                                       omega0=math.radians(plane * 60.0 - 25.0), omega=math.radians(20.0 + 10 * plane),
                                       m0=math.radians(slot * 90.0 + plane * 17.0 - 180.0), delta_n=4.6e-9,
                                       omega_dot=-8.1e-9, idot=1.2e-10)
    for plane in range(3):
        for slot in range(4):
            prn = plane * 4 + slot + 1
            sats[f"E{prn:02d}"] = dict(sqrt_a=5440.61, e=0.0003, i0=math.radians(56.0), omega0=math.radians(plane * 120.0 + 10.0),
                                       omega=math.radians(5.0), m0=math.radians(slot * 90.0 + plane * 30.0 - 180.0),
                                       delta_n=3.0e-9, omega_dot=-5.6e-9, idot=-2.0e-11)
    return sats


def kepler_position(el, toe, t_sow):
    """ECEF position of a broadcast orbit (the interface-control-document formulas)."""
    a = el["sqrt_a"] ** 2
    tk = t_sow - toe
    n = math.sqrt(GM / a ** 3) + el["delta_n"]
    m = el["m0"] + n * tk
    e = el["e"]
    ecc = m
    for _ in range(10):
        ecc = ecc - (ecc - e * math.sin(ecc) - m) / (1 - e * math.cos(ecc))
    nu = math.atan2(math.sqrt(1 - e * e) * math.sin(ecc), math.cos(ecc) - e)
    u = nu + el["omega"]
    r = a * (1 - e * math.cos(ecc))
    i = el["i0"] + el["idot"] * tk
    om = el["omega0"] + (el["omega_dot"] - OMEGA_E) * tk - OMEGA_E * toe
    xp, yp = r * math.cos(u), r * math.sin(u)
    return (xp * math.cos(om) - yp * math.cos(i) * math.sin(om), xp * math.sin(om) + yp * math.cos(i) * math.cos(om),
            yp * math.sin(i))


def glonass_orbits():
    """Circular orbits of eight GLONASS satellites (one plane pair), as inertial elements."""
    out = {}
    for k in range(8):
        out[f"R{k + 1:02d}"] = dict(a=25_510_000.0, i=math.radians(64.8), raan=math.radians(80.0 + 120.0 * (k // 4)),
                                    u0=math.radians(k * 90.0 + 45.0 * (k // 4)))
    return out


def glonass_state(orb, seconds):
    """ECEF position and velocity of a circular orbit `seconds` after the start of the day."""
    n = math.sqrt(3.9860044e14 / orb["a"] ** 3)
    u = orb["u0"] + n * seconds
    r, v = orb["a"], orb["a"] * n
    ci, si, cr, sr = math.cos(orb["i"]), math.sin(orb["i"]), math.cos(orb["raan"]), math.sin(orb["raan"])
    xi = (r * (cr * math.cos(u) - sr * math.sin(u) * ci), r * (sr * math.cos(u) + cr * math.sin(u) * ci), r * math.sin(u) * si)
    vi = (v * (-cr * math.sin(u) - sr * math.cos(u) * ci), v * (-sr * math.sin(u) + cr * math.cos(u) * ci), v * math.cos(u) * si)
    th = 7.292115e-5 * seconds
    c, s = math.cos(th), math.sin(th)
    x = (c * xi[0] + s * xi[1], -s * xi[0] + c * xi[1], xi[2])
    vx = (c * vi[0] + s * vi[1], -s * vi[0] + c * vi[1], vi[2])
    w = 7.292115e-5
    return x, (vx[0] + w * x[1], vx[1] - w * x[0], vx[2])


# ------------------------------------------------------------------ geometry
def geodetic(x, y, z):
    a, e2 = 6378137.0, 0.0066943799901413165
    lon = math.atan2(y, x)
    p = math.hypot(x, y)
    lat = math.atan2(z, p * (1 - e2))
    for _ in range(10):
        n = a / math.sqrt(1 - e2 * math.sin(lat) ** 2)
        lat = math.atan2(z + n * e2 * math.sin(lat), p)
    return lat, lon


def elevation(rx, sat):
    lat, lon = geodetic(*rx)
    d = [s - r for s, r in zip(sat, rx)]
    east = -math.sin(lon) * d[0] + math.cos(lon) * d[1]
    north = -math.sin(lat) * math.cos(lon) * d[0] - math.sin(lat) * math.sin(lon) * d[1] + math.cos(lat) * d[2]
    up = math.cos(lat) * math.cos(lon) * d[0] + math.cos(lat) * math.sin(lon) * d[1] + math.sin(lat) * d[2]
    return math.degrees(math.atan2(up, math.hypot(east, north))), math.dist(rx, sat)


# ------------------------------------------------------------------ writers
def hl(content, label):
    return content.ljust(60) + label + "\n"


def d19(v):
    return f"{v: .12E}"


def write_nav(path, kepler, glonass, toe_time):
    week, toe = gps_seconds(toe_time)
    lines = [hl("     3.04           N: GNSS NAV DATA    M: MIXED", "RINEX VERSION / TYPE"),
             hl("make_sample.py      tessora_cn0         20240305 080000 UTC", "PGM / RUN BY / DATE"),
             hl("", "END OF HEADER")]
    stamp = toe_time.strftime("%Y %m %d %H %M %S")
    for sat, el in sorted(kepler.items()):
        lines.append(f"{sat} {stamp}" + d19(1.2e-5) + d19(-3.4e-12) + d19(0.0) + "\n")
        rows = [(42.0, 35.5, el["delta_n"], el["m0"]), (1.8e-6, el["e"], 9.2e-6, el["sqrt_a"]),
                (toe, 3.6e-8, el["omega0"], -1.1e-7), (el["i0"], 210.4, el["omega"], el["omega_dot"]),
                (el["idot"], 1.0, float(week), 0.0), (2.0, 0.0, -1.1e-8, 42.0), (toe - 18.0, 4.0, 0.0, 0.0)]
        for row in rows:
            lines.append("    " + "".join(d19(v) for v in row) + "\n")
    for sat in sorted(glonass):
        for minute in (15, 45):
            t = toe_time.replace(hour=7, minute=minute)
            secs = (t - t.replace(hour=0, minute=0)).total_seconds()
            (x, y, z), (vx, vy, vz) = glonass_state(glonass[sat], secs)
            lines.append(f"{sat} {t.strftime('%Y %m %d %H %M %S')}" + d19(-2.1e-5) + d19(1.8e-12) + d19(secs) + "\n")
            for p, v, extra in ((x, vx, 0.0), (y, vy, float(GLONASS_CHANNELS[sat])), (z, vz, 0.0)):
                lines.append("    " + d19(p / 1000) + d19(v / 1000) + d19(0.0) + d19(extra) + "\n")
    with open(path, "w", newline="\n") as f:
        f.writelines(lines)


def field(value, lli=" ", ssi=" "):
    return " " * 16 if value is None else f"{value:14.3f}" + lli + ssi


def write_obs(path, kepler, glonass, toe_time, rng):
    _, toe = gps_seconds(toe_time)
    lines = [
        hl("     3.04           OBSERVATION DATA    M (MIXED)", "RINEX VERSION / TYPE"),
        hl("make_sample.py      tessora_cn0         20240305 080000 UTC", "PGM / RUN BY / DATE"),
        hl("SMPL00DNK", "MARKER NAME"), hl("10118M099", "MARKER NUMBER"), hl("GEODETIC", "MARKER TYPE"),
        hl("3047937             SEPT POLARX5        5.4.0", "REC # / TYPE / VERS"),
        hl("CR5200327016        LEIAR25.R4      LEIT", "ANT # / TYPE"),
        hl("".join(f"{c:14.4f}" for c in RECEIVER), "APPROX POSITION XYZ"),
        hl("        0.2160        0.0000        0.0000", "ANTENNA: DELTA H/E/N"),
    ]
    for system, codes in TYPES.items():
        lines.append(hl(f"{system}  {len(codes):3d} " + " ".join(codes), "SYS / # / OBS TYPES"))
    lines += [hl("DBHZ", "SIGNAL STRENGTH UNIT"), hl("    30.000", "INTERVAL"),
              hl("  2024     3     5     7     0    0.0000000     GPS", "TIME OF FIRST OBS"),
              hl(f"{len(GLONASS_CHANNELS):3d}" + "".join(f" {s} {GLONASS_CHANNELS[s]:2d}" for s in sorted(GLONASS_CHANNELS)),
                 "GLONASS SLOT / FRQ #"),
              hl("", "END OF HEADER")]

    def positions(t):
        _, sow = gps_seconds(t)
        out = {s: kepler_position(el, toe, sow) for s, el in kepler.items()}
        secs = (t - t.replace(hour=0, minute=0, second=0)).total_seconds()
        out.update({s: glonass_state(o, secs)[0] for s, o in glonass.items()})
        return out

    for k in range(EPOCHS):
        t = START + datetime.timedelta(seconds=30 * k)
        now, later = positions(t), positions(t + datetime.timedelta(seconds=1))
        rows = []
        for sat in sorted(now):
            el, rho = elevation(RECEIVER, now[sat])
            if el < 7.0:  # the receiver tracks down to 7 degrees
                continue
            rate = elevation(RECEIVER, later[sat])[1] - rho
            f1, f2 = FREQ[sat[0]]
            if sat[0] == "R":
                f1 += GLONASS_CHANNELS[sat] * 0.5625e6
                f2 += GLONASS_CHANNELS[sat] * 0.4375e6
            cn0 = 31.0 + 19.0 * math.sin(math.radians(max(el, 0.0))) ** 0.6 + rng.gauss(0, 0.7)
            if k in EVENT:
                cn0 -= EVENT_DB
            out = sat
            for freq, c in ((f1, cn0), (f2, cn0 - 4.0 - 1.5 * rng.random())):
                lam = C / freq
                ssi = str(min(9, max(1, int(c / 6))))
                out += field(rho + rng.gauss(0, 0.4)) + field(rho / lam + rng.gauss(0, 0.01), " ", ssi)
                out += field(-rate / lam) + field(c)
            rows.append(out.rstrip() + "\n")
        lines.append(f"> {t:%Y %m %d %H %M} {t.second:10.7f}  0{len(rows):3d}\n")
        lines += rows
    with open(path, "w", newline="\n") as f:
        f.writelines(lines)


def main():
    rng = random.Random(20240305)
    os.makedirs(OUT_DIR, exist_ok=True)
    kepler, glonass = kepler_elements(), glonass_orbits()
    toe_time = datetime.datetime(2024, 3, 5, 8, 0, 0)
    write_nav(os.path.join(OUT_DIR, NAV_NAME), kepler, glonass, toe_time)
    write_obs(os.path.join(OUT_DIR, OBS_NAME), kepler, glonass, toe_time, rng)
    print(f"wrote {OUT_DIR}/{OBS_NAME} and {NAV_NAME}")


if __name__ == "__main__":
    main()
