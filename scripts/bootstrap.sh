#!/usr/bin/env bash
# Finds a CPython 3.14 with headers and venv, installing it from Debian's
# unstable suite when it is missing, then prints the interpreter's path.
# With --dbg: the same for the debug interpreter (python3.14d, package
# python3.14-dbg), which the reference-leak run builds the engine for.
set -euo pipefail

WANT=release
[ "${1:-}" = "--dbg" ] && WANT=dbg

have_py() {
    local py="$1"
    command -v "$py" >/dev/null 2>&1 || return 1
    "$py" - <<'PY' >/dev/null 2>&1 || return 1
import sys, sysconfig, os, ensurepip, venv
assert sys.version_info[:2] == (3, 14)
inc = sysconfig.get_paths()["include"]
assert os.path.exists(os.path.join(inc, "Python.h"))
PY
}

# ISA-L's inflate library for tavrinex._inflate, where it can be installed
# (Debian, as root or with sudo); the build takes zlib without it, so a
# failure here is reported, not fatal. TAVRINEX_NO_ISAL=1 skips it.
install_isal() {
    [ -e /usr/include/isa-l/igzip_lib.h ] && return 0
    [ -n "${TAVRINEX_NO_ISAL:-}" ] && return 0
    [ -r /etc/debian_version ] || return 0
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        sudo -n true 2>/dev/null || { echo "bootstrap: no root; building with zlib, not ISA-L" >&2; return 0; }
        sudo="sudo -n"
    fi
    echo "bootstrap: installing libisal-dev" >&2
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q libisal-dev >&2 \
        || { $sudo apt-get update -q >&2 \
             && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q libisal-dev >&2; } \
        || echo "bootstrap: libisal-dev could not be installed; building with zlib" >&2
    return 0
}

if [ "$WANT" = dbg ]; then
    PY="${PYTHON_DBG:-python3.14d}"
    pkgs=(python3.14-dbg python3.14-venv python3-pip-whl python3-setuptools-whl)
else
    PY="${PYTHON:-python3.14}"
    pkgs=(python3.14-dev python3.14-venv python3-pip-whl python3-setuptools-whl)
    install_isal
fi
if have_py "$PY"; then
    command -v "$PY"
    exit 0
fi

if [ ! -r /etc/debian_version ]; then
    echo "bootstrap: CPython 3.14 with headers is required (set PYTHON)" >&2
    exit 1
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

# Take the mirror URI and signing key from the machine's own Debian source.
uri=""; key=""
if [ -r /etc/apt/sources.list.d/debian.sources ]; then
    uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources)
    key=$(awk '/^Signed-By:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources)
elif [ -r /etc/apt/sources.list ]; then
    uri=$(awk '$1 == "deb" && $0 !~ /security/ { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' /etc/apt/sources.list)
fi
if [ -z "$uri" ]; then
    echo "bootstrap: cannot find the Debian mirror in the apt sources" >&2
    exit 1
fi
[ -n "$key" ] || key=/usr/share/keyrings/debian-archive-keyring.gpg

echo "bootstrap: installing ${pkgs[0]} from Debian unstable" >&2
$SUDO tee /etc/apt/sources.list.d/tavrinex-sid.sources >/dev/null <<SRC
Types: deb
URIs: $uri
Suites: sid
Components: main
Signed-By: $key
SRC
$SUDO tee /etc/apt/preferences.d/tavrinex-sid.pref >/dev/null <<PREF
Package: *
Pin: release n=sid
Pin-Priority: 100
PREF

export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q >&2
opts=(-y -q -t sid -o Dpkg::Options::=--force-overwrite)
for attempt in 1 2 3; do
    if $SUDO apt-get install "${opts[@]}" "${pkgs[@]}" >&2; then
        break
    fi
    echo "bootstrap: install attempt $attempt failed; repairing" >&2
    $SUDO apt-get --fix-broken install -y -q -o Dpkg::Options::=--force-overwrite >&2 || true
done

if have_py "$PY"; then
    command -v "$PY"
    exit 0
fi
echo "bootstrap: $PY is still not usable" >&2
exit 1
