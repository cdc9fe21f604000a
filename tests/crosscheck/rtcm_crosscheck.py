#!/usr/bin/env python3
"""Compares the RTCM 3 decoder with two independent peers on the real recordings of the data folder.

1. pyrtcm (a pure-Python RTCM 3 parser): for every observation message (MSM4..MSM7 of every
   system, legacy 1002/1004/1010/1012) of every file under DATA_DIR/rtcm, every cell must have the
   same satellite and signal code, and CNR, pseudorange, phase range and range rate equal to
   pyrtcm's fields within half the field's resolution (an absent value on one side must be absent
   on the other). pyrtcm gives the fields; the full values are put together here as the message
   layout defines them (rough range + fine range, rough rate + fine rate), with the invalid-value
   sentinels read as absent.
   Differences handled explicitly: none. A cell of a signal number the system does not define
   (pyrtcm names it by its number) is not stored by this decoder and is counted apart.

2. RTKLIB's convbin (RINEX 3 conversion), when installed, observations: the epochs, the satellites of each
   epoch and every S value of the recording must agree. Known, explained differences:
   - convbin writes a GLONASS satellite only when it knows its frequency channel, and only the
     signals of its per-system code priority table (at most a few codes per band); the comparison
     therefore takes the (satellite, code) pairs convbin wrote and checks that this decoder has
     each of them with the same S value (to the 0.001 dB-Hz of the RINEX text), and that every
     epoch and satellite convbin wrote is there too.
   - convbin resolves GPS week numbers against the time given with -tr; both are given the
     recording's date.
   - BeiDou MSM of early receivers (GMSD7, 2012) carries GPS time instead of BeiDou time; this
     decoder recognises it from the message chain, convbin shifts those epochs by 14 s. BeiDou
     satellites of such files are compared without that shift on our side, i.e. left out of the
     epoch comparison when their epochs are convbin's shifted ones.
   - convbin writes a satellite line with loss-of-lock indicators and no value at all; the record
     has no such satellites (it stores no empty observation), so these lines are left out.
   - convbin writes event records (a new station in the stream), some without the ">" of an
     epoch line; they are left out.
   - Epochs only this decoder has are counted, not failed: convbin writes an epoch when a message
     without the multiple-message bit closes it, so it loses the epoch the file ends in and the
     epochs whose chain is never closed (the closing message missing from the stream, as at
     00:32:50 of navcom.rtcm, or a station change, as in switch-legacy-msm-legacy-msm.rtcm).
   Files convbin cannot convert (no output) are reported and skipped.

3. convbin's RINEX navigation file of the same recording, read by this project's navigation
   reader: every ephemeris of the stream must be in the file with the same epoch, and the
   satellite positions computed from the two (at the epoch, 15 min and 1 h later) must agree
   within 1 cm (the file's twelve digits are worth well under a millimetre). Known difference:
   convbin also writes BeiDou ephemerides of the older, experimental message 63, which this
   decoder does not read, so file-only BeiDou records are accepted in a recording that has
   message 63.
   The recordings' dates are given to both (convbin takes its weeks from them).

Usage: rtcm_crosscheck.py RTCM_DUMP DATA_DIR
Exit status 77 (skipped) when pyrtcm or the data folder is missing.
"""
import collections
import datetime
import glob
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
C_MS = 299792.458

SYSTEM_OF = {"107": "G", "108": "R", "109": "E", "110": "S", "111": "J", "112": "C", "113": "I"}
# The dates of the recordings (the week of their time-of-week epochs), from their sources; the
# others are given one date, the same to both decoders, so that both place them in the same week.
DATES = {
    "GMSD7_20121014.rtcm3": "2012-10-14",
    "rtcm3.2.log": "2016-04-06",
    "testglo.rtcm3": "2009-12-18",
    "sept.rtcm": "2018-01-02",
    "pygpsdata-NTRIP-USCL00CHL0.log": "2024-03-13",
}
DEFAULT_DATE = "2024-06-05"
# convbin dates a GLONASS ephemeris that arrives before the first observation by the time given
# with -tr; this one begins late in its day, and midnight would put it a day early.
CONVBIN_TIME = {"testglo.rtcm3": "23:00:00"}
# Recordings whose BeiDou MSM carry GPS time (convbin shifts them by the BeiDou offset).
BEIDOU_IN_GPS_TIME = {"GMSD7_20121014.rtcm3"}
# Days to move convbin's epochs by: this sender writes its SBAS MSM time as the time of day, and
# convbin, which closes an epoch at the message without the multiple-message bit (the SBAS one),
# dates the whole epoch by it; it also keeps only the SBAS satellites of those epochs.
CONVBIN_DAY_SHIFT = {"missing-gps.rtcm": 3}
# Differences that are convbin's: the first message of this file is a GLONASS 1012, which gives
# the time of day only; convbin dates it by the -tr day, a day early, while this decoder waits for
# the GPS 1004 that follows and puts it on that message's day.
CONVBIN_KNOWN = {"switch-legacy-msm-legacy-msm.rtcm": {"epoch 2024-06-04 13:46:59 missing here"}}


def sat_name(system, number):
    """RINEX name of MSM satellite `number` (SBAS 1 is PRN 120 = S20, QZSS 1 is PRN 193 = J01)."""
    if system == "S":
        number += 19
    return f"{system}{number:02d}"


def absent_if(raw_value, scale, sentinel):
    if raw_value is None:
        return None
    return None if round(raw_value / scale) == sentinel else raw_value


def pyrtcm_cells(path):
    from pyrtcm import RTCMReader

    cells = collections.defaultdict(list)
    unknown = 0
    with open(path, "rb") as f:
        for _raw, msg in RTCMReader(f, quitonerror=0):
            if msg is None:
                continue
            ident = msg.identity
            if not ident.isdigit():
                continue
            t = int(ident)
            if 1071 <= t <= 1137 and (t - 1070) % 10 >= 4:
                unknown += msm_cells(msg, t, cells)
            elif t in (1002, 1004, 1010, 1012):
                legacy_cells(msg, t, cells)
    return cells, unknown


def msm_cells(msg, t, cells):
    system = SYSTEM_OF[str(t)[:3]]
    flavour = t % 10
    ext = flavour >= 6
    rates = flavour in (5, 7)
    # The epoch field has a number of its own per system (GLONASS: the time of day, after the day).
    time = next(getattr(msg, k) for k in ("DF034", "DF004", "DF248", "DF427", "DF428", "DF546")
                if getattr(msg, k, None) is not None)
    # Satellite and cell numbers from the masks pyrtcm read (its PRN names stop at the numbers its
    # tables know).
    sat_ids = [k + 1 for k in range(64) if msg.DF394 >> (63 - k) & 1]
    nsig = bin(msg.DF395).count("1")
    cell_sats = [sat_ids[k // nsig] for k in range(len(sat_ids) * nsig)
                 if msg.DF396 >> (len(sat_ids) * nsig - 1 - k) & 1]
    sats = {}
    for i in range(1, msg.NSat + 1):
        prn = sat_ids[i - 1]
        whole = getattr(msg, f"DF397_{i:02d}")
        frac = getattr(msg, f"DF398_{i:02d}")
        rate = getattr(msg, f"DF399_{i:02d}", None) if rates else None
        rough = None if whole == 255 else whole + frac
        if rate is not None and rate == -8192:
            rate = None
        sats[prn] = (rough, rate)
    unknown = 0
    for i in range(1, msg.NCell + 1):
        prn = cell_sats[i - 1]
        sig = str(getattr(msg, f"CELLSIG_{i:02d}"))
        if len(sig) != 2 or not sig[0].isdigit() or sig.isdigit():
            unknown += 1
            continue
        rough, rough_rate = sats[prn]
        if ext:
            fine_pr = absent_if(getattr(msg, f"DF405_{i:02d}"), 2**-29, -(2**19))
            fine_cp = absent_if(getattr(msg, f"DF406_{i:02d}"), 2**-31, -(2**23))
            cnr = getattr(msg, f"DF408_{i:02d}")
        else:
            fine_pr = absent_if(getattr(msg, f"DF400_{i:02d}"), 2**-24, -(2**14))
            fine_cp = absent_if(getattr(msg, f"DF401_{i:02d}"), 2**-29, -(2**21))
            cnr = getattr(msg, f"DF403_{i:02d}")
        fine_rate = absent_if(getattr(msg, f"DF404_{i:02d}", None), 0.0001, -16384) if rates else None
        pr = None if rough is None or fine_pr is None else (rough + fine_pr) * C_MS
        cp = None if rough is None or fine_cp is None else (rough + fine_cp) * C_MS
        rr = None if rough_rate is None or fine_rate is None else rough_rate + fine_rate
        key = (t, int(time), sat_name(system, prn), sig)
        cells[key].append({"pr": pr, "cp": cp, "rr": rr, "cnr": cnr if cnr else None, "ext": ext})
    return unknown


def legacy_cells(msg, t, cells):
    glonass = t in (1010, 1012)
    dual = t in (1004, 1012)
    time = msg.DF034 if glonass else msg.DF004
    n = msg.DF035 if glonass else msg.DF006
    f = ("DF038", "DF039", "DF041", "DF042", "DF044", "DF045", "DF046", "DF047", "DF048", "DF050") if glonass else (
        "DF009", "DF010", "DF011", "DF012", "DF014", "DF015", "DF016", "DF017", "DF018", "DF020")
    modulus = 2 * C_MS if glonass else C_MS
    for i in range(1, n + 1):
        g = lambda k: getattr(msg, f"{k}_{i:02d}")
        prn = g(f[0])
        if prn == 0:
            continue
        if glonass:
            sat = f"R{prn:02d}"
        elif prn >= 40:
            sat = f"S{prn - 20:02d}"
        else:
            sat = f"G{prn:02d}"
        pr1 = g(f[2]) + g(f[4]) * modulus
        ppr1 = absent_if(g(f[3]), 0.0005, -(2**19))
        c1 = "1P" if g(f[1]) else "1C"
        cells[(t, int(time), sat, c1)].append(
            {"pr": pr1, "cp": None if ppr1 is None else pr1 + ppr1, "rr": None, "cnr": g(f[5]) or None, "legacy": True})
        if not dual:
            continue
        code2 = g(f[6])
        c2 = ("2P" if code2 else "2C") if glonass else ("2X", "2P", "2D", "2W")[code2]
        d = absent_if(g(f[7]), 0.02, -8192)
        ppr2 = absent_if(g(f[8]), 0.0005, -(2**19))
        cells[(t, int(time), sat, c2)].append(
            {"pr": None if d is None else pr1 + d, "cp": None if ppr2 is None else pr1 + ppr2, "rr": None,
             "cnr": g(f[9]) or None, "legacy": True})


def our_cells(dump, path):
    out = subprocess.run([dump, "--cells", path], capture_output=True, text=True, check=True).stdout
    cells = collections.defaultdict(list)
    for line in out.splitlines():
        c = json.loads(line)
        cells[(c["type"], c["time"], c["sat"], c["sig"])].append(c)
    return cells


def tolerance(field, theirs):
    if theirs.get("legacy"):
        return {"pr": 0.01, "cp": 0.00025, "rr": 0.0, "cnr": 0.125}[field] + 1e-6
    ext = theirs["ext"]
    res = {"pr": (2**-29 if ext else 2**-24) * C_MS, "cp": (2**-31 if ext else 2**-29) * C_MS,
           "rr": 0.0001, "cnr": 1 / 16 if ext else 1.0}[field]
    return res / 2


def compare_pyrtcm(dump, path):
    ours = our_cells(dump, path)
    theirs, unknown = pyrtcm_cells(path)
    compared = mismatched = 0
    problems = []
    for key in sorted(set(ours) | set(theirs)):
        a, b = ours.get(key, []), theirs.get(key, [])
        if len(a) != len(b):
            mismatched += 1
            problems.append(f"{key}: {len(a)} cells here, {len(b)} in pyrtcm")
            continue
        for x, y in zip(a, b):
            compared += 1
            for field in ("pr", "cp", "rr", "cnr"):
                u, v = x[field], y[field]
                if (u is None) != (v is None) or (u is not None and abs(u - v) > tolerance(field, y)):
                    mismatched += 1
                    problems.append(f"{key} {field}: {u} here, {v} in pyrtcm")
    return compared, mismatched, unknown, problems


def epoch_key(fields):
    y, mo, d, h, mi = (int(x) for x in fields[:5])
    return datetime.datetime(y, mo, d, h, mi) + datetime.timedelta(milliseconds=round(float(fields[5]) * 1000))


def rinex_values(path, beidou_shift, day_shift=0):
    """Epochs -> {(sat, code): S value} of a RINEX 3 file written by convbin; {(sat, None): None}
    marks a satellite of the epoch. BeiDou satellites are moved by `beidou_shift` seconds."""
    epochs = collections.defaultdict(dict)
    types = {}
    cur = None
    in_header = True
    last_sys = None
    skip_lines = 0
    with open(path) as f:
        for line in f:
            if skip_lines:
                skip_lines -= 1
                continue
            if in_header:
                if "SYS / # / OBS TYPES" in line[60:]:
                    if line[0] != " ":
                        last_sys = line[0]
                        types[last_sys] = []
                    types[last_sys] += line[7:60].split()
                if "END OF HEADER" in line[60:]:
                    in_header = False
                continue
            if line.startswith(">"):
                p = line[1:].split()
                if len(p) > 7 and int(p[6]) > 1:  # an event: header records follow
                    skip_lines = int(p[7])
                    continue
                cur = epoch_key(p) + datetime.timedelta(days=day_shift)
                continue
            p = line.split()
            if line[:3].strip() == "" and len(p) == 2 and int(p[0]) > 1:  # an event line written without ">"
                skip_lines = int(p[1])
                continue
            sat = line[:3].replace(" ", "0")
            at = cur + datetime.timedelta(seconds=beidou_shift) if sat[0] == "C" else cur
            for k, code in enumerate(types.get(sat[0], [])):
                if code[0] != "S":
                    continue
                field = line[3 + 16 * k: 3 + 16 * k + 14].strip()
                if field:
                    epochs[at][(sat, code)] = float(field)
            # A satellite line with indicators only (no value) is no satellite of the record.
            if any(line[3 + 16 * k: 3 + 16 * k + 14].strip() for k in range(len(types.get(sat[0], [])))):
                epochs[at].setdefault((sat, None), None)
    return epochs


def our_record(dump, path, date):
    args = [dump, "--record", "--date", date, path]
    out = subprocess.run(args, capture_output=True, text=True, check=True).stdout
    epochs = collections.OrderedDict()
    cur = None
    for line in out.splitlines():
        p = line.split()
        if p[0] == "E":
            cur = epoch_key(p[1:])
            epochs[cur] = {}
        elif p[0] == "O":
            epochs[cur].setdefault((p[1], None), None)
            if p[2][0] == "S":
                epochs[cur][(p[1], p[2])] = float(p[3])
    return epochs


def compare_convbin(dump, path, date, beidou_shift, day_shift=0):
    """(epochs compared, satellites compared, S values compared, differences, epochs only here)."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "out.obs")
        args = ["convbin", "-r", "rtcm3", "-v", "3.04", "-od", "-os", "-o", out,
                "-tr", date.replace("-", "/"), "00:00:00", path]
        subprocess.run(args, capture_output=True, text=True, timeout=300)
        if not os.path.exists(out):
            return None
        theirs = rinex_values(out, beidou_shift, day_shift)
    ours = our_record(dump, path, date)
    epochs = sats = values = 0
    diffs = []
    for t, obs in theirs.items():
        mine = ours.get(t)
        if mine is None:
            diffs.append(f"epoch {t} missing here")
            continue
        epochs += 1
        for (sat, code), v in obs.items():
            if code is None:
                sats += 1
                if (sat, None) not in mine:
                    diffs.append(f"{t} {sat} missing here")
                continue
            values += 1
            if (sat, code) not in mine:
                diffs.append(f"{t} {sat} {code} missing here")
            elif abs(mine[(sat, code)] - v) > 0.0005 + 1e-9:  # the text has three decimals
                diffs.append(f"{t} {sat} {code}: {mine[(sat, code)]} here, {v} convbin")
    extra = [t for t in ours if t not in theirs]
    return epochs, sats, values, diffs, extra


def compare_nav(dump, path, date):
    """(matched, worst distance in m, unexplained unmatched records) or None without ephemerides."""
    with tempfile.TemporaryDirectory() as tmp:
        nav = os.path.join(tmp, "out.nav")
        args = ["convbin", "-r", "rtcm3", "-v", "3.04", "-n", nav, "-o", os.path.join(tmp, "out.obs"),
                "-tr", date.replace("-", "/"), CONVBIN_TIME.get(os.path.basename(path), "00:00:00"), path]
        subprocess.run(args, capture_output=True, text=True, timeout=300)
        if not os.path.exists(nav):
            return None
        out = subprocess.run([dump, "--nav-compare", "--date", date, path, nav], capture_output=True, text=True,
                             check=True).stdout
    summary = subprocess.run([dump, "--record", "--date", date, path], capture_output=True, text=True,
                             check=True).stdout.splitlines()[-1]
    worst = 0.0
    matched = 0
    unexplained = []
    beidou_63 = ",63:" in summary.replace("types=", "types=,")
    for line in out.splitlines():
        p = line.split()
        if p[0] == "P":
            matched += 1
            worst = max(worst, float(p[3]))
        elif p[0] == "U" and not (p[1] == "file" and p[2].startswith("C") and beidou_63):
            unexplained.append(line)
    if matched == 0 and not unexplained:
        return None
    return matched, worst, unexplained


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    dump, data = sys.argv[1], sys.argv[2]
    try:
        import pyrtcm  # noqa: F401
    except ImportError:
        print("pyrtcm not installed")
        return SKIP
    files = sorted(p for p in glob.glob(os.path.join(data, "rtcm", "**", "*"), recursive=True)
                   if os.path.isfile(p) and not p.endswith(".tsv"))
    if not files:
        print("no RTCM files in", os.path.join(data, "rtcm"))
        return SKIP
    failed = False
    total = collections.Counter()
    for path in files:
        name = os.path.relpath(path, os.path.join(data, "rtcm"))
        compared, mismatched, unknown, problems = compare_pyrtcm(dump, path)
        total.update(compared=compared, mismatched=mismatched, unknown=unknown)
        print(f"pyrtcm  {name}: {compared} cells compared, {mismatched} differ, {unknown} of undefined signals")
        for p in problems[:10]:
            print("   ", p)
        failed |= mismatched > 0
    print(f"pyrtcm total: {total['compared']} cells, {total['mismatched']} differ")
    failed |= total["compared"] == 0
    if shutil.which("convbin"):
        ctotal = collections.Counter()
        for path in files:
            name = os.path.relpath(path, os.path.join(data, "rtcm"))
            base = os.path.basename(path)
            r = compare_convbin(dump, path, DATES.get(base, DEFAULT_DATE), -14.0 if base in BEIDOU_IN_GPS_TIME else 0.0,
                                CONVBIN_DAY_SHIFT.get(base, 0))
            if r is None:
                print(f"convbin {name}: no output")
                continue
            epochs, sats, values, diffs, extra = r
            known = CONVBIN_KNOWN.get(base, set())
            explained = [d for d in diffs if d in known]
            diffs = [d for d in diffs if d not in known]
            if explained:
                print(f"convbin {name}: {len(explained)} known differences of convbin's: {explained}")
            ctotal.update(epochs=epochs, sats=sats, values=values, diffs=len(diffs))
            print(f"convbin {name}: {epochs} epochs, {sats} satellites, {values} S values, {len(diffs)} differ, "
                  f"{len(extra)} epochs only here")
            for d in diffs[:10]:
                print("   ", d)
            failed |= len(diffs) > 0
        print(f"convbin total: {ctotal['epochs']} epochs, {ctotal['sats']} satellites, {ctotal['values']} S values, "
              f"{ctotal['diffs']} differ")
        ntotal = collections.Counter()
        for path in files:
            name = os.path.relpath(path, os.path.join(data, "rtcm"))
            r = compare_nav(dump, path, DATES.get(os.path.basename(path), DEFAULT_DATE))
            if r is None:
                continue
            matched, worst, unexplained = r
            ntotal.update(matched=matched, unexplained=len(unexplained))
            print(f"convbin nav {name}: {matched} ephemerides matched, largest position difference {worst:.6f} m, "
                  f"{len(unexplained)} unmatched")
            for u in unexplained[:10]:
                print("   ", u)
            failed |= worst > 0.01 or len(unexplained) > 0
        print(f"convbin nav total: {ntotal['matched']} ephemerides matched, {ntotal['unexplained']} unmatched")
    else:
        print("convbin not installed: RINEX comparison skipped")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
