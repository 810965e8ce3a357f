#!/usr/bin/env bash
# Installs every Debian package the project needs. Safe to run again: packages
# already present are skipped, and nothing is fetched when all are there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config ccache
  libgtest-dev libgmock-dev
  libasio-dev libudev-dev libicu-dev uuid-dev
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libqt6svg6
  libcli11-dev nlohmann-json3-dev libsystemd-dev dbus-daemon dbus-session-bus-common
  xvfb xauth x11-utils
  udev
  doxygen help2man lintian dpkg-dev fakeroot file
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update -qq
# One line per package, rather than minutes of silence.
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" |
  { grep --line-buffered -E '^(Unpacking|Setting up) ' || true; }
