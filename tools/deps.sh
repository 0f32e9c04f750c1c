#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Tarvel need,
# and building and checking its Debian package.
# Works as root, and through sudo for a normal user; does nothing when all are present.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-serialport-dev qt6-svg-dev libgl-dev qt6-qpa-plugins libedit-dev
    qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
    obexftp unzip
    libfuse3-dev fuse3
    clang libclang-rt-14-dev
    dpkg-dev file binutils appstream desktop-file-utils man-db groff-base
    xvfb xdotool
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
((${#missing[@]})) || exit 0

if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null; then
    as_root=(sudo)
else
    echo "These packages are missing and installing them needs root: ${missing[*]}" >&2
    exit 1
fi
echo "Installing: ${missing[*]}"
"${as_root[@]}" apt-get update
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
