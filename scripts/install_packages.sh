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
  # Daemons (munge, slurmctld, slurmd) must not be started by their install scripts: without
  # systemd those starts fail or leave daemons listening. A policy-rc.d refusing every start
  # is put in place for the install only, unless the machine already has one.
  local policy=/usr/sbin/policy-rc.d own_policy=""
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $sudo_cmd tee "$policy" >/dev/null
    $sudo_cmd chmod 755 "$policy"
    own_policy=1
  fi
  local status=0
  $sudo_cmd apt-get update -q && \
    $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}" || status=$?
  if [ -n "$own_policy" ]; then $sudo_cmd rm -f "$policy"; fi
  return "$status"
}
