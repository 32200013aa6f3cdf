#!/usr/bin/env bash
# One command for every benchmark: installs kestrix and the comparison tools into a venv of
# its own (.venv-bench), then runs bench/run.py with any arguments given here, e.g.
#   bash bench/run.sh --write bench/RESULTS.md
set -euo pipefail
cd "$(dirname "$0")/.."
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1
command -v valgrind >/dev/null || { echo "valgrind is needed (apt-get install valgrind)" >&2; exit 1; }
[ -x .venv-bench/bin/python ] || python3 -m venv .venv-bench
.venv-bench/bin/pip install --quiet eth-abi pycryptodome
.venv-bench/bin/pip install --quiet ".[bulk]"
exec .venv-bench/bin/python bench/run.py "$@"
