#!/bin/bash
# Builds the project with ThreadSanitizer (build-tsan) and runs the unit and
# integration tests. Every process of the run writes its reports into one
# directory, the monitors and components the integration tests start among
# them, so a race that does not fail a test still fails the run. Separate
# from test.sh: a sanitized build and run of its own.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh

bash scripts/build.sh build-tsan -DNORVAK_TSAN=ON -DNORVAK_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug "$@"
reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
export TSAN_OPTIONS="second_deadlock_stack=1:log_path=$reports/report${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
# Bounds on CPU time and thread counts hold for the real build; the
# sanitizer's own thread and its slowness are not the code's.
export GTEST_FILTER="-DeliveryTest.HangingCommandsAreBoundedAndKilledAtTheTimeOut:MonitorLivenessTest.ComponentFloodingItsOutputCostsLittleCpuAndItsDeathIsNoticed"
status=0
(cd build-tsan && ctest --output-on-failure -j "$(nproc)") || status=$?
if compgen -G "$reports/report*" > /dev/null; then
  cat "$reports"/report*
  echo "ThreadSanitizer reports above" >&2
  status=1
fi
exit $status
