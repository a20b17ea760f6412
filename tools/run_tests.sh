#!/usr/bin/env bash
# Everything the tests need, from a fresh machine: system packages, the package
# with its test extras, a build with warnings as errors running the C++ and
# Python tests, then the same tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}

tools/bootstrap.sh
python3 -m pip install -q '.[test]'

echo "== installed module: Python tests"
(cd tests && python3 -m pytest -q python)

echo "== warnings as errors: C++ and Python tests"
cmake -S . -B build/check -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTQ_WERROR=ON >/dev/null
cmake --build build/check -j "$jobs"
ctest --test-dir build/check --output-on-failure -j "$jobs"
(cd tests && PYTHONPATH="$PWD/../build/check" python3 -m pytest -q python)

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: C++ and Python tests"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTQ_WERROR=ON -DTQ_SANITIZE=ON >/dev/null
cmake --build build/sanitize -j "$jobs"
ctest --test-dir build/sanitize --output-on-failure -j "$jobs"
# The interpreter itself is not instrumented: preload the runtime, use the
# system allocator so ASan sees every block, and leave CPython's exit-time
# allocations out of the leak check.
(cd tests && LD_PRELOAD="$(g++ -print-file-name=libasan.so)" PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  PYTHONPATH="$PWD/../build/sanitize" python3 -m pytest -q -p no:cacheprovider python)
echo "== all tests passed"
