#!/usr/bin/env bash
# Builds tracequill into the project's virtual environment (.venv at the top of
# the repository), then shows the timeline of a profile with the `tracequill`
# command, by default on the sample home in examples/. Arguments are the
# command's: tools/run_example.sh [PATH] [-o FILE] [-f FORMAT] ...
# Works from any directory: paths are the caller's.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
"$TQ_ROOT/tools/bootstrap.sh"
tq_venv "$TQ_VENV" "${PYTHON:-python3}" build
tq_install "$TQ_VENV"
if [ $# -eq 0 ] || [[ "$1" == -* ]]; then
  set -- "$TQ_ROOT/examples/sample-home" "$@"
fi
exec "$TQ_VENV/bin/python" -m tracequill --summary "$@"
