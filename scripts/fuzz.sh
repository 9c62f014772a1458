#!/usr/bin/env bash
# Coverage-guided fuzzing of the kernels: builds tests/fuzz/fuzz_kernels.cpp with Clang, libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer into build/fuzz (installing Clang if it is
# missing) and runs it for the given number of seconds (default 20) from tests/fuzz/corpus.
# Further arguments go to the fuzzer. New inputs are kept in build/fuzz/corpus, and an input
# that fails is written to build/fuzz/ (replay it with: build/fuzz/tests/fuzz/fuzz_kernels FILE).
seconds="${1:-20}"
[ $# -eq 0 ] || shift
source "$(dirname "$0")/setup.sh" clang

# Debian ships libFuzzer and the sanitizer runtimes apart from the compiler.
if [ ! -f "$(clang -print-runtime-dir)/libclang_rt.fuzzer-x86_64.a" ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq \
    "libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev" >/dev/null
fi

build="$ROOT/build/fuzz"
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Release \
  -DCELLPROX_BUILD_MODULE=OFF -DCELLPROX_BUILD_FUZZERS=ON >/dev/null
cmake --build "$build" --parallel 2 --target fuzz_kernels

mkdir -p "$build/corpus"
echo "== fuzz_kernels for ${seconds} s"
# The first directory receives new inputs; the checked-in corpus is only read. The progress
# lines of each new input and the suggested dictionary are left out of the log.
"$build/tests/fuzz/fuzz_kernels" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
  -print_final_stats=1 -artifact_prefix="$build/" "$build/corpus" "$ROOT/tests/fuzz/corpus" "$@" 2>&1 |
  grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)|^"|Uses: [0-9]+|[Rr]ecommended dictionary'
