#!/bin/bash
# Builds and runs the whole test suite twice: a normal build, then one with
# AddressSanitizer and UBSan, where any sanitizer report fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh

jobs=$(nproc)

echo "== normal build =="
bash scripts/build.sh build
(cd build && ctest --output-on-failure -j "$jobs")

echo "== sanitizer build =="
bash scripts/build.sh build-asan -DNORVAK_SANITIZE=ON -DNORVAK_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
export ASAN_OPTIONS=abort_on_error=0:halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
(cd build-asan && ctest --output-on-failure -j "$jobs")
