#!/usr/bin/env python3
"""Writing a day file: RinexObsData.to_rinex of ESBC's record as plain RINEX 3, .gz, .crx and
.crx.gz, against reading the file it wrote back with read_rinex_obs. Rates are in MB of plain
RINEX text per second (the text each encoding stands for), so that they compare directly.

Usage: python3 bench/bench_rinex_writer.py [DATA_DIR]
Timings are the best of five, each contender's runs interleaved with the others', so that load on
the machine hits them alike. The output goes to a temporary folder (the page cache: no disk wait).
"""
import os
import sys
import tempfile
import time

import tessora_cn0

FILE = "rinex/CRNX/V3/ESBC00DNK_R_20201770000_01D_30S_MO.rnx"
ENDINGS = [".rnx", ".rnx.gz", ".crx", ".crx.gz"]


def main():
    data = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..", "shared", "data")
    path = os.path.join(data, FILE)
    if not os.path.exists(path):
        sys.exit(f"missing {path}")
    rec = tessora_cn0.read_rinex_obs(path)
    with tempfile.TemporaryDirectory() as tmp:
        outs = {e: os.path.join(tmp, "out" + e) for e in ENDINGS}
        rec.to_rinex(outs[".rnx"])
        text_mb = os.path.getsize(outs[".rnx"]) / 1e6
        write = {e: 1e9 for e in ENDINGS}
        read = {e: 1e9 for e in ENDINGS}
        for _ in range(5):
            for e in ENDINGS:
                t0 = time.perf_counter()
                rec.to_rinex(outs[e])
                t1 = time.perf_counter()
                back = tessora_cn0.read_rinex_obs(outs[e])
                t2 = time.perf_counter()
                del back
                write[e] = min(write[e], t1 - t0)
                read[e] = min(read[e], t2 - t1)
        print(f"{FILE}: {rec.num_epochs} epochs, {text_mb:.1f} MB of RINEX 3 text")
        print(f"{'output':8} {'size MB':>8} {'write s':>8} {'MB/s':>7} {'read s':>7} {'MB/s':>7} {'write/read':>10}")
        for e in ENDINGS:
            size = os.path.getsize(outs[e]) / 1e6
            print(f"{e:8} {size:8.1f} {write[e]:8.3f} {text_mb / write[e]:7.0f} {read[e]:7.3f} "
                  f"{text_mb / read[e]:7.0f} {write[e] / read[e]:10.2f}")


if __name__ == "__main__":
    main()
