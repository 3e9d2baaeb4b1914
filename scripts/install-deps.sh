#!/usr/bin/env bash
# Installs the Debian packages Harbelle needs to build, run and test; skips what is present.
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev qt6-base-dev libssl-dev
  libsqlite3-dev libcurl4-openssl-dev nlohmann-json3-dev libsimdjson-dev libtesseract-dev tesseract-ocr-eng tesseract-ocr
  libsecret-1-dev libsecret-tools libicu-dev libatspi2.0-dev at-spi2-core libxcb1-dev libxcb-xtest0-dev libxcb-res0-dev
  libxcb-keysyms1-dev libxcb-xfixes0-dev libcpp-httplib-dev xvfb xauth openbox xclip xdotool
  x11-utils dbus gnome-keyring fonts-dejavu-core libglib2.0-dev qt6-image-formats-plugins python3-gi
  gir1.2-gtk-3.0 gir1.2-atspi-2.0 gir1.2-gtk-4.0 python3-tk xterm lxterminal
)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
