#!/usr/bin/env bash
# Installs the Debian packages the build, the program and the tests need, when missing.
# Safe to run again: it does nothing when everything is there.
set -euo pipefail

# The third line: the package's manual pages (help2man) and Debian's checks of the package, its
# menu entry and its software centre entry, which the package test runs. The last: the
# serial-to-network server that the network tests put in front of the emulator.
packages=(cmake g++ make pkg-config qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev
          xvfb xauth fonts-dejavu-core
          help2man lintian desktop-file-utils appstream
          ser2net)
if [ "${VIRTA_WITH_CLANG:-0}" = 1 ]; then
  packages+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  sudo=()
elif command -v sudo >/dev/null 2>&1; then
  sudo=(sudo)
else
  echo "These Debian packages are missing and this user cannot install them: ${missing[*]}" >&2
  echo "Install them as root (apt-get install ${missing[*]}) and run this again." >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
