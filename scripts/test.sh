#!/usr/bin/env bash
# Installs everything the tests need and runs every test: the C++ unit tests, then the Python
# suite against the installed module.
source "$(dirname "$0")/setup.sh" libgtest-dev
python -m pip install --quiet ".[test]"

cmake -S . -B build/cpp-tests -DCELLPROX_BUILD_TESTS=ON -DCELLPROX_BUILD_MODULE=OFF \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/cpp-tests --parallel 2
ctest --test-dir build/cpp-tests --output-on-failure

# From outside the source tree, so that the installed module is the one under test.
cd "$ROOT/tests/python"
python -m pytest -q -p no:cacheprovider "$@"
