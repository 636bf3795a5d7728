#!/usr/bin/env bash
# Installs every Debian package qorveltools needs to build, test and run its demo.
# Quick when everything is already present: apt is only asked when a package is missing.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libjpeg62-turbo-dev libtiff-dev zlib1g-dev liblcms2-dev libstb-dev rapidjson-dev
  libgtest-dev libbenchmark-dev
  xplanet-images
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  sudo_cmd=""
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -q
  $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
