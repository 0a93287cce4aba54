#!/bin/bash
# Builds norvak-monitor and runs it on the bundled example suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
bash scripts/build.sh build
./build/monitor/norvak-monitor --version
