#!/usr/bin/env bash
# Sets up a fresh machine and runs the demo: a procedural canopy simulated on
# the CPU backend, writing its outputs to out/. The Python used is the one
# scripts/python_env.sh picks (the project environment .venv/ unless PYTHON
# names an interpreter that may be installed into, or an environment is active).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python_env.sh
bash scripts/setup.sh
"$PY" examples/demo_canopy.py --out out "$@"
venv_note
