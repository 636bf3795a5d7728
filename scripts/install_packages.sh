#!/usr/bin/env bash
# install_packages PACKAGE...: installs the Debian packages that are not installed yet; apt is
# only asked when one is missing. Works as root without sudo and with no terminal on stdin.
# Sourced by setup.sh and setup_bench.sh.
install_packages() {
  local missing=() p sudo_cmd=""
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  [ "${#missing[@]}" -gt 0 ] || return 0
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -q
  $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
}
