#!/usr/bin/env bash
# Installs what building and testing Mosaicer needs on Debian 12; safe to run again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libgl-dev fonts-dejavu-core fonts-liberation2
  libjpeg62-turbo-dev libjpeg-turbo-progs
  libpng-dev libgumbo-dev
  python3 chromium
  libgtest-dev libgmock-dev libbenchmark-dev
  clang file
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
