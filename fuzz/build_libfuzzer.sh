#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and UBSan into fuzz/out/ (all of them,
# or the ones named: fuzz/build_libfuzzer.sh crinex lzw).
# Run one, e.g.: fuzz/out/fuzz_obs -max_total_time=600 CORPUS_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p fuzz/out
core=$(ls src/common/*.cpp src/archive/*.cpp src/rinex/*.cpp src/navigation/*.cpp src/visibility/*.cpp src/cn0/*.cpp src/tle/*.cpp src/interference/*.cpp src/rtcm/*.cpp 2>/dev/null || true)
targets=()
if [ $# -gt 0 ]; then for n in "$@"; do targets+=("fuzz/fuzz_$n.cpp"); done; else targets=(fuzz/fuzz_*.cpp); fi
extra=()
if [ -f /usr/include/libdeflate.h ]; then extra=(-DTESSORA_HAVE_LIBDEFLATE -ldeflate); fi
for t in "${targets[@]}"; do
  name=$(basename "$t" .cpp)
  clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -ffp-contract=off -Isrc "$t" $core -lz -lbz2 "${extra[@]}" -o "fuzz/out/$name"
done
