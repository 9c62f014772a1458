#!/usr/bin/env bash
# Builds the Linux module and the package's private modules with AddressSanitizer and
# UndefinedBehaviorSanitizer into build/sanitize and runs the whole Python suite against it. Any report fails the run.
# Extra arguments go to pytest.
source "$(dirname "$0")/setup.sh" binutils
python -c "import numpy, pytest, hypothesis" 2>/dev/null || python -m pip install --quiet ".[test]"

build="$ROOT/build/sanitize"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCELLPROX_SANITIZE=ON \
  -DCELLPROX_BUILD_MODULE=ON -DCELLPROX_DELIVERABLE=gnu \
  -DCMAKE_LIBRARY_OUTPUT_DIRECTORY="$build/modules" \
  -DPython_EXECUTABLE="$(command -v python)" >/dev/null
cmake --build "$build" --parallel 2 --target cellprox_gnu _proximity _gather
# The package from the source tree with its private modules built the same way, ahead of the
# installed one on the path.
rm -rf "$build/modules/cellprox"
cp -r "$ROOT/python/cellprox" "$build/modules/cellprox"
mv "$build/modules"/_*.so "$build/modules/cellprox/"

# The interpreter is not instrumented, so the ASan runtime must be loaded before anything
# else; children started by the tests inherit it through the environment.
# The C++ runtime comes right after it: ASan intercepts C++ throws only if it finds the real
# __cxa_throw when it starts, and extension modules written in C++ (matplotlib's) throw.
asan_runtime="$(gcc -print-file-name=libasan.so)"
cxx_runtime="$(gcc -print-file-name=libstdc++.so)"
[ -f "$asan_runtime" ] || { echo "no ASan runtime at $asan_runtime" >&2; exit 1; }

# detect_leaks=0: the interpreter leaves memory behind at exit by design.
# allocator_may_return_null=1: tests that ask for impossible sizes get MemoryError, not an abort.
# PYTHONMALLOC=malloc: every Python-side block, the module's scratch array included, comes
# from the instrumented malloc, so overruns of small blocks are caught too.
# Reports go to files, printed at the end: one from a child interpreter whose failure a test
# expects is not lost that way, and any report fails the run.
reports="$build/reports"
rm -rf "$reports" && mkdir -p "$reports"
export LD_PRELOAD="$asan_runtime $cxx_runtime"
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
export PYTHONMALLOC=malloc
export CELLPROX_SANITIZED=1
# Every path still runs, with fewer repetitions: instrumented code is a few times slower.
export CELLPROX_LEAK_CALLS="${CELLPROX_LEAK_CALLS:-1000}"
export CELLPROX_BB_EXAMPLES="${CELLPROX_BB_EXAMPLES:-250}"
export CELLPROX_SUBPROCESS_BB_EXAMPLES="${CELLPROX_SUBPROCESS_BB_EXAMPLES:-400}"

cd "$ROOT/tests/python"
echo "== cellprox_gnu under AddressSanitizer and UndefinedBehaviorSanitizer"
status=0
CELLPROX_MODULE=cellprox_gnu PYTHONPATH="$build/modules" \
  python -m pytest -q -p no:cacheprovider "$@" || status=$?
if [ -n "$(ls -A "$reports")" ]; then
  cat "$reports"/* >&2
  echo "sanitizer reports above (kept in $reports)" >&2
  exit 1
fi
exit "$status"
