#!/usr/bin/env bash
# Sets up a fresh machine and runs every test: the C++ unit tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, the device-program checks
# and GPU emulation tests (CTest), then the Python tests against the installed
# module (pytest). Fails when any of them fails.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
# The GPU backend is built when the CUDA toolkit is found; look in its usual home too.
if ! command -v nvcc >/dev/null 2>&1 && [ -x /usr/local/cuda/bin/nvcc ]; then
    export PATH="/usr/local/cuda/bin:$PATH"
fi
JOBS=$(nproc)

bash scripts/setup.sh
mkdir -p build

cmake -S . -B build/tests -DVORN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release \
      -DPython_EXECUTABLE="$(command -v "$PY")" >build/tests-configure.log 2>&1 \
    || { cat build/tests-configure.log; exit 1; }
cmake --build build/tests -j"$JOBS"
ctest --test-dir build/tests --output-on-failure -j"$JOBS"
"$PY" -m pytest -q tests/python
