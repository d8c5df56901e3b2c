# Sourced by the scripts in this folder: picks the Python they use and sets
#   PY          the interpreter (absolute path) that gets the module and the tests
#   BUILD_KEY   a name for that interpreter; its build folders are build/<BUILD_KEY>/...
#   SUDO        "sudo" when not root and sudo exists, else ""
#
# Which Python: $PYTHON when set, else the python3 of the active virtual (or
# conda) environment. When that interpreter is externally managed (PEP 668:
# Debian's /usr/bin/python3 refuses pip installs), or when PYTHON is unset and
# no environment is active, the project environment .venv/ is used instead,
# created from that interpreter (Debian's python3-venv and python3-dev are
# installed for it when missing).

SUDO=""
if [ "$(id -u)" != 0 ] && command -v sudo >/dev/null 2>&1; then SUDO=sudo; fi

# apt_install PKG...: installs the Debian packages among PKG that are missing.
apt_install() {
    command -v dpkg-query >/dev/null 2>&1 || return 0  # not Debian: nothing to do here
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q "ok installed" \
            || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "[setup] installing from Debian: ${missing[*]}"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
}

# The facts about an interpreter the choice needs, in one start-up:
# <externally managed 0/1> <in a venv 0/1> <version> <has Python.h 0/1> <ensurepip 0/1> <base prefix>
_py_facts() {
    "$1" - <<'EOF'
import importlib.util, os, sys, sysconfig
in_venv = sys.prefix != sys.base_prefix
managed = not in_venv and os.path.isfile(
    os.path.join(sysconfig.get_path("stdlib"), "EXTERNALLY-MANAGED"))
headers = os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
pip_ok = all(importlib.util.find_spec(m) is not None for m in ("ensurepip", "venv"))
print(int(managed), int(in_venv), "%d.%d" % sys.version_info[:2], int(headers), int(pip_ok),
      os.path.realpath(sys.base_prefix))
EOF
}

# _make_venv BASE: (re)creates .venv from the interpreter BASE.
_make_venv() {
    local base=$1 managed in_venv ver headers pip_ok prefix
    read -r managed in_venv ver headers pip_ok prefix < <(_py_facts "$base")
    # Debian splits venv/ensurepip and the C headers off the interpreter.
    local need=()
    [ "$pip_ok" = 1 ] || need+=("python$ver-venv")
    [ "$headers" = 1 ] || need+=("python$ver-dev")
    if [ ${#need[@]} -gt 0 ]; then
        case "$prefix" in
            /usr) [ "$ver" = "$(/usr/bin/python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" ] \
                    && need=("${need[@]/#python$ver-/python3-}")
                  apt_install "${need[@]}" ;;
            *) echo "[setup] $base lacks ${need[*]} and is not Debian's: install them for it" >&2
               return 1 ;;
        esac
    fi
    if [ -e .venv ]; then
        echo "[setup] .venv was made from another Python; making it anew from $base (Python $ver)"
        rm -rf .venv
    else
        echo "[setup] creating the project environment .venv from $base (Python $ver)"
    fi
    "$base" -m venv .venv
}

# _venv_matches BASE: .venv exists and was made from BASE's installation.
_venv_matches() {
    [ -x .venv/bin/python ] || return 1
    local a b
    a=$(.venv/bin/python -c 'import os, sys; print(os.path.realpath(sys.base_prefix), sys.version)' 2>/dev/null) || return 1
    b=$("$1" -c 'import os, sys; print(os.path.realpath(sys.base_prefix), sys.version)') || return 1
    [ "$a" = "$b" ]
}

_choose_python() {
    local base use_venv=0
    if [ -n "${PYTHON:-}" ]; then
        base=$(command -v "$PYTHON") || { echo "[setup] PYTHON=$PYTHON: not found" >&2; return 1; }
        case "$base" in /*) ;; *) base="$(pwd -P)/$base" ;; esac
    else
        base=$(command -v python3) || base=/usr/bin/python3
        [ -n "${VIRTUAL_ENV:-}${CONDA_PREFIX:-}" ] || use_venv=1
    fi
    if [ "$use_venv" = 0 ]; then
        local managed in_venv rest
        read -r managed in_venv rest < <(_py_facts "$base") \
            || { echo "[setup] $base does not run" >&2; return 1; }
        [ "$managed" = 1 ] && use_venv=1
    fi
    if [ "$use_venv" = 1 ]; then
        # .venv/bin/python itself (or an activated .venv) needs no new one.
        if [ "$(cd "$(dirname "$base")" && pwd -P)" != "$(pwd -P)/.venv/bin" ]; then
            if [ -n "${PYTHON:-}" ]; then  # .venv must come from the interpreter named
                _venv_matches "$base" || _make_venv "$base" || return 1
            elif ! .venv/bin/python -c '' 2>/dev/null; then  # any working .venv will do
                _make_venv "$base" || return 1
            fi
        fi
        PY=$(pwd -P)/.venv/bin/python
        VORN_USES_VENV=1
    else
        PY=$base
        VORN_USES_VENV=0
    fi
    BUILD_KEY=$("$PY" -c 'import hashlib, os, sys
print("py%d.%d.%d-" % sys.version_info[:3]
      + hashlib.sha1(os.path.realpath(sys.prefix).encode()).hexdigest()[:8])')
}

_choose_python || exit 1
export PYTHON="$PY"  # the scripts this one starts take the same interpreter

# Tells, at the end of a script that used .venv, how to use it by hand.
venv_note() {
    if [ "$VORN_USES_VENV" = 1 ] && [ "${VIRTUAL_ENV:-}" != "$(pwd -P)/.venv" ]; then
        echo "[setup] vorn_gpu is installed in the project environment .venv;" \
             "to use it: source .venv/bin/activate"
    fi
}
