#!/bin/bash
# build.sh DIR [cmake options...] [-- targets...]: configures (once) and
# builds into DIR: everything, or only the targets named after "--".
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; shift
options=()
while (($#)) && [[ $1 != -- ]]; do options+=("$1"); shift; done
targets=()
if (($#)); then shift; targets=("$@"); fi
cmake -S "$root" -B "$dir" -G Ninja "${options[@]}" >/dev/null
if ((${#targets[@]})); then
  cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"
else
  cmake --build "$dir" -j "$(nproc)"
fi
