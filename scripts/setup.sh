#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks (compiler, CMake, Embree,
# GoogleTest from Debian; pybind11, scikit-build-core, NumPy, pytest, hypothesis, mypy,
# pybind11-stubgen, matplotlib and the vorn toolkit's optional libraries from
# PyPI) and builds and installs the vorn_gpu module and the vorn package into the Python
# that scripts/python_env.sh picks (the project environment .venv/ where the
# interpreter is externally managed or no environment is active). Each step
# runs only when needed: a second run with nothing changed installs nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python_env.sh

# The GPU backend is built when the CUDA toolkit is found; look in its usual home too.
if ! command -v nvcc >/dev/null 2>&1 && [ -x /usr/local/cuda/bin/nvcc ]; then
    export PATH="/usr/local/cuda/bin:$PATH"
fi

apt_install g++ cmake make libembree-dev libgtest-dev zlib1g-dev

# build tools, test tools, the demo's chart, and the vorn toolkit's optional
# libraries (the wheel's extras io, optics, sweep, lidar)
REQUIREMENTS=("pybind11>=2.12" "scikit-build-core>=0.8" numpy pytest hypothesis mypy pybind11-stubgen
              matplotlib trimesh xarray netCDF4 prosail pvlib "dask[distributed]" tqdm laspy)
missing=$("$PY" scripts/setup_state.py missing "${REQUIREMENTS[@]}")
if [ -n "$missing" ]; then
    mapfile -t missing <<<"$missing"
    echo "[setup] installing from PyPI: ${missing[*]}"
    "$PY" -m pip install -q --disable-pip-version-check "${missing[@]}"
fi

# One build folder per interpreter, so that switching between them rebuilds nothing.
STAMP=build/$BUILD_KEY/installed.stamp
if sources=$("$PY" scripts/setup_state.py current "$STAMP"); then
    echo "[setup] vorn_gpu is up to date in $PY"
else
    echo "[setup] building and installing vorn_gpu into $PY (build/$BUILD_KEY)"
    "$PY" -m pip install -q --disable-pip-version-check --no-build-isolation \
        --config-settings=build-dir="build/$BUILD_KEY/module" .
    "$PY" -c "import vorn_gpu; print('[setup] vorn_gpu', vorn_gpu.__version__, 'HAS_EMBREE', vorn_gpu.HAS_EMBREE)"
    "$PY" scripts/setup_state.py record "$STAMP" "$sources"
fi
venv_note
