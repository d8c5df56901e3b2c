#!/usr/bin/env bash
# Release check: a long fuzz of the Python API against the installed vorn_gpu.
# Runs N random call sequences (default 1000, some 27,000 calls), each in a
# child forked from a clean fork server, and prints the summary line:
# sequences, calls, crashes, hangs, contract breaches and duration. Fails with
# the shortest call sequence found when any sequence crashed, hung or broke the
# contract. Usage: bash scripts/fuzz_api.sh [sequences]
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
export VORN_FUZZ_EXAMPLES=${1:-1000}
"$PY" -m pytest -q -s -p no:cacheprovider tests/python/test_fuzz.py -k random_call_sequences
