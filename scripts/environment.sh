# Sourced by the scripts: what they agree on about the environments they make.

# .venv holds numpy 1.x, whichever of demo.sh and test.sh made it: the raw kernels are a numpy
# 1.x module and the README's tour uses them. numpy 2 is tested in an environment of its own,
# .venv-numpy2. Install with "$NUMPY_1".
NUMPY_1="numpy>=1.23,<2"

# numpy_1_notice SCRIPT [PYTHON]: says so, on standard error, when .venv's numpy is about to be
# replaced by a 1.x, rather than replace it quietly.
numpy_1_notice() {
  local found
  found=$("${2:-python}" -c 'import numpy; print(numpy.__version__)' 2>/dev/null) || return 0
  case "$found" in
    1.2[3-9].*|1.[3-9][0-9].*) ;;
    *) echo "$1: .venv holds numpy $found; installing numpy 1.x (1.23 or later, below 2) in" \
         "its place, as the raw kernels and the README's tour need (numpy 2 is tested in" \
         ".venv-numpy2)" >&2 ;;
  esac
}

# libFuzzer and the sanitizer runtimes, which Debian ships apart from Clang.
install_libfuzzer() {
  [ ! -f "$(clang -print-runtime-dir)/libclang_rt.fuzzer-x86_64.a" ] || return 0
  local sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq \
    "libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev" >/dev/null
}
