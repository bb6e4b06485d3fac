# find-python.sh -- sourced by scripts/setup.sh and bench/run.sh: where a CPython 3.14 with
# its headers is looked for, without provisioning one.

# usable_python PATH: whether PATH runs a CPython 3.14 whose headers are installed.
usable_python() {
    [ -n "$1" ] && [ -x "$1" ] && "$1" - <<'PY' >/dev/null 2>&1
import os, sys, sysconfig
assert sys.version_info[:2] == (3, 14)
assert os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
PY
}

# existing_python: prints the first usable interpreter of $BRENVALE_PYTHON (only it, when
# set), python3.14 on PATH, $BRENVALE_PYTHON_PREFIX, /opt/cpython-3.14 and
# ~/.local/opt/cpython-3.14 (private installs); fails when there is none.
existing_python() {
    if [ -n "${BRENVALE_PYTHON:-}" ]; then
        usable_python "$BRENVALE_PYTHON" && echo "$BRENVALE_PYTHON"
        return
    fi
    local candidate
    for candidate in "$(command -v python3.14 || true)" \
            ${BRENVALE_PYTHON_PREFIX:+"$BRENVALE_PYTHON_PREFIX/usr/bin/python3.14"} \
            /opt/cpython-3.14/usr/bin/python3.14 "$HOME/.local/opt/cpython-3.14/usr/bin/python3.14"; do
        if usable_python "$candidate"; then echo "$candidate"; return; fi
    done
    return 1
}
