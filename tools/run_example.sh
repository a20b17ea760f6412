#!/usr/bin/env bash
# Builds and installs tracequill, then prints the timeline of a profile (by
# default the small sample home shipped in examples/) and writes it to a file.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/bootstrap.sh
python3 -m pip install -q .
exec python3 examples/timeline.py "$@"
