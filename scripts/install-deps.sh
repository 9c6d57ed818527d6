#!/usr/bin/env bash
# Installs what Dorvent needs on Debian 12. Idempotent and quick when
# everything is present: apt is only called for what is missing.
#   install-deps.sh        building, testing, fuzzing, packaging, the browser tests
#   install-deps.sh demo   only what `make demo` needs: building and running dorvent-emu
set -euo pipefail

what="${1:-all}"
case "$what" in
  all|demo) ;;
  *) echo "usage: $0 [demo]" >&2; exit 2 ;;
esac

# Building the service and its card pictures (the configure step also finds
# libjpeg for the benchmarks); ss for the demo's check of its ports.
packages=(
  g++ cmake ninja-build make pkg-config
  qtbase5-dev libqt5websockets5-dev libusb-1.0-0-dev
  libjpeg62-turbo-dev
  fontconfig fonts-wqy-zenhei
  iproute2
  # the virtual reader is a target of the same tree
  libusbredirparser-dev
)
if [ "$what" = all ]; then
  packages+=(
    python3 python3-websockets
    # the resume test: a bus of its own, and a client that owns logind's name on it
    dbus-daemon python3-dbus
    clang-14 libclang-rt-14-dev
    # the Debian package and its test: CPack's dependency scan, lintian,
    # systemd-analyze, the maintainer scripts' tools
    dpkg-dev file lintian systemd adduser init-system-helpers
    # the browser tests
    chromium
    # the VM test: QEMU, the guest's initramfs tools; the guest runs this
    # machine's udev
    qemu-system-x86 busybox-static udev
  )
  # Node's own builds bundle npm; Debian's nodejs needs its npm package beside it.
  command -v node >/dev/null || packages+=(nodejs)
  command -v npm >/dev/null || packages+=(npm)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
  fi
  echo "install-deps: installing ${missing[*]} (apt-get update first)"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "install-deps: the ${#packages[@]} Debian packages needed are present"
fi

[ "$what" = demo ] && exit 0

# The browser tests' npm packages exactly as locked (playwright-core drives
# the system Chromium; no install script runs, so no browser is downloaded).
# Skipped when node_modules was installed from this very lock.
browser_tests="$(cd "$(dirname "$0")/../tests/browser" && pwd)"
if ! cmp -s "$browser_tests/package-lock.json" "$browser_tests/node_modules/.installed-from-lock"; then
  echo "install-deps: npm ci in tests/browser (the browser tests' packages)"
  (cd "$browser_tests" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
  cp "$browser_tests/package-lock.json" "$browser_tests/node_modules/.installed-from-lock"
fi
