#!/usr/bin/env bash
# Installs the Debian packages the build, the program and the tests need.
# Idempotent: packages already present are not touched, and apt is not
# called at all when nothing is missing.
set -euo pipefail

PACKAGES=(
  cmake g++ clang libclang-rt-14-dev make
  qtbase5-dev qtbase5-dev-tools qtdeclarative5-dev qtwebengine5-dev qtwebengine5-dev-tools
  libqt5webchannel5-dev qtmultimedia5-dev libqt5sql5-sqlite
  libquazip1-qt5-dev libqzxing-dev
  qml-module-qtquick2 qml-module-qtquick-window2 qml-module-qtquick-controls
  qml-module-qtquick-controls2 qml-module-qtquick-dialogs qml-module-qtquick-layouts
  qml-module-qtquick-localstorage qml-module-qtwebengine qml-module-qtwebchannel
  qml-module-qtmultimedia libqt5multimedia5-plugins
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  xvfb xauth x11-utils xdotool openbox python3 python3-xlib sqlite3 zip unzip curl procps
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
