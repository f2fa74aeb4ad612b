#!/usr/bin/env bash
# Installs the Debian packages the agent, its tests and the demo need; quick when they are present.
# Needs root (through sudo for a normal user) only when some are missing.
set -euo pipefail

packages=(
    cmake g++ ninja-build ccache pkg-config qttools5-dev libqt5websockets5-dev libqt5svg5
    libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libgstreamer-plugins-bad1.0-dev
    gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
    gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-nice gstreamer1.0-x
    libx11-dev libxtst-dev libxrandr-dev libxkbcommon-dev libxkbcommon-x11-dev x11-xkb-utils xvfb xdotool x11-xserver-utils x11-utils trayer
    libgtest-dev libgmock-dev clang libclang-rt-14-dev
    python3-gst-1.0 gir1.2-gst-plugins-bad-1.0 python3-aiohttp python3-xlib chromium
    iproute2 openssl xdg-utils desktop-file-utils procps nftables xterm xserver-xephyr
    dpkg-dev lintian coturn
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
    if ! command -v sudo >/dev/null; then
        echo "Missing packages; as root: apt-get install --no-install-recommends ${missing[*]}" >&2
        exit 1
    fi
fi
echo "Installing${sudo:+ with sudo}: ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
