# Sourced by the set-up scripts: the project's virtual environments and how a
# build gets into one. Build requirements live in pyproject.toml's dependency
# groups; each environment installs a group once and again only when
# pyproject.toml changes.

TQ_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# tq_version PYTHON: prints its X.Y.
tq_version() { "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'; }

# The environment of README's commands, for the Python that `python3` or
# $PYTHON names: .venv, or .venv-X.Y when .venv holds another version (the
# name the test command gives the other versions' environments), so that a
# script always builds for the Python it was asked to.
TQ_VENV="$TQ_ROOT/.venv"
if [ -x "$TQ_VENV/bin/python" ]; then
  tq_wanted=$(tq_version "${PYTHON:-python3}" || true)
  if [ -n "$tq_wanted" ] && [ "$(tq_version "$TQ_VENV/bin/python")" != "$tq_wanted" ]; then
    TQ_VENV="$TQ_ROOT/.venv-$tq_wanted"
  fi
  unset tq_wanted
fi

# tq_venv DIR PYTHON GROUP...: makes DIR a virtual environment of PYTHON holding
# the given dependency groups.
tq_venv() {
  local dir=$1 python=$2
  shift 2
  if [ ! -x "$dir/bin/python" ]; then
    echo "== creating $dir with $("$python" -c 'import sys; print(sys.executable, sys.version.split()[0])')"
    # pip reads dependency groups from 25.1 on; a distribution's pip may be older.
    "$python" -m venv --upgrade-deps "$dir"
  fi
  # One stamp per group: the pyproject.toml it was installed from.
  local digest group missing=()
  digest=$(sha256sum "$TQ_ROOT/pyproject.toml" | cut -d' ' -f1)
  for group in "$@"; do
    [ "$(cat "$dir/.tracequill-group-$group" 2>/dev/null)" = "$digest" ] || missing+=("$group")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  local args=()
  for group in "${missing[@]}"; do args+=(--group "$TQ_ROOT/pyproject.toml:$group"); done
  echo "== installing the ${missing[*]} requirements into $dir"
  "$dir/bin/python" -m pip install -q --disable-pip-version-check "${args[@]}"
  for group in "${missing[@]}"; do echo "$digest" >"$dir/.tracequill-group-$group"; done
}

# tq_install VENV: builds the package without build isolation into the
# persistent build/<wheel tag> directory and installs it into VENV, printing the
# build's progress (the whole log is in build/install.log). The build tools come
# from VENV, so the CMake cache stays valid and a second build only recompiles
# what changed.
tq_install() {
  local venv=$1 log="$TQ_ROOT/build/install.log"
  mkdir -p "$TQ_ROOT/build"
  echo "== building tracequill and installing it into $venv"
  # pipefail (set by every caller) makes the pipeline fail when pip does.
  if ! PATH="$venv/bin:$PATH" "$venv/bin/python" -m pip install -v --disable-pip-version-check \
    --no-build-isolation --no-deps --force-reinstall "$TQ_ROOT" 2>&1 | tee "$log" |
    { grep --line-buffered -E '^ *\[[0-9]+/[0-9]+\] |warning:' || true; }; then
    tail -n 60 "$log"
    echo "== the build failed; its whole log is $log" >&2
    return 1
  fi
}

# tq_find_python X.Y: prints a CPython X.Y interpreter from PATH or pyenv.
tq_find_python() {
  local candidate
  for candidate in "python$1" "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$1".*/bin/python"$1"; do
    candidate=$(command -v "$candidate") || continue
    # A pyenv shim of a version that isn't selected fails here, and so does a
    # free-threaded build, whose modules are another ABI.
    if "$candidate" -c "import sys, sysconfig; sys.exit(sys.implementation.name != 'cpython'
      or '%d.%d' % sys.version_info[:2] != '$1' or bool(sysconfig.get_config_var('Py_GIL_DISABLED')))" \
      2>/dev/null; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

# tq_use_ccache: builds from here on go through ccache when it is installed.
# Every build compiles the same core library, most with the same flags; the
# cache turns all but the first compile of each into a copy. Paths are
# relative to the repository and the build directory's name is left out, so
# build/check and build/check-3.12 share their objects.
tq_use_ccache() {
  command -v ccache >/dev/null || return 0
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR="$TQ_ROOT" CCACHE_NOHASHDIR=true
}
