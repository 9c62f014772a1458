#!/usr/bin/env bash
# Benchmarks the kernels: the C++ microbenchmarks (Google Benchmark), then the module against
# the direct algorithm (the baseline library), numpy and scipy peers, and an OpenMP build of the
# module on one and two threads, with the speed targets. Options go to bench/run.py, e.g.
#   bash scripts/bench.sh                    # the quick set (a few minutes)
#   bash scripts/bench.sh --full --markdown docs/bench-table.md --json build/bench/results.json
#   bash scripts/bench.sh --repeat 7 --kinds voronoi
# See python bench/run.py --help. Set CELLPROX_BENCH_SKIP_MICRO=1 to skip the microbenchmarks,
# CELLPROX_BENCH_SKIP_JOURNEY=1 to skip find_neighbors' search (bench/journey.py),
# CELLPROX_BENCH_SKIP_HULL=1 to skip the hull rule's benchmark (bench/hull.py, run last).
source "$(dirname "$0")/setup.sh" libbenchmark-dev
python -m pip install --quiet ".[bench]"
# coal, the hull rule's peer, without its dependency pins (they would replace numpy 1.x); where it
# cannot be had, the hull benchmark leaves its columns empty.
python -m pip install --quiet --no-deps -r bench/coal-requirements.txt \
  || echo "coal is not installed: the hull benchmark runs without it"

python_exe="$(command -v python)"
build="$ROOT/build/bench"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCELLPROX_BUILD_BENCH=ON \
  -DCELLPROX_BUILD_MODULE=OFF -DPython_EXECUTABLE="$python_exe" >/dev/null
cmake --build "$build" --parallel 2 --target cellprox_baseline_gnu cellprox_microbench >/dev/null

# The module with its loops on an OpenMP team, for its speed-up on the machine's cores.
omp="$ROOT/build/bench-omp"
cmake -S . -B "$omp" -DCMAKE_BUILD_TYPE=Release -DCELLPROX_OPENMP=ON -DCELLPROX_FLAVOURS=OFF \
  -DPython_EXECUTABLE="$python_exe" >/dev/null
cmake --build "$omp" --parallel 2 --target cellprox_gnu >/dev/null

if [ "${CELLPROX_BENCH_SKIP_MICRO:-0}" != 1 ]; then
  echo "== microbenchmarks (per core)"
  "$build/bench/cellprox_microbench" --benchmark_min_time=0.2 2>&1 | grep -v "^\*\*\*WARNING"
  echo
fi

echo "== kernels"
# OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE, set on some machines for old OpenBLAS builds, slow a
# current numpy down: unset for this command only, so the numpy peer runs at its own speed.
env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python "$ROOT/bench/run.py" "$@"

if [ "${CELLPROX_BENCH_SKIP_JOURNEY:-0}" != 1 ]; then
  echo
  echo "== find_neighbors' own search (python bench/journey.py --help)"
  python "$ROOT/bench/journey.py"
fi

if [ "${CELLPROX_BENCH_SKIP_HULL:-0}" != 1 ]; then
  echo
  echo "== the hull rule against coal and python-fcl (python bench/hull.py --help)"
  env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python "$ROOT/bench/hull.py"
fi
