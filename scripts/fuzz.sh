#!/usr/bin/env bash
# Coverage-guided fuzzing: builds the harnesses of tests/fuzz (the kernels, fuzz_kernels.cpp, and
# the buffer-format check, fuzz_buffer_format.cpp) with Clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer into build/fuzz (installing Clang if it is missing) and runs them for
# the given number of seconds in all (default 20; a quarter of it goes to the format check, whose
# inputs are small and fast), each from its checked-in corpus. Further arguments go to both
# fuzzers. New inputs are kept in build/fuzz/corpus and build/fuzz/corpus_buffer_format, and an
# input that fails is written to build/fuzz/ (replay it with: build/fuzz/tests/fuzz/<harness> FILE).
seconds="${1:-20}"
[ $# -eq 0 ] || shift
source "$(dirname "$0")/setup.sh" clang
install_libfuzzer

build="$ROOT/build/fuzz"
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Release \
  -DCELLPROX_BUILD_MODULE=OFF -DCELLPROX_BUILD_FUZZERS=ON >/dev/null
cmake --build "$build" --parallel 2 --target fuzz_kernels fuzz_buffer_format

format_seconds=$(( seconds / 4 > 0 ? seconds / 4 : 1 ))
kernel_seconds=$(( seconds - format_seconds > 0 ? seconds - format_seconds : 1 ))
status=0

# run HARNESS SECONDS CORPUS MAX_LEN [fuzzer arguments]: the first directory receives new inputs;
# the checked-in corpus is only read. The progress lines of each new input and the suggested
# dictionary are left out of the log.
run() {
  local harness="$1" time="$2" corpus="$3" max_len="$4"
  shift 4
  mkdir -p "$build/$corpus"
  echo "== $harness for ${time} s"
  "$build/tests/fuzz/$harness" -max_total_time="$time" -max_len="$max_len" -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$build/" "$build/$corpus" "$ROOT/tests/fuzz/$corpus" "$@" 2>&1 |
    grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)|^"|Uses: [0-9]+|[Rr]ecommended dictionary'
  return "${PIPESTATUS[0]}"
}
# The kernels last: their fuzzer's closing line is the run's (test.sh shows it).
run fuzz_buffer_format "$format_seconds" corpus_buffer_format 256 "$@" || status=$?
run fuzz_kernels "$kernel_seconds" corpus 4096 "$@" || status=$?
exit "$status"
