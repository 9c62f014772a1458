# Sourced by the other scripts: makes the project's virtual environment and the system packages
# it needs ready on a fresh machine, and puts the environment first on PATH.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

need_apt=()
for package in "$@"; do
  dpkg -s "$package" >/dev/null 2>&1 || need_apt+=("$package")
done
if [ ${#need_apt[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

if [ ! -x "$VENV/bin/python" ]; then
  python_cmd="$(command -v python3.11 || command -v python3)"
  "$python_cmd" -m venv "$VENV"
fi
export PATH="$VENV/bin:$PATH"
source "$ROOT/scripts/environment.sh"
export PIP_DISABLE_PIP_VERSION_CHECK=1
cd "$ROOT"

