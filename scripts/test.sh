#!/usr/bin/env bash
# Installs everything the tests need and runs every test: the C++ unit tests, then the Python
# suite against the installed module and against the other deliverables' flavours built for
# this machine (darwin's square root; nt's margin, overflow message and OpenMP loops, with one
# thread and with four), the package's suite once more beside a current numpy 2 (in a second
# environment, .venv-numpy2), a short fuzzing run of the kernels, the suite under the
# sanitizers, and the package's thread team under ThreadSanitizer. Arguments go to pytest.
#
# After the setting up, the stages run two at a time, one a core (scripts/stages.sh): most of
# them keep one core busy, and none needs another's except where it waits for it. Each
# stage is reported in a fixed order with a heading, its time and its runner's closing line;
# while stages run, a line says which, at least every 30 seconds. What the tools print (pip,
# apt, CMake, the compiler, the tests themselves) goes to build/test.log. A failing stage shows
# its last lines and the log's path, and ends the run. The last line is the verdict.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
pytest_args=("$@")
mkdir -p "$root/build"
source "$root/scripts/environment.sh"
source "$root/scripts/stages.sh"
stages_begin "$root/build/test.log"

# The system packages of every stage (Clang and libFuzzer for the fuzzing), so that no two
# stages install at once, and .venv with numpy 1.x, where the deliverables' own tests run.
setup() {
  source "$root/scripts/setup.sh" libgtest-dev binutils clang || return
  set +e    # setup.sh asks a script to stop at the first error; stages.sh decides here
  install_libfuzzer || return
  python -m pip install ".[test]" "$NUMPY_1"
}

build="$root/build/test"
build_cpp() {
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCELLPROX_BUILD_TESTS=ON \
    -DCELLPROX_BUILD_MODULE=OFF -DCELLPROX_FLAVOURS=ON \
    -DPython_EXECUTABLE="$(command -v python)" && cmake --build "$build" --parallel 2
}

# suite MODULE [VARIABLE=VALUE ...] [-- PYTEST ARGUMENTS]: the Python suite against MODULE, from
# outside the source tree, so that the modules under test are the installed or built ones.
suite() {
  (
    cd "$root/tests/python" || exit
    local module="$1"
    shift
    while [ $# -gt 0 ] && [ "$1" != -- ]; do export "${1?}"; shift; done
    [ $# -eq 0 ] || shift
    CELLPROX_MODULE="$module" python -m pytest -q -p no:cacheprovider "${pytest_args[@]}" "$@"
  )
}

# The tests that time how long a thread waits for the interpreter lock run in the last stage,
# alone: beside another stage's work a thread may wait for a core instead, and they would fail
# for that. The other stages leave them out.
timed=(deliverable/test_soak.py deliverable/test_lock_and_memory.py package/test_journey.py)
untimed=("${timed[@]/#/--ignore=}")
timed_alone() {
  suite cellprox_gnu CELLPROX_NUMPY_MAJOR=1 -- "${timed[@]}" &&
    suite cellprox_darwin PYTHONPATH="$build/flavours" -- "${timed[@]}" &&
    suite cellprox_nt PYTHONPATH="$build/flavours" OMP_NUM_THREADS=1 -- "${timed[@]}" &&
    suite cellprox_nt PYTHONPATH="$build/flavours" OMP_NUM_THREADS=4 -- "${timed[@]}" &&
    suite cellprox_gnu CELLPROX_NUMPY_MAJOR=2 PATH="$venv2/bin:$PATH" -- "${timed[@]}" &&
    bash "$root/scripts/sanitize.sh" "${pytest_args[@]}" "${timed[@]}"
}

# The package's thread team and the kernels that run on it, under ThreadSanitizer: a race
# between the team's threads fails the stage. (It cannot follow a fork of a process with
# threads, so the fork test is left to the other builds.)
tsan="$root/build/tsan"
team_under_tsan() {
  cmake -S . -B "$tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCELLPROX_BUILD_TESTS=ON \
    -DCELLPROX_BUILD_MODULE=OFF -DCMAKE_CXX_FLAGS=-fsanitize=thread \
    -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DPython_EXECUTABLE="$(command -v python)" &&
    cmake --build "$tsan" --parallel 2 --target cellprox_package_tests &&
    TSAN_OPTIONS=halt_on_error=1 "$tsan/tests/cpp/cellprox_package_tests" \
      --gtest_filter='ThreadTeam.*:*.AnyNumberOfWorkers*:-ThreadTeam.AForked*'
}

# The package's suite in a second environment that holds a current numpy 2 before the package
# comes: installing must leave that numpy as it is. The deliverable's own tests skip there (it is
# a numpy 1.x module); everything else runs.
venv2="$root/.venv-numpy2"
setup_beside_numpy_2() {
  local before after
  [ -x "$venv2/bin/python" ] || python -m venv "$venv2" || return
  "$venv2/bin/python" -m pip install "numpy==2.*" || return
  before=$("$venv2/bin/python" -c 'import numpy; print(numpy.__version__)') || return
  "$venv2/bin/python" -m pip install ".[test]" || return
  after=$("$venv2/bin/python" -c 'import numpy; print(numpy.__version__)') || return
  if [ "$before" != "$after" ]; then
    echo "test.sh: installing the package replaced numpy $before with $after"
    return 1
  fi
  echo "numpy $after"
}

# Run alone: every other stage uses what it installs.
stage setup - "setting up: system packages, the virtual environment, the package and test tools" \
  setup
if [ -x "$root/.venv/bin/python" ]; then
  numpy_1_notice test.sh "$root/.venv/bin/python" 2>&1
fi
stages_run
export PATH="$root/.venv/bin:$PATH" PIP_DISABLE_PIP_VERSION_CHECK=1
cd "$root" || exit

# Two at a time, the longest first where they can start. The suites wait for the C++ build,
# whose baseline library the benchmark's check loads.
stage build - "building the C++ tests and the darwin and nt flavours" build_cpp
stage numpy2 - "setting up .venv-numpy2: a current numpy 2, then the package" \
  setup_beside_numpy_2
stage ctest build "C++ unit tests" ctest --test-dir "$build" --output-on-failure
stage gnu build "Python suite: cellprox_gnu (installed)" \
  suite cellprox_gnu CELLPROX_NUMPY_MAJOR=1 -- "${untimed[@]}"
# Safety: the whole suite once more against a module built with AddressSanitizer and
# UndefinedBehaviorSanitizer, and (below) a short fuzzing run of the kernels.
stage sanitize build "Python suite under AddressSanitizer and UndefinedBehaviorSanitizer" \
  bash "$root/scripts/sanitize.sh" "${pytest_args[@]}" "${untimed[@]}"
stage suite2 build,numpy2 "Python suite: the package beside numpy 2 (.venv-numpy2)" \
  suite cellprox_gnu CELLPROX_NUMPY_MAJOR=2 PATH="$venv2/bin:$PATH" -- "${untimed[@]}"
stage darwin build "Python suite: cellprox_darwin flavour" \
  suite cellprox_darwin PYTHONPATH="$build/flavours" -- "${untimed[@]}"
stage nt1 build "Python suite: cellprox_nt flavour, OMP_NUM_THREADS=1" \
  suite cellprox_nt PYTHONPATH="$build/flavours" OMP_NUM_THREADS=1 -- "${untimed[@]}"
stage nt4 build "Python suite: cellprox_nt flavour, OMP_NUM_THREADS=4" \
  suite cellprox_nt PYTHONPATH="$build/flavours" OMP_NUM_THREADS=4 -- "${untimed[@]}"
stage fuzz - "fuzzing the kernels for 20 s" bash "$root/scripts/fuzz.sh" 20
stage tsan - "the thread team's C++ tests under ThreadSanitizer" team_under_tsan
stage timed all "the lock, thread and soak tests, alone: each suite above, then the sanitizers'" \
  timed_alone
stages_run
stages_verdict
