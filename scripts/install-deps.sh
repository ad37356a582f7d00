#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
  build-essential cmake pkg-config binutils clang-format time file dpkg-dev \
  libgtest-dev googletest nlohmann-json3-dev \
  libx264-dev libopenh264-dev libyuv-dev \
  libpulse-dev libpocketsphinx-dev libsphinxbase-dev pocketsphinx pocketsphinx-en-us libsoxr-dev \
  libwebrtc-audio-processing-dev \
  ffmpeg fonts-dejavu-core flite espeak-ng sox pulseaudio pulseaudio-utils python3 chromium \
  opencv-doc >/dev/null
