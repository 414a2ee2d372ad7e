#!/usr/bin/env bash
# Installs what is missing, builds, starts the bundled module simulator on
# 127.0.0.1 (TCP 2004, UDP 2005) and opens the tool; the simulator stops
# when the window closes.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
echo "run: starting build/tools/module-sim/module-sim on 127.0.0.1"
build/tools/module-sim/module-sim "$@" &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
echo "run: opening build/src/app/vexa-test"
build/src/app/vexa-test
