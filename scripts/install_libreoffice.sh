#!/usr/bin/env bash
# Installs LibreOffice Calc without a GUI and poppler's pdftoppm, when they
# are missing and the machine can (Debian, as root or with sudo). Some tests
# read workbooks LibreOffice writes and render the PDF it makes; they are
# skipped without them, so a failure here is reported, not fatal.
# Set TAVRINEX_NO_LIBREOFFICE=1 to skip the install (about 40 s).
set -uo pipefail

if [ -n "${TAVRINEX_NO_LIBREOFFICE:-}" ]; then
    exit 0
fi
packages=()
command -v soffice >/dev/null 2>&1 || packages+=(libreoffice-calc-nogui)
command -v pdftoppm >/dev/null 2>&1 || packages+=(poppler-utils)
if [ ${#packages[@]} -eq 0 ]; then
    exit 0
fi
if [ ! -r /etc/debian_version ]; then
    echo "libreoffice: not a Debian system; its tests will be skipped" >&2
    exit 0
fi
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    if ! sudo -n true 2>/dev/null; then
        echo "libreoffice: no root; its tests will be skipped" >&2
        exit 0
    fi
    SUDO="sudo -n"
fi
echo "libreoffice: installing ${packages[*]} for the tests" >&2
if ! DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends \
        "${packages[@]}" >&2; then
    $SUDO apt-get update -q >&2 && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q \
        --no-install-recommends "${packages[@]}" >&2 \
        || echo "libreoffice: install failed; its tests will be skipped" >&2
fi
exit 0
