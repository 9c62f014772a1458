#!/usr/bin/env bash
# Installs the package and runs the main example.
source "$(dirname "$0")/setup.sh"
python -m pip install --quiet .
python examples/proximity.py "$@"
