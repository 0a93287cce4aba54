#!/bin/bash
# Builds the project with ThreadSanitizer and runs the unit and integration
# tests; any data race or lock-order report fails the run. Separate from
# test.sh: a sanitized build and run of its own.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh

bash scripts/build.sh build-tsan -DNORVAK_TSAN=ON -DNORVAK_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug "$@"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:exitcode=66${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
(cd build-tsan && ctest --output-on-failure -j "$(nproc)")
