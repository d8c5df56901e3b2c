#!/usr/bin/env bash
# Sets up a fresh machine and runs the demo: a procedural canopy simulated on
# the CPU backend, writing its outputs to out/.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
bash scripts/setup.sh
"$PY" examples/demo_canopy.py --out out "$@"
