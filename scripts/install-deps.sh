#!/usr/bin/env bash
# Installs every Debian package Kestrelvox needs to build, run and test.
# Safe to run again: packages already present are skipped.
set -euo pipefail

packages=(
  # build
  build-essential cmake pkg-config clang libclang-rt-14-dev
  libgtest-dev googletest libbenchmark-dev
  libgtk-3-dev libgsm1-dev libasound2-dev
  # kestrelvox-file: sound files and rate conversion
  libsndfile1-dev libsamplerate0-dev
  # icons drawn from the SVG; desktop entry and man pages checked; dpkg-shlibdeps for the package
  librsvg2-bin desktop-file-utils man-db dpkg-dev
  # whole-program tests: network namespaces, display, simulated sound card, speech
  iproute2 xvfb openbox xdotool wmctrl x11-utils imagemagick
  dbus at-spi2-core python3-gi gir1.2-atspi-2.0
  alsa-oss jackd2 libasound2-plugins alsa-utils
  espeak-ng sox libgsm-tools python3-numpy python3-pytest python3-pytest-timeout
  dante-server
  # H.263 decoder tests: an independent encoder and decoder (black box)
  ffmpeg
  # the Debian package: lintian checks it, debootstrap makes the root of its clean-install test
  lintian debootstrap
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
