#!/usr/bin/env bash
# Builds and installs tracequill, then shows the timeline of a profile with the
# `tracequill` command (by default the small sample home shipped in examples/).
# Arguments are the command's: tools/run_example.sh [PATH] [-o FILE] [-f FORMAT] ...
set -euo pipefail
cd "$(dirname "$0")/.."
tools/bootstrap.sh
python3 -m pip install -q .
if [ $# -eq 0 ] || [[ "$1" == -* ]]; then
  set -- examples/sample-home "$@"
fi
exec python3 -m tracequill --summary "$@"
