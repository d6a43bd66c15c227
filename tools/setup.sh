#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need.
# Safe to run again.
set -euo pipefail

packages=(
  cmake ninja-build pkg-config binutils python3
  libsoxr-dev libpulse-dev nlohmann-json3-dev libgtest-dev googletest
  libsndfile1-dev man-db
  pulseaudio pulseaudio-utils sox libsox-fmt-all espeak-ng ffmpeg
  # The Debian package: cpack's dependency list (dpkg-shlibdeps, file), and
  # the tests that run the installed helper with the toolchain hidden.
  dpkg-dev file mount
  # Private PipeWire servers for the real-capture tests.
  pipewire wireplumber pipewire-pulse dbus-daemon
)
# The guide's Node.js example host and the Node.js client are run by the
# tests; the client is packed with npm.
if ! command -v node >/dev/null 2>&1; then
  packages+=(nodejs)
fi
if ! command -v npm >/dev/null 2>&1; then
  packages+=(npm)
fi
# The Python client's wheel is built offline with Debian's setuptools and
# installed into a virtual environment.
packages+=(python3-venv python3-pip python3-setuptools python3-wheel)
# libdispatch comes with the Swift toolchain; without one, Debian's clang
# is the compiler.
if ! command -v clang++ >/dev/null 2>&1 && [ ! -x /opt/swift/usr/bin/clang++ ]; then
  packages+=(clang)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
