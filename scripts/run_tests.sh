#!/usr/bin/env bash
# Sets up a fresh machine and runs every test: the C++ unit tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, the device-program checks
# and GPU emulation tests (CTest), then the Python tests against the installed
# module (pytest). Fails when any of them fails. The Python is the one
# scripts/python_env.sh picks; the test build lives in build/<interpreter>/tests
# (build/tests links to the last one used).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python_env.sh
# The GPU backend is built when the CUDA toolkit is found; look in its usual home too.
if ! command -v nvcc >/dev/null 2>&1 && [ -x /usr/local/cuda/bin/nvcc ]; then
    export PATH="/usr/local/cuda/bin:$PATH"
fi
JOBS=$(nproc)

bash scripts/setup.sh

TESTS=build/$BUILD_KEY/tests
mkdir -p "$TESTS"
if [ -L build/tests ] || [ ! -e build/tests ]; then ln -sfn "$BUILD_KEY/tests" build/tests; fi
# Configured once per set of options; after that the build itself re-runs
# CMake when a CMakeLists.txt changes.
CONFIG="-DVORN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$PY nvcc=$(command -v nvcc || true)"
if [ ! -f "$TESTS/CMakeCache.txt" ] || [ "$(cat "$TESTS/configured" 2>/dev/null)" != "$CONFIG" ]; then
    rm -f "$TESTS/configured"
    cmake -S . -B "$TESTS" -DVORN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release \
          -DPython_EXECUTABLE="$PY" >"$TESTS/configure.log" 2>&1 \
        || { cat "$TESTS/configure.log"; exit 1; }
    echo "$CONFIG" >"$TESTS/configured"
fi
cmake --build "$TESTS" -j"$JOBS"
ctest --test-dir "$TESTS" --output-on-failure -j"$JOBS"
"$PY" -m pytest -q tests/python
venv_note
