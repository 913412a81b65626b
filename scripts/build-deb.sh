#!/usr/bin/env bash
# Builds the Debian package out/kestrelvox_<version>_<arch>.deb the way a
# distribution would: Debian's compiler and hardening flags, no -Werror, no
# tests, prefix /usr. Then runs lintian on it; an error from lintian fails
# the script, warnings and notes are only shown.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
# CMake reads CXXFLAGS and LDFLAGS but knows nothing of CPPFLAGS.
export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"

cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
  -DBUILD_TESTING=OFF -DKV_BUILD_BENCHMARKS=OFF -DKV_DEBIAN_DOCS=ON \
  -DCMAKE_STRIP="$PWD/packaging/deb-strip"
cmake --build build-deb -j"${JOBS:-2}"
(cd build-deb && cpack -G DEB)
mkdir -p out
deb=$(ls -t build-deb/kestrelvox_*.deb | head -1)
cp "$deb" out/
echo "package: out/$(basename "$deb")"
lintian --info --display-info --pedantic "out/$(basename "$deb")"
