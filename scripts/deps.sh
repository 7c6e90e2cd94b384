#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need, when any is missing.
set -euo pipefail

packages=(
    g++ cmake make pkg-config linux-libc-dev
    qt6-base-dev qt6-svg-dev libqt6svg6
    libcrypto++-dev libqrencode-dev libssl-dev
    curl lftp python3 openssl rclone
    clang-14 libclang-rt-14-dev
    dpkg-dev desktop-file-utils appstream man-db lintian systemd zbar-tools testssl.sh
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
