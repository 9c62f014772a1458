#!/usr/bin/env bash
# Installs everything the tests need and runs every test: the C++ unit tests, then the Python
# suite against the installed module and against the other deliverables' flavours built for
# this machine (darwin's square root; nt's margin, overflow message and OpenMP loops, with one
# thread and with four), a short fuzzing run of the kernels, and the suite under the sanitizers.
source "$(dirname "$0")/setup.sh" libgtest-dev binutils
python -m pip install --quiet ".[test]"

build="$ROOT/build/test"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCELLPROX_BUILD_TESTS=ON \
  -DCELLPROX_BUILD_MODULE=OFF -DCELLPROX_FLAVOURS=ON -DPython_EXECUTABLE="$(command -v python)" \
  >/dev/null
cmake --build "$build" --parallel 2
ctest --test-dir "$build" --output-on-failure

# From outside the source tree, so that the modules under test are the built ones.
cd "$ROOT/tests/python"
pytest=(python -m pytest -q -p no:cacheprovider "$@")
echo "== cellprox_gnu (installed)"
CELLPROX_MODULE=cellprox_gnu "${pytest[@]}"
echo "== cellprox_darwin flavour"
CELLPROX_MODULE=cellprox_darwin PYTHONPATH="$build/flavours" "${pytest[@]}"
echo "== cellprox_nt flavour, OMP_NUM_THREADS=1"
CELLPROX_MODULE=cellprox_nt PYTHONPATH="$build/flavours" OMP_NUM_THREADS=1 "${pytest[@]}"
echo "== cellprox_nt flavour, OMP_NUM_THREADS=4"
CELLPROX_MODULE=cellprox_nt PYTHONPATH="$build/flavours" OMP_NUM_THREADS=4 "${pytest[@]}"

# Safety: a short fuzzing run of the kernels, then the whole suite once more against a module built
# with AddressSanitizer and UndefinedBehaviorSanitizer (last, so that pytest's summary closes the run).
bash "$ROOT/scripts/fuzz.sh" 20
bash "$ROOT/scripts/sanitize.sh" "$@"
