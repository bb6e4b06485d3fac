#!/usr/bin/env bash
# provision-python.sh [PREFIX] -- a private CPython 3.14 with headers on Debian 12.
#
# Debian 12 ships no python3.14. This unpacks Debian testing's python3.14 packages, with the
# newer runtime libraries they need (libc6, libstdc++6, libssl, ...), into PREFIX and points
# the interpreter at PREFIX's own dynamic loader and libraries. The system is not touched:
# apt runs on a private sources list, state and cache in a temporary directory (of /etc/apt
# only apt.conf.d is read, for a proxy), so nothing in /etc/apt, /var/lib/apt or dpkg's
# database is written and no system package can be upgraded.
#
# PREFIX defaults to $BRENVALE_PYTHON_PREFIX, else /opt/cpython-3.14. Idempotent. Prints the
# interpreter's path on stdout; progress goes to stderr.
# Env: BRENVALE_PYTHON_SUITE (default forky; sid also has python3.14),
#      BRENVALE_PYTHON_MIRROR (default http://deb.debian.org/debian).
set -euo pipefail

P=$(realpath -m "${1:-${BRENVALE_PYTHON_PREFIX:-/opt/cpython-3.14}}")
PY=$P/usr/bin/python3.14
LIBDIR=$P/usr/lib/x86_64-linux-gnu
SUITE=${BRENVALE_PYTHON_SUITE:-forky}
MIRROR=${BRENVALE_PYTHON_MIRROR:-http://deb.debian.org/debian}
KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg

works() {
    [ -f "$P/usr/include/python3.14/Python.h" ] &&
        "$PY" -c 'import sys, ssl, sqlite3, ctypes; assert sys.version_info[:2] == (3, 14)' 2>/dev/null
}
if works; then echo "$PY"; exit 0; fi
if [ -e "$P" ]; then
    echo "provision-python: $P exists but is not a working CPython 3.14; remove it first" >&2
    exit 1
fi
[ "$(uname -m)" = x86_64 ] || { echo "provision-python: only x86_64 is supported" >&2; exit 1; }
for tool in apt-get dpkg-deb tar xargs; do
    command -v "$tool" >/dev/null || { echo "provision-python: $tool is required (Debian 12)" >&2; exit 1; }
done
[ -f "$KEYRING" ] || { echo "provision-python: $KEYRING missing (debian-archive-keyring)" >&2; exit 1; }

echo "provision-python: installing CPython 3.14 into $P" >&2
W=$(mktemp -d)
trap 'rm -rf "$W" "$P.partial"' EXIT
mkdir -p "$W/lists/partial" "$W/archives/partial" "$W/empty"
: > "$W/status"
{
    echo "deb [signed-by=$KEYRING] $MIRROR $SUITE main"
    echo "deb [signed-by=$KEYRING] $MIRROR bookworm main"
} > "$W/sources.list"
APT=(apt-get -qq
     -o Dir::Etc::SourceList="$W/sources.list" -o Dir::Etc::SourceParts="$W/empty"
     -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts="$W/empty"
     -o Dir::State::Lists="$W/lists" -o Dir::State::status="$W/status"
     -o Dir::Cache="$W" -o Dir::Cache::Archives="$W/archives" -o Dir::Cache::pkgcache=pkgcache.bin
     -o Debug::NoLocking=1 -o APT::Sandbox::User="$(id -un)" -o Acquire::Languages=none
     -o Acquire::Check-Valid-Until=false -o Acquire::Check-Date=false)
"${APT[@]}" update >&2
# With an empty package state apt downloads the whole dependency closure, newer libc6
# included. libc6-dbg: valgrind refuses a stripped ld.so, and gdb wants glibc's symbols.
"${APT[@]}" install -y --download-only --no-install-recommends \
    python3.14-dev python3.14-venv libstdc++6 libc6-dbg >&2
# patchelf from bookworm, which runs on this host (testing's 0.18 corrupts this non-PIE
# interpreter binary).
(cd "$W" && "${APT[@]}" download patchelf/bookworm >&2 && dpkg-deb -x patchelf_*.deb pe)

debs=()
for deb in "$W"/archives/*.deb; do
    case ${deb##*/} in
        *python3.14*) debs+=("$deb") ;;   # interpreter, standard library, headers, ensurepip
        *-dev_*|*-dev-bin_*|*-dbg_*) ;;   # libc6-dev, linux-libc-dev, ...: keep the system's headers
        *) debs+=("$deb") ;;              # runtime closure: libc6, libstdc++6, libssl3t64, zlib1g, ...
    esac
done
mkdir -p "$P.partial/usr/lib/x86_64-linux-gnu/.debug"   # where .gnu_debuglink files are looked up
printf '%s\0' "${debs[@]}" | xargs -0 -P8 -I{} dpkg-deb -x {} "$P.partial"
dpkg-deb --fsys-tarfile "$W"/archives/libc6-dbg_*.deb |
    tar -x -C "$P.partial/usr/lib/x86_64-linux-gnu/.debug" --wildcards --transform='s#.*/##' '*.debug'
# Own loader, and an RPATH (DT_RPATH also serves the dependencies of dlopen()ed extensions).
"$W/pe/usr/bin/patchelf" --set-interpreter "$LIBDIR/ld-linux-x86-64.so.2" \
    --force-rpath --set-rpath "$LIBDIR" "$P.partial/usr/bin/python3.14"
# Debian's include/python3.14/pyconfig.h only includes the multiarch one; make the include
# directory that sysconfig reports sufficient on its own.
cp "$P.partial/usr/include/x86_64-linux-gnu/python3.14/pyconfig.h" "$P.partial/usr/include/python3.14/pyconfig.h"
# sysconfig's INCLUDEPY, LIBDIR, LIBPL, WHEEL_PKG_DIR, ... are baked-in /usr paths.
sed -i "s#: '/usr/\(include\|lib\|share/python-wheels\)\([/']\)#: '$P/usr/\1\2#" \
    "$P.partial"/usr/lib/python3.14/_sysconfigdata__linux_*.py
mv "$P.partial" "$P"
if ! works; then
    echo "provision-python: $PY does not work" >&2
    "$PY" -c 'import ssl, sqlite3, ctypes' >&2 || true
    exit 1
fi
echo "$PY"
