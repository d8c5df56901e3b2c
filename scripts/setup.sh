#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks (compiler, CMake, Embree,
# GoogleTest from Debian; pybind11, scikit-build-core, NumPy, pytest, hypothesis
# and the vorn toolkit's optional libraries from PyPI) and builds and installs the
# vorn_gpu module and the vorn package into the active Python.
set -euo pipefail
cd "$(dirname "$0")/.."

PY=${PYTHON:-python3}
# The GPU backend is built when the CUDA toolkit is found; look in its usual home too.
if ! command -v nvcc >/dev/null 2>&1 && [ -x /usr/local/cuda/bin/nvcc ]; then
    export PATH="/usr/local/cuda/bin:$PATH"
fi
SUDO=""
if [ "$(id -u)" != 0 ] && command -v sudo >/dev/null 2>&1; then SUDO=sudo; fi

missing=()
for pkg in g++ cmake make libembree-dev libgtest-dev zlib1g-dev; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "[setup] installing from Debian: ${missing[*]}"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

"$PY" -m pip install -q --disable-pip-version-check "pybind11>=2.12" "scikit-build-core>=0.8" numpy pytest hypothesis
# the optional libraries of the vorn toolkit (the wheel's extras io, optics, sweep, lidar)
"$PY" -m pip install -q --disable-pip-version-check trimesh xarray netCDF4 prosail pvlib \
    "dask[distributed]" tqdm laspy
echo "[setup] building and installing vorn_gpu"
"$PY" -m pip install -q --disable-pip-version-check --no-build-isolation .
"$PY" -c "import vorn_gpu; print('[setup] vorn_gpu', vorn_gpu.__version__, 'HAS_EMBREE', vorn_gpu.HAS_EMBREE)"
