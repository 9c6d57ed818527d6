#!/usr/bin/env bash
# Installs what building, testing, fuzzing and running Dorvent need (Debian 12).
# Idempotent and quick when everything is present: apt is only called for what is missing.
set -euo pipefail

packages=(
  g++ cmake ninja-build make pkg-config
  qtbase5-dev libqt5websockets5-dev libusb-1.0-0-dev
  python3 python3-websockets iproute2
  libjpeg62-turbo-dev
  clang-14 libclang-rt-14-dev
  fontconfig fonts-wqy-zenhei
  # the Debian package and its test: CPack's dependency scan, lintian,
  # systemd-analyze, the maintainer scripts' tools
  dpkg-dev file lintian systemd adduser init-system-helpers
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
echo "install-deps: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
