#!/usr/bin/env bash
# Installs what the tests need and runs every test: the C++ tests and sanitizer smoke runs
# (ctest), the Python tests (pytest) against the installed package, and the type stubs
# (mypy.stubtest). Real-data tests read $TESSORA_DATA_DIR (default ../shared/data) and skip
# without it.
set -euo pipefail
cd "$(dirname "$0")/.."

need_apt=()
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
[ -f /usr/include/zlib.h ] || need_apt+=(zlib1g-dev)
[ -f /usr/include/bzlib.h ] || need_apt+=(libbz2-dev)
[ -f /usr/include/libdeflate.h ] || need_apt+=(libdeflate-dev)
command -v cmake >/dev/null 2>&1 || need_apt+=(cmake)
command -v g++ >/dev/null 2>&1 || need_apt+=(g++)
# RTKLIB: convbin is an independent peer of the RTCM 3 decoder's cross-check, str2str the NTRIP
# caster of the monitor's tests.
command -v convbin >/dev/null 2>&1 || need_apt+=(rtklib)
# Headless Chromium renders the monitor's status page in its tests.
command -v chromium >/dev/null 2>&1 || need_apt+=(chromium)
if [ ${#need_apt[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then SUDO=""; else SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_apt[@]}"
fi

PY=${PYTHON:-python3}
"$PY" -m pip install -q --upgrade pip >/dev/null 2>&1 || true
"$PY" -m pip install -q ".[test]"

cmake -S . -B build/tests -DCMAKE_BUILD_TYPE=Release -DTESSORA_BUILD_TESTS=ON -DTESSORA_BUILD_PYTHON=OFF >/dev/null
cmake --build build/tests -j "$(nproc)"
ctest --test-dir build/tests --output-on-failure -j "$(nproc)"

# Run pytest from outside the source tree so that the installed module is the one imported.
cd tests/python
"$PY" -m pytest -q -p no:cacheprovider .

# The type stubs against the installed package (from a scratch folder, for mypy's cache).
cd "$(mktemp -d)"
"$PY" -m mypy.stubtest tessora_cn0
