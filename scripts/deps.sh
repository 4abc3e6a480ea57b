#!/usr/bin/env bash
# Installs the Debian 12 packages the build needs, only those that are missing.
set -euo pipefail
packages=(build-essential cmake pkg-config git libavformat-dev libavcodec-dev libavutil-dev
          libswscale-dev libsystemd-dev libgtest-dev libgmock-dev libbenchmark-dev ffmpeg
          systemd dpkg-dev man-db qt6-base-dev xvfb xauth xdotool x11-apps imagemagick
          libcpp-httplib-dev chromium chromium-driver python3-selenium
          libsqlite3-dev sqlite3 rsync openssh-client openssh-server
          libmosquitto-dev mosquitto mosquitto-clients)
missing=()
for p in "${packages[@]}"; do
  [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" = "install ok installed" ] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
