#!/usr/bin/env bash
# Installs the package with the demo's extras (scipy, matplotlib) and numpy 1.x, which the raw
# kernels and the README's tour need, into .venv, and runs the demo: a box
# fractured into Voronoi cells, its neighbours found, a summary printed and a picture written
# (to build/cellprox-demo.png unless --output says otherwise).
# Arguments go to the demo, and paths in them are taken from the folder it is run in; see:
# bash scripts/demo.sh --help
demo_args=("$@")
caller="$PWD"
set --    # setup.sh takes its own arguments as system packages to install
source "$(dirname "$0")/setup.sh"

# Reinstalling rebuilds the module (seconds), so it happens only when what the install is made
# from has changed since the last one: the sources, the build files and the extras (in
# pyproject.toml), fingerprinted together with their paths. The stamp lives in the virtual
# environment, so a new environment always starts with an install.
sources_fingerprint() {
  find CMakeLists.txt pyproject.toml kernels module platform python -type f \
    ! -path '*/__pycache__/*' ! -name '*.pyc' -print0 | LC_ALL=C sort -z \
    | xargs -0 sha256sum | sha256sum | cut -d' ' -f1
}
installed() {
  python - <<'EOF'
import importlib.util, sys
import numpy
sys.exit(any(importlib.util.find_spec(m) is None for m in ("cellprox", "scipy", "matplotlib", "tqdm"))
         or not numpy.__version__.startswith("1."))
EOF
}
stamp="$VENV/.cellprox-demo-install"
fingerprint="$(sources_fingerprint)"
if [ "$(cat "$stamp" 2>/dev/null)" != "$fingerprint" ] || ! installed; then
  rm -f "$stamp"
  echo "scripts/demo.sh: installing cellprox and the demo's tools (scipy, matplotlib, tqdm)" \
    "into .venv; the first time this takes about a minute" >&2
  numpy_1_notice scripts/demo.sh
  python -m pip install --quiet ".[demo]" "$NUMPY_1"
  echo "$fingerprint" > "$stamp"
fi
mkdir -p build
output="$ROOT/build/cellprox-demo.png"
[ "$caller" != "$ROOT" ] || output="build/cellprox-demo.png"
cd "$caller"
CELLPROX_DEMO_OUTPUT="$output" exec python -m cellprox demo "${demo_args[@]}"
