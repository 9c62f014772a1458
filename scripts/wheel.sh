#!/usr/bin/env bash
# The release check of the Linux wheel, all of it on this machine (docs/releasing.md):
#  1. builds the source distribution and unpacks it into an empty folder;
#  2. builds the wheel from there, with the settings the CI wheel job uses (pyproject.toml,
#     [tool.cibuildwheel.linux]), so that a source file missing from the sdist fails here;
#  3. repairs it with auditwheel to the CI image's manylinux policy and checks the tag;
#  4. installs it into a fresh virtual environment holding numpy 1.x, and into another holding a
#     current numpy 2 (which it must leave as it is), from binaries only and with every compiler
#     out of reach, and runs the sdist's Python suite against it in each, from outside the source;
#  5. checks that cibuildwheel selects exactly the three intended builds.
# The checked sdist and wheel end up in dist/. Extra arguments go to pytest.
pytest_args=("$@")
set --  # setup.sh takes its arguments as system packages to install
source "$(dirname "$0")/setup.sh"
started=$SECONDS

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The release tools, without building the package itself.
python -c 'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["project"]
                                  ["optional-dependencies"]["release"], sep="\n")' >"$work/tools.txt"
python -m pip install --quiet -r "$work/tools.txt"

# The CI wheel job's image and CMake settings for Linux.
read -r policy settings < <(python - <<'EOF'
import tomllib
config = tomllib.load(open("pyproject.toml", "rb"))["tool"]["cibuildwheel"]
linux = config["linux"]
image = linux.get("manylinux-x86_64-image", config["manylinux-x86_64-image"])
settings = {**config.get("config-settings", {}), **linux.get("config-settings", {})}
print(f"{image}_x86_64", " ".join(f"-C{key}={value}" for key, value in settings.items()))
EOF
)

echo "== sdist, unpacked into an empty folder"
python -m build --sdist --outdir "$work/sdist" . >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
sdist=("$work"/sdist/*.tar.gz)
mkdir "$work/src"
tar -xzf "${sdist[0]}" -C "$work/src" --strip-components=1

echo "== wheel from the sdist ($settings)"
# shellcheck disable=SC2086  # one setting per word
python -m build --wheel --outdir "$work/raw" $settings "$work/src" >"$work/build.log" 2>&1 \
  || { cat "$work/build.log"; exit 1; }

echo "== auditwheel repair --plat $policy"
auditwheel repair --plat "$policy" -w "$work/wheelhouse" "$work"/raw/*.whl >"$work/repair.log" 2>&1 \
  || { cat "$work/repair.log"; exit 1; }
wheels=("$work"/wheelhouse/*.whl)
wheel="${wheels[0]}"
auditwheel show "$wheel" | tee "$work/show.log"
# The module may need glibc 2.14 at most; the oldest manylinux policy that allows it is
# manylinux_2_17 (manylinux2014), so that is the newest tag the wheel may require.
python - "$work/show.log" <<'EOF'
import re, sys
text = " ".join(open(sys.argv[1]).read().split())
found = re.search(r'consistent with the following platform tag: "manylinux_2_(\d+)_x86_64"', text)
if not found or int(found[1]) > 17:
    sys.exit(f"wheel.sh: the wheel must qualify for manylinux_2_17_x86_64 or older: {text}")
EOF
python -m twine check --strict "${sdist[0]}" "$wheel"

# Every compiler or build tool a source build would call fails loudly.
mkdir "$work/no-compiler"
for tool in cc c++ gcc g++ clang clang++ x86_64-linux-gnu-gcc x86_64-linux-gnu-g++ cmake ninja; do
  printf '#!/bin/sh\necho "wheel.sh: %s was called; installing the wheel must need no compiler" >&2\nexit 1\n' \
    "$tool" >"$work/no-compiler/$tool"
  chmod +x "$work/no-compiler/$tool"
done

# suite_beside_numpy MAJOR: a fresh environment that holds the newest numpy MAJOR.x before the
# wheel comes, from binaries only; installing the wheel must leave that numpy as it is. Then the
# sdist's Python suite against the installed wheel, from outside the source (under numpy 2 the
# deliverable's own tests skip: it is a numpy 1.x module).
suite_beside_numpy() (
  major="$1"
  venv="$work/venv-numpy$major"
  echo "== a fresh environment with numpy $major.x and without a compiler"
  python -m venv "$venv"
  export PATH="$work/no-compiler:$venv/bin:$PATH" CC=false CXX=false
  unset PYTHONPATH
  python -m pip install --quiet --only-binary :all: "numpy==$major.*"
  before=$(python -c 'import numpy; print(numpy.__version__)')
  python -m pip install --quiet --only-binary :all: "$wheel[test]"
  after=$(python -c 'import numpy; print(numpy.__version__)')
  if [ "$before" != "$after" ]; then
    echo "wheel.sh: installing the wheel replaced numpy $before with $after" >&2
    exit 1
  fi
  mkdir "$work/run$major"
  cd "$work/run$major"
  # What the suite imports must be the installed wheel's, not the source tree's.
  python - "$venv" <<'EOF'
import importlib.util, pathlib, sys
import cellprox
prefix = pathlib.Path(sys.argv[1]).resolve()
for name in ("cellprox", "cellprox_gnu"):
    origin = importlib.util.find_spec(name).origin
    if prefix not in pathlib.Path(origin).resolve().parents:
        sys.exit(f"wheel.sh: {name} comes from {origin}, not the new environment")
EOF
  python -m cellprox info
  echo "== the sdist's Python suite against the installed wheel, numpy $after"
  CELLPROX_MODULE=cellprox_gnu CELLPROX_WHEEL="$wheel" CELLPROX_NUMPY_MAJOR="$major" \
    python -m pytest -q -p no:cacheprovider "$work/src/tests/python" "${pytest_args[@]}"
)
suite_beside_numpy 1
suite_beside_numpy 2

echo "== builds cibuildwheel selects"
for expected in "linux cp311-manylinux_x86_64" "macos cp311-macosx_x86_64" "windows cp311-win_amd64"; do
  read -r platform identifier <<<"$expected"
  listed="$(cibuildwheel --print-build-identifiers --platform "$platform" | tr '\n' ' ')"
  if [ "$listed" != "$identifier " ]; then
    echo "wheel.sh: cibuildwheel selects '$listed' for $platform, expected '$identifier'" >&2
    exit 1
  fi
  echo "$platform: $identifier"
done

mkdir -p dist
cp "${sdist[0]}" "$wheel" dist/
echo "== checked in $((SECONDS - started)) s: dist/$(basename "${sdist[0]}") and" \
  "dist/$(basename "$wheel") ($(du -k "$wheel" | cut -f1) KiB)"
