#!/usr/bin/env bash
# Builds a wheel of tracequill for the Python of the project's environment
# (.venv) that stands alone: libcrypto (and every library found by name) is
# linked from its archive, auditwheel copies simdjson into the wheel and
# checks that the rest is what the manylinux policy allows, and the wheel is
# installed into a fresh virtual environment that sees none of the build's
# packages, where it must import and parse the sample home. The wheel lands in
# dist/; its platform tag is printed (and documented in README.md).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$TQ_ROOT"
"$TQ_ROOT/tools/bootstrap.sh"
tq_venv "$TQ_VENV" "${PYTHON:-python3}" build wheel
export PATH="$TQ_VENV/bin:$PATH"
tq_use_ccache

raw="build/wheel-raw"
rm -rf "$raw" dist && mkdir -p "$raw" dist
echo "== building the wheel (build/wheel-<tag>)"
python -m pip wheel --disable-pip-version-check --no-build-isolation --no-deps -w "$raw" \
  -C cmake.define.TQ_STATIC_DEPS=ON -C "build-dir=build/wheel-{wheel_tag}" . >build/wheel.log 2>&1 ||
  { tail -n 60 build/wheel.log; exit 1; }
echo "== auditwheel repair"
python -m auditwheel repair -w dist "$raw"/*.whl
wheel=$(ls dist/*.whl)
python -m auditwheel show "$wheel"

echo "== installing $wheel into a fresh environment"
check="build/wheel-check"
rm -rf "$check"
"$(python -c 'import sys; print(sys._base_executable)')" -m venv --without-pip "$check"
python -m pip --python "$check/bin/python" install -q --no-index --no-deps "$wheel"
(cd /tmp && "$TQ_ROOT/$check/bin/python" - "$TQ_ROOT/examples/sample-home" <<'PY'
import pathlib, subprocess, sys
import tracequill
report = tracequill.parse(sys.argv[1])
assert report["events"], "no events from the sample home"
module = pathlib.Path(tracequill.__file__)
# Everything the module loads comes from the wheel or is a library that every
# Linux has (the manylinux policy's list).
allowed = ("linux-vdso", "libc.so", "libm.so", "libstdc++.so", "libgcc_s.so", "libpthread.so",
           "libdl.so", "librt.so", "ld-linux")
wheel_libs = (module.parent.parent / "tracequill.libs").resolve()
for line in subprocess.run(["ldd", module], capture_output=True, text=True, check=True).stdout.splitlines():
    name = line.split()[0]
    target = line.split("=>")[-1].split("(")[0].strip()
    ok = pathlib.Path(name).name.startswith(allowed) or pathlib.Path(target).resolve().parent == wheel_libs
    print(("  " if ok else "  NOT ALLOWED ") + line.strip())
    assert ok, name
print(f"{len(report['events'])} events from the sample home; the module needs nothing else")
PY
)
echo "== $wheel"
