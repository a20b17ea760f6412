#!/usr/bin/env bash
# Installs the Debian packages a job needs, once per machine:
#   tools/bootstrap.sh        what building the module needs
#   tools/bootstrap.sh test   that plus what the tests need
set -euo pipefail
# A C++23 compiler, the libraries (RE2 searches text in linear time, Hyperscan
# with it finds secrets, zlib packs the page's data), pkg-config that finds RE2,
# and Debian's own Python with its headers and venv (pyenv's or another Python
# brings its own).
packages=(g++ libsimdjson-dev libssl-dev libzstd-dev libhyperscan-dev libre2-dev zlib1g-dev pkg-config python3-dev python3-venv)
if [ "${1:-}" = test ]; then
  # GoogleTest, the zstd command that compresses test rollouts, the pinned
  # formatter the format check compares with, a compiler cache so each
  # Python's build reuses the core's objects, and the browser and its driver
  # that the HTML page's tests open the page in.
  packages+=(libgtest-dev clang-format-14 ccache zstd chromium chromium-driver)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "== installing Debian packages: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
