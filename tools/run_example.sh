#!/usr/bin/env bash
# Builds tracequill into the project's virtual environment (.venv at the top of
# the repository) and runs its `tracequill` command with the given arguments,
# by default on the sample home in examples/. Works from any directory: paths
# are the caller's.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
"$TQ_ROOT/tools/bootstrap.sh"
tq_venv "$TQ_VENV" "${PYTHON:-python3}" build
tq_install "$TQ_VENV"
[ $# -gt 0 ] || set -- "$TQ_ROOT/examples/sample-home"
exec "$TQ_VENV/bin/python" -m tracequill "$@"
