#!/usr/bin/env bash
# Installs every Debian package qorveltools needs to build, test and run its demo.
# Quick when everything is already present: apt is only asked when a package is missing.
set -euo pipefail
. "$(dirname "$0")/install_packages.sh"

packages=(
  g++ cmake ninja-build pkg-config
  libjpeg62-turbo-dev libtiff-dev zlib1g-dev liblcms2-dev libstb-dev rapidjson-dev
  libssl-dev
  libgtest-dev libbenchmark-dev
  python3-cryptography
  libtiff-tools
  libxml2-utils
  xplanet-images
  clang libclang-rt-14-dev
  chromium
  lintian mandoc groff dpkg-dev fakeroot man-db
  parallel
  slurm-wlm munge
)
install_packages "${packages[@]}"
