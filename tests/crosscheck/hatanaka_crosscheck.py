#!/usr/bin/env python3
"""Compares the Hatanaka decoder with the reference compressor and decompressor (the `hatanaka`
package, which wraps them).

Random RINEX 2 and 3 files are written with what the compact format has to carry: satellites that
come and go, blank observations, indicators, receiver clock offsets, values below one in
magnitude, more than twelve satellites and more than five types in RINEX 2, and event records.
Each is compacted by the reference compressor, with and without periodic re-initialisation, and
decoded by `obs_dump --expand`; the text must equal the reference decompressor's byte for byte.
Usage: hatanaka_crosscheck.py OBS_DUMP [FILES_PER_KIND]
"""
import random
import subprocess
import sys
import tempfile
from pathlib import Path

SKIP = 77

def hl(content, label):
    return content.ljust(60)[:60] + label + "\n"

def f14(v):
    return f"{v:14.3f}"

def gen_v3(rng, n_epochs=30, events=True, clock=True):
    types = {"G": ["C1C", "L1C", "D1C", "S1C", "C2W", "L2W", "S2W"], "E": ["C1C", "L1C", "S1C", "C5Q", "S5Q"],
             "R": ["C1C", "S1C"]}
    h = hl("     3.04           OBSERVATION DATA    M", "RINEX VERSION / TYPE")
    h += hl("TEST", "MARKER NAME")
    for s, t in types.items():
        h += hl(f"{s}  {len(t):3d} " + " ".join(t), "SYS / # / OBS TYPES")
    h += hl("    30.000", "INTERVAL")
    h += hl("", "END OF HEADER")
    sats = [f"G{i:02d}" for i in range(1, 13)] + [f"E{i:02d}" for i in range(1, 9)] + [f"R{i:02d}" for i in range(1, 6)]
    state = {s: [rng.uniform(-2e8, 2e8) for _ in range(8)] for s in sats}
    out = h
    for k in range(n_epochs):
        sec = 30 * k
        if events and rng.random() < 0.08:
            flag = rng.choice([2, 3, 4, 5])
            recs = [hl(f"EVENT {k}", "COMMENT") for _ in range(rng.randint(0, 2))]
            if flag == 5:
                out += f"> {2020:4d} {6:02d} {25:02d} {sec // 3600:02d} {sec // 60 % 60:02d}{sec % 60:11.7f}  {flag}{len(recs):3d}\n"
            else:
                out += f">{'':30s}{flag}{len(recs):3d}\n"
            out += "".join(recs)
            continue
        present = [s for s in sats if rng.random() < 0.85]
        if not present:
            present = sats[:1]
        line = f"> {2020:4d} {6:02d} {25:02d} {sec // 3600:02d} {sec // 60 % 60:02d}{sec % 60:11.7f}  0{len(present):3d}"
        if clock and rng.random() < 0.7:
            line += f"      {rng.uniform(-0.5, 0.5):15.12f}"
        out += line + "\n"
        for s in present:
            t = types[s[0]]
            st = state[s]
            row = s
            for j, code in enumerate(t):
                if rng.random() < 0.1:
                    row += " " * 16
                    continue
                if code[0] == "S":
                    v = round(rng.uniform(20, 55) * 4) / 4
                elif code[0] == "D":
                    v = rng.uniform(-5000, 5000)
                    if rng.random() < 0.2:
                        v = rng.uniform(-1, 1)
                else:
                    st[j] += rng.uniform(-3000, 3000)
                    v = st[j]
                lli = rng.choice(" " * 8 + "0123456789")
                ssi = rng.choice(" " * 3 + "123456789")
                row += f14(v) + lli + ssi
            out += row.rstrip() + "\n"
    return out

def gen_v2(rng, n_epochs=30, nsat=16, events=True, clock=True):
    types = ["C1", "L1", "L2", "P2", "S1", "S2", "D1"]
    h = hl("     2.11           OBSERVATION DATA    M (MIXED)", "RINEX VERSION / TYPE")
    h += hl("TEST", "MARKER NAME")
    h += hl(f"{len(types):6d}" + "".join(f"{t:>6s}" for t in types), "# / TYPES OF OBSERV")
    h += hl("    30.000", "INTERVAL")
    h += hl("", "END OF HEADER")
    sats = [f"G{i:02d}" for i in range(1, nsat + 1)] + ["R05", "R06", "E11"]
    state = {s: [rng.uniform(-2e8, 2e8) for _ in range(8)] for s in sats}
    out = h
    for k in range(n_epochs):
        sec = 30 * k
        if events and rng.random() < 0.08:
            flag = rng.choice([2, 3, 4, 5])
            recs = [hl(f"EVENT {k}", "COMMENT") for _ in range(rng.randint(0, 2))]
            out += f"{'':26s}{flag:3d}{len(recs):3d}\n" + "".join(recs)
            continue
        present = [s for s in sats if rng.random() < 0.85] or sats[:1]
        head = f" 20  6 25 {sec // 3600:2d} {sec // 60 % 60:2d}{sec % 60:11.7f}  0{len(present):3d}"
        ids = "".join(present)
        first = head + ids[:36]
        if clock and rng.random() < 0.6:
            first = first.ljust(68) + f"{rng.uniform(-0.5, 0.5):12.9f}"
        out += first + "\n"
        for i in range(36, len(ids), 36):
            out += " " * 32 + ids[i:i + 36] + "\n"
        for s in present:
            st = state[s]
            fields = []
            for j, code in enumerate(types):
                if rng.random() < 0.1:
                    fields.append(" " * 16)
                    continue
                if code[0] == "S":
                    v = round(rng.uniform(20, 55) * 4) / 4
                elif code[0] == "D":
                    v = rng.uniform(-1, 1) if rng.random() < 0.3 else rng.uniform(-5000, 5000)
                else:
                    st[j] += rng.uniform(-3000, 3000)
                    v = st[j]
                fields.append(f14(v) + rng.choice(" " * 8 + "0123456789") + rng.choice(" " * 3 + "123456789"))
            for i in range(0, len(fields), 5):
                out += "".join(fields[i:i + 5]).rstrip() + "\n"
    return out


def main():
    try:
        import hatanaka
    except ImportError:
        print("hatanaka is not installed: skipped")
        return SKIP
    dump = sys.argv[1]
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 60
    failures = 0
    checked = 0
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "x.crx"
        for seed in range(n):
            rng = random.Random(seed)
            for kind in ("v3", "v2"):
                text = gen_v3(rng) if kind == "v3" else gen_v2(rng, nsat=12 + seed % 20)
                reinit = None if seed % 3 else 1 + seed % 7
                crx = hatanaka.compress(text.encode(), compression="none", reinit_every_nth=reinit)
                ref = hatanaka.decompress(crx)
                path.write_bytes(crx)
                ours = subprocess.run([dump, "--expand", str(path)], capture_output=True)
                checked += 1
                if ours.returncode != 0 or ours.stdout != ref:
                    failures += 1
                    print(f"seed {seed} {kind} reinit={reinit}: "
                          + (ours.stderr.decode() if ours.returncode else "decoded text differs"))
    print(f"{checked} compacted files, {failures} differ from the reference decoder")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
