#!/usr/bin/env bash
# Installs everything the tests need and runs every test: the C++ unit tests, then the Python
# suite against the installed module and against the other deliverables' flavours built for
# this machine (darwin's square root; nt's margin, overflow message and OpenMP loops, with one
# thread and with four), the package's suite once more beside a current numpy 2 (in a second
# environment, .venv-numpy2), a short fuzzing run of the kernels, and the suite under the
# sanitizers. Arguments go to pytest.
#
# Each stage prints a heading and, when it passes, its time and its runner's closing line; what
# the tools print (pip, apt, CMake, the compiler, the tests themselves) goes to build/test.log.
# A failing stage shows its last lines and the log's path, and ends the run. The last line is
# the verdict. About 9 minutes on two cores, a few more on a fresh machine.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
log="$root/build/test.log"
mkdir -p "$root/build"
: > "$log"
pytest_args=("$@")
started=$SECONDS
passed=0

duration() {
  printf '%dm%02ds' $(($1 / 60)) $(($1 % 60))
}

# stage NAME COMMAND...: runs one stage, its output into the log. The command runs in this
# shell, so a stage may set up what later stages use.
stage() {
  local name="$1" first_line stage_started=$SECONDS
  shift
  echo "== $name"
  first_line=$(($(wc -l < "$log") + 1))
  printf '\n===== %s: %s\n' "$name" "$*" >> "$log"
  if "$@" >> "$log" 2>&1 < /dev/null; then
    passed=$((passed + 1))
    # pytest's, ctest's or libFuzzer's closing line, where the stage ran one.
    local closing
    closing=$(tail -n +"$first_line" "$log" \
      | grep -E '[0-9]+ (passed|failed)|tests passed|^Done [0-9]+ runs' | tail -n 1 \
      | sed -E 's/^=+ //; s/ =+$//')
    echo "   ok in $(duration $((SECONDS - stage_started)))${closing:+: $closing}"
    return
  fi
  echo "   FAILED after $(duration $((SECONDS - stage_started))); its last lines:"
  tail -n +"$first_line" "$log" | tail -n 60 | sed 's/^/   | /'
  echo "The whole output is in $log"
  echo "test.sh: stage '$name' failed after $passed stages passed, in" \
    "$(duration $((SECONDS - started)))"
  exit 1
}

setup() {
  source "$root/scripts/setup.sh" libgtest-dev binutils || return
  set +e    # setup.sh asks a script to stop at the first error; stage() decides here
  # numpy 1.x here, where the deliverables' own tests run; numpy 2 has its own environment.
  python -m pip install ".[test]" "numpy>=1.23,<2"
}

build="$root/build/test"
build_cpp() {
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCELLPROX_BUILD_TESTS=ON \
    -DCELLPROX_BUILD_MODULE=OFF -DCELLPROX_FLAVOURS=ON \
    -DPython_EXECUTABLE="$(command -v python)" && cmake --build "$build" --parallel 2
}

# suite MODULE [VARIABLE=VALUE ...]: the Python suite against MODULE, from outside the source
# tree, so that the modules under test are the installed or built ones.
suite() {
  (
    cd "$root/tests/python" || exit
    for assignment in "${@:2}"; do export "${assignment?}"; done
    CELLPROX_MODULE="$1" python -m pytest -q -p no:cacheprovider "${pytest_args[@]}"
  )
}

# The package's suite in a second environment that holds a current numpy 2 before the package
# comes: installing must leave that numpy as it is. The deliverable's own tests skip there (it is
# a numpy 1.x module); everything else runs.
suite_beside_numpy_2() {
  local venv="$root/.venv-numpy2" before after
  [ -x "$venv/bin/python" ] || python -m venv "$venv" || return
  "$venv/bin/python" -m pip install "numpy==2.*" || return
  before=$("$venv/bin/python" -c 'import numpy; print(numpy.__version__)') || return
  "$venv/bin/python" -m pip install ".[test]" || return
  after=$("$venv/bin/python" -c 'import numpy; print(numpy.__version__)') || return
  if [ "$before" != "$after" ]; then
    echo "test.sh: installing the package replaced numpy $before with $after"
    return 1
  fi
  echo "numpy $after"
  PATH="$venv/bin:$PATH" suite cellprox_gnu CELLPROX_NUMPY_MAJOR=2
}

stage "setting up: system packages, the virtual environment, the package and test tools" setup
stage "building the C++ tests and the darwin and nt flavours" build_cpp
stage "C++ unit tests" ctest --test-dir "$build" --output-on-failure
stage "Python suite: cellprox_gnu (installed)" suite cellprox_gnu CELLPROX_NUMPY_MAJOR=1
stage "Python suite: cellprox_darwin flavour" suite cellprox_darwin PYTHONPATH="$build/flavours"
stage "Python suite: cellprox_nt flavour, OMP_NUM_THREADS=1" \
  suite cellprox_nt PYTHONPATH="$build/flavours" OMP_NUM_THREADS=1
stage "Python suite: cellprox_nt flavour, OMP_NUM_THREADS=4" \
  suite cellprox_nt PYTHONPATH="$build/flavours" OMP_NUM_THREADS=4
stage "Python suite: the package beside numpy 2 (.venv-numpy2)" suite_beside_numpy_2
# Safety: a short fuzzing run of the kernels, then the whole suite once more against a module
# built with AddressSanitizer and UndefinedBehaviorSanitizer.
stage "fuzzing the kernels for 20 s" bash "$root/scripts/fuzz.sh" 20
stage "Python suite under AddressSanitizer and UndefinedBehaviorSanitizer" \
  bash "$root/scripts/sanitize.sh" "${pytest_args[@]}"

echo "test.sh: $passed stages passed in $(duration $((SECONDS - started)))"
