#!/usr/bin/env bash
# Installs the peer tools the benchmarks compare against (not needed to build or test).
set -euo pipefail
. "$(dirname "$0")/install_packages.sh"
install_packages libvips-tools hugin-tools libjpeg-turbo-progs nginx-light wrk bc time python3
