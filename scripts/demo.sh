#!/usr/bin/env bash
# Installs the package with the demo's extras (scipy, matplotlib) and runs the demo: a box
# fractured into Voronoi cells, its neighbours found, a summary printed and a picture written
# (to build/cellprox-demo.png unless --output says otherwise).
# Arguments go to the demo; see: bash scripts/demo.sh --help
demo_args=("$@")
set --    # setup.sh takes its own arguments as system packages to install
source "$(dirname "$0")/setup.sh"
python -m pip install --quiet ".[demo]"
python -m cellprox demo --output build/cellprox-demo.png "${demo_args[@]}"
