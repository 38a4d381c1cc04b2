#!/usr/bin/env bash
# Installs every Debian package Pikora needs to build, test, benchmark and run the demo.
# Idempotent and non-interactive; run as root (or through sudo).
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config ccache git clang-format
  qt6-base-dev qt6-multimedia-dev qt6-svg-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
  libqt6svg6 qt6-qpa-plugins
  libavcodec-dev libavutil-dev libavformat-dev libswscale-dev libx264-dev
  libturbojpeg0-dev libyuv-dev libusb-1.0-0-dev
  libxcb1-dev libxcb-shm0-dev libxcb-randr0-dev libxcb-damage0-dev libxcb-xfixes0-dev libxcb-xtest0-dev
  libpulse-dev nlohmann-json3-dev pulseaudio pulseaudio-utils
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth dbus dbus-x11 ffmpeg x11-xserver-utils python3 xdotool
  dpkg-dev file desktop-file-utils procps
  libpipewire-0.3-dev qt6-wayland grim
  sway swaybg pipewire pipewire-bin wireplumber xdg-desktop-portal xdg-desktop-portal-wlr
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#PACKAGES[@]} packages present"
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
