#!/usr/bin/env bash
# Checks the GPU backend on a machine with an NVIDIA GPU (driver R570 or
# newer): builds the module, the device programs and the GPU benchmarks with
# the CUDA toolkit, checks the PTX offline, renders one triangle (hit and
# miss), runs the GPU tests and the physics suites against the device (GPU
# results vs CPU results of the same scenes, within Monte Carlo noise where the
# device's float arithmetic differs from the host's), and prints throughputs
# beside the CPU engines' on the same canopy: a 1024 x 1024, 16 spp, depth 8
# render (paths/s), 4,000,000 forward photons (photons/s), 20,000 LiDAR pulses
# (pulses/s) and a 16-sample energy balance (primitive-samples/s). One summary
# line per check; exit status 1 when any check fails. Takes a few minutes on
# an H100.
#
#   scripts/gpu_check.sh              # on a GPU machine
#   scripts/gpu_check.sh --emulated   # the same steps on the host emulation of
#                                     # the test build (build/tests), small sizes
#
# Needs: nvidia-smi, nvcc (CUDA 12.8+ for R570 drivers, 13.x needs R580+),
# CMake, a C++17 compiler, Embree, GoogleTest, and a Python with NumPy,
# pybind11 and pytest (PYTHON=... to choose it).
set -uo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
MODE=${1:-device}
if ! command -v nvcc >/dev/null 2>&1 && [ -x /usr/local/cuda/bin/nvcc ]; then
    export PATH="/usr/local/cuda/bin:$PATH"
fi

if [ "$MODE" = "--emulated" ]; then
    BUILD=build/tests
    EMU=$BUILD/gpu_tests
    export LD_LIBRARY_PATH=$PWD/$EMU/optix_driver
    export VORN_OPTIX_EMU_PROGRAMS=$PWD/$EMU/host_programs
    MODULE_DIR=$PWD/$EMU/emu_module
    BENCH=(bench_gpu_backward_emu 64 2 4)
    ENGINES=(bench_gpu_engines_emu 100000 300 2)
    TARGETS=(vorn_gpu_emu bench_gpu_backward_emu bench_gpu_engines_emu)
else
    BUILD=${BUILD_DIR:-build/gpu-check}
    MODULE_DIR=$PWD/$BUILD
    BENCH=(bench_gpu_backward 1024 16 4)
    ENGINES=(bench_gpu_engines 4000000 20000 16)
    TARGETS=(vorn_gpu vorn_ptx bench_gpu_backward bench_gpu_engines)
fi
LOGS=$BUILD/gpu-check-logs
mkdir -p "$LOGS"
failures=0

# check NAME COMMAND...: runs COMMAND with its output in $LOGS/NAME.log and
# prints one line; a failure shows the log's tail.
check() {
    local name=$1 start=$SECONDS
    shift
    if "$@" >"$LOGS/$name.log" 2>&1; then
        printf 'PASS %-12s %4ds\n' "$name" $((SECONDS - start))
        return 0
    fi
    printf 'FAIL %-12s %4ds  (%s)\n' "$name" $((SECONDS - start)) "$LOGS/$name.log"
    tail -n 15 "$LOGS/$name.log" | sed 's/^/     | /'
    failures=$((failures + 1))
    return 1
}

prerequisites() {
    local missing=0
    for tool in cmake nvcc "$PY"; do
        command -v "$tool" >/dev/null 2>&1 || { echo "missing: $tool"; missing=1; }
    done
    "$PY" -c "import numpy, pybind11, pytest" || { echo "missing: numpy, pybind11 or pytest"; missing=1; }
    nvcc --version | tail -n 2
    [ "$MODE" = "--emulated" ] && return $missing
    command -v nvidia-smi >/dev/null 2>&1 || { echo "missing: nvidia-smi (no NVIDIA driver)"; return 1; }
    local driver
    driver=$(nvidia-smi --query-gpu=name,driver_version --format=csv,noheader | head -n 1)
    echo "GPU: $driver"
    local major=${driver##*, }
    major=${major%%.*}
    if [ "${major:-0}" -lt 570 ]; then
        echo "driver $major is older than R570 (OptiX ABI 105 needs R570)"
        return 1
    fi
    local cuda_major
    cuda_major=$(nvcc --version | sed -n 's/.*release \([0-9]*\)\..*/\1/p')
    if [ "$major" -lt 580 ] && [ "${cuda_major:-0}" -ge 13 ]; then
        echo "nvcc $cuda_major writes PTX ISA 9.0, which R$major drivers refuse: use CUDA 12.8"
        return 1
    fi
    return $missing
}

build() {
    cmake -S . -B "$BUILD" -DVORN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release \
        -DPython_EXECUTABLE="$(command -v "$PY")" &&
        cmake --build "$BUILD" -j"$(nproc)" --target "${TARGETS[@]}"
}

ptx() {
    "$PY" gpu/tests/check_ptx.py --ptxas "$(dirname "$(command -v nvcc)")/ptxas" \
        --expect raygen_backward:__raygen__backward \
        --expect closesthit:__closesthit__radiance,__closesthit__shadow \
        --expect miss:__miss__radiance,__miss__shadow \
        --expect raygen_forward:__raygen__forward \
        --expect raygen_lidar:__raygen__lidar \
        --expect raygen_eb_rrt:__raygen__eb_rrt,__miss__eb_rrt,__closesthit__eb_rrt,__raygen__eb_rrt_multiband \
        --params raygen_backward:904 --params closesthit:904 --params miss:904 \
        --params raygen_forward:904 --params raygen_lidar:904 --params raygen_eb_rrt:904 \
        "$BUILD/vorn_gpu_ptx"
}

# One Lambertian triangle under the zenith sun in a uniform sky, seen from
# above: pixels on it show rho E / pi + rho L, pixels beside it the sky L.
triangle() {
    PYTHONPATH=$MODULE_DIR "$PY" - <<'EOF'
import math
import numpy as np
import vorn_gpu
ctx = vorn_gpu.OptiXContext()
print(ctx.device_name())
scene = vorn_gpu.SceneManager(ctx)
scene.set_num_bands(1)
scene.upload_spectral_params(np.array([0.5, math.pi, 2.0], np.float32))
scene.add_material(0, 0)
scene.add_mesh(np.array([[-1, -1, 0], [1, -1, 0], [-1, 1, 0]], np.float32),
               np.zeros((0, 3), np.float32), np.array([[0, 1, 2]], np.int32), 0)
scene.set_emitter(0, np.array([0, 0, 1], np.float32), 1)
scene.set_sky(2)
scene.set_sensor(0, 4, 4, 2.0, 2.0, np.array([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 5, 0, 0, 0, 1], np.float32))
scene.build()
img = vorn_gpu.Simulator(ctx, vorn_gpu.PTX_DIR).simulate(scene, spp=4, max_depth=2)[..., 0]
hit, miss = img[0, 0], img[3, 3]  # (x, y) = (0, 0) lies on the triangle, (3, 3) beside it
assert abs(hit - (0.5 + 0.5 * 2.0)) < 1e-5, hit
assert miss == 2.0, miss
print("hit", hit, "miss", miss)
EOF
}

tests() {
    PYTHONPATH=$MODULE_DIR "$PY" -m pytest -q -p no:cacheprovider \
        tests/python/test_gpu_simulator.py tests/python/test_gpu_engines.py \
        tests/python/test_physics_*.py
}

# bench_run NAME ARGS...: one GPU benchmark (the emulated build keeps them in gpu_tests/).
bench_run() {
    local bench=$BUILD/$1
    [ "$MODE" = "--emulated" ] && bench=$BUILD/gpu_tests/$1
    "$bench" "$BUILD/vorn_gpu_ptx" "${@:2}"
}
bench() { bench_run "${BENCH[@]}"; }
engines() { bench_run "${ENGINES[@]}"; }

echo "VORN GPU check ($MODE) in $BUILD"
check prerequisites prerequisites || { echo "1 check failed"; exit 1; }
check build build || { echo "the build failed; nothing else can run"; exit 1; }
check ptx ptx
check triangle triangle
check tests tests && grep -E '(passed|failed)' "$LOGS/tests.log" | tail -n 1 | sed 's/^/     /'
if check bench bench; then
    grep -E '^(gpu |cpu |gpu / cpu|largest)' "$LOGS/bench.log" | sed 's/^/     /'
fi
if check engines engines; then
    grep -E '^(canopy|gpu |cpu |gpu / cpu)' "$LOGS/engines.log" | sed 's/^/     /'
fi
echo "$failures check(s) failed"
[ "$failures" -eq 0 ]
