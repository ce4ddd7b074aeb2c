#!/usr/bin/env bash
# Installs, with apt-get, whatever of the build's needs this Debian or Ubuntu
# machine lacks. Runs as root or through sudo.
set -euo pipefail

needed=(cmake g++ make libbz2-dev libgtest-dev bzip2 ccache "$@")
missing=()
for package in "${needed[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
