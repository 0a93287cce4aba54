#!/bin/bash
# Installs the build dependencies that are missing (Debian packages); safe to
# run again. Needs root only when something is missing.
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config libboost-dev libboost-thread-dev
          libboost-program-options-dev libboost-system-dev libboost-date-time-dev
          libgtest-dev libgmock-dev procps
          libsystemd-dev     # readiness reports to systemd (built without it where absent)
          groff-base         # the tests render the manual pages
          logrotate          # the tests rotate with the shipped logrotate file
          python3)           # the demo's web server, and the test that supervises it
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  SUDO=""
  if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
