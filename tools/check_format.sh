#!/usr/bin/env bash
# Fails when a tracked C++ file differs from what the pinned formatter (Debian
# 12's clang-format 14, whose output other versions don't always match) makes
# of it under the repository's .clang-format. `clang-format-14 -i FILE` fixes one.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format-14 --dry-run -Werror
echo "format: every C++ file matches .clang-format"
