#!/usr/bin/env bash
# deps.sh: makes sure the Debian packages tolmar builds and tests with are
# installed, installing the missing ones when run as root. Usage: deps.sh [package...]
set -euo pipefail
wanted=(cmake g++ make pkg-config libgtest-dev libbenchmark-dev libpng-dev libgdal-dev libcpp-httplib-dev nlohmann-json3-dev "$@")
missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "deps.sh: missing packages: ${missing[*]} (run as root, or install them with apt-get)" >&2
  exit 1
fi
echo "deps.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
