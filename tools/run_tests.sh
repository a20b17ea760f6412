#!/usr/bin/env bash
# Everything the tests need, from a fresh machine and from any directory: the
# Debian packages, the project's virtual environments (.venv for the Python
# that `python3` or $PYTHON names, .venv-3.X for every other CPython 3.10-3.13
# found), then
#   - the format check, and the check that src/'s folders form layers;
#   - the installed package: Python tests, mypy --strict on a client, stubtest;
#   - a build with warnings as errors: C++ tests, Python tests on every Python;
#   - a build under AddressSanitizer and UndefinedBehaviorSanitizer: C++ and
#     Python tests, printing the sanitizer's report when one fails.
# Builds persist under build/, so a second run only recompiles what changed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$TQ_ROOT"
jobs=${JOBS:-2}

tools/bootstrap.sh test
tq_venv "$TQ_VENV" "${PYTHON:-python3}" build test
# cmake, ninja and python below are the main environment's.
export PATH="$TQ_VENV/bin:$PATH"
tq_use_ccache

# pytest_on DIR PYTHON [ARGS...]: the Python tests of the module built in DIR.
pytest_on() {
  local dir=$1 python=$2
  shift 2
  (cd tests && PYTHONPATH="$dir" "$python" -m pytest -q -rs -p no:cacheprovider "$@" python)
}

# configure DIR CMAKE_ARGS...: a Ninja build of the repository in DIR.
configure() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DTQ_WERROR=ON "$@" >/dev/null
}

echo "== format"
tools/check_format.sh

echo "== layers"
python tools/check_layers.py

echo "== installed package: Python tests and types"
tq_install "$TQ_VENV"
pytest_on "" python
mypy=(python -m mypy --strict --cache-dir build/mypy-cache)
"${mypy[@]}" tests/typing/client.py
# The one error mypy must find there is the mode that doesn't exist.
wrong_mode=$("${mypy[@]}" tests/typing/wrong_mode.py || true)
if ! grep -q 'wrong_mode.py:5: error: Argument "mode"' <<<"$wrong_mode"; then
  echo "mypy did not reject the mode that does not exist in tests/typing/wrong_mode.py" >&2
  exit 1
fi
python -m mypy.stubtest --allowlist tests/typing/stubtest-allowlist.txt tracequill

main_version=$(python -c 'import sys; print("%d.%d" % sys.version_info[:2])')
echo "== warnings as errors: C++ tests, Python $main_version tests"
configure build/check -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$TQ_VENV/bin/python"
cmake --build build/check -j "$jobs"
ctest --test-dir build/check --output-on-failure -j "$jobs"
pytest_on "$TQ_ROOT/build/check" python

for version in 3.10 3.11 3.12 3.13; do
  [ "$version" != "$main_version" ] || continue
  interpreter=$(tq_find_python "$version") || {
    echo "== Python $version: not on this machine"
    continue
  }
  echo "== warnings as errors: Python $version tests ($interpreter)"
  tq_venv "$TQ_ROOT/.venv-$version" "$interpreter" test
  configure "build/check-$version" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTQ_BUILD_TESTS=OFF \
    -DPython_EXECUTABLE="$TQ_ROOT/.venv-$version/bin/python"
  cmake --build "build/check-$version" -j "$jobs"
  pytest_on "$TQ_ROOT/build/check-$version" "$TQ_ROOT/.venv-$version/bin/python"
done

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: C++ tests, Python $main_version tests"
configure build/sanitize -DCMAKE_BUILD_TYPE=Debug -DTQ_SANITIZE=ON \
  -DPython_EXECUTABLE="$TQ_VENV/bin/python"
cmake --build build/sanitize -j "$jobs"
ctest --test-dir build/sanitize --output-on-failure -j "$jobs"
# The interpreter itself is not instrumented: preload the runtime, use the
# system allocator so ASan sees every block, and leave CPython's exit-time
# allocations out of the leak check. AddressSanitizer reserves its shadow
# memory up front, so the address-space limit of the out-of-memory test can't
# apply here: that test runs in the stages above. A sanitizer aborts the
# process before pytest can show anything, so its report goes to a file shown
# here. libstdc++ is preloaded too: the interpreter doesn't link it, and the
# runtime's hook on C++ throws needs it loaded when the runtime starts
# (Hyperscan throws and catches inside its compiler). The Dask cluster's
# worker processes run the same reading and export as the tests in-process, so
# the cluster tests stay in the stages above.
asan_preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
reports="$TQ_ROOT/build/sanitize/reports"
rm -rf "$reports" && mkdir -p "$reports"
if ! LD_PRELOAD="$asan_preload" PYTHONMALLOC=malloc \
  ASAN_OPTIONS="detect_leaks=0:log_path=$reports/asan" \
  UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan" \
  pytest_on "$TQ_ROOT/build/sanitize" python -p no:faulthandler -m "not cluster" \
  --deselect tests/python/test_machine_faults.py::test_no_memory_inside_the_json_parser_is_a_memory_error \
  --deselect tests/python/test_machine_faults.py::test_a_record_of_many_blocks_is_held_once \
  --deselect tests/python/test_machine_faults.py::test_running_out_of_memory_anywhere_is_a_memory_error; then
  for report in "$reports"/*; do
    [ -e "$report" ] && echo "== $report" && cat "$report"
  done
  exit 1
fi
# Hostile trees (links swapped mid-walk, FIFOs, damaged zstd, odd transcripts)
# through every module function under the same sanitizers: a fixed run of seeds,
# so every run covers the same cases; tools/fuzz/fuzz_parse.py says how to run
# it longer.
echo "== fuzz: 80 hostile trees under AddressSanitizer + UndefinedBehaviorSanitizer"
LD_PRELOAD="$asan_preload" PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  PYTHONPATH="$TQ_ROOT/build/sanitize" python tools/fuzz/fuzz_parse.py --worker --seed 0 \
  --count 80 --stop-on-fault
echo "== all tests passed"
