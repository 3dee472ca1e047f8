#!/usr/bin/env bash
# Builds the Debian packages from this tree in one command:
#   bash scripts/build-packages.sh [build folder]        (default: build-packages)
# A Release build without sanitizers or tests, in a folder of its own that starts empty, with
# Debian's hardening flags (dpkg-buildflags), installed under /usr; then cpack makes
#   <build folder>/packages/tarvik_<version>_<arch>.deb       the program (no Qt)
#   <build folder>/packages/tarvik-gui_<version>_<arch>.deb   the window (only when Qt 6 is there)
# The build needs what scripts/install-deps.sh installs.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-packages}

for tool in cmake cpack dpkg-buildflags dpkg-shlibdeps gzip file; do
  command -v "$tool" >/dev/null || {
    echo "build-packages: $tool is missing; run scripts/install-deps.sh first" >&2
    exit 1
  }
done

rm -rf "$build"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
CFLAGS="$(dpkg-buildflags --get CFLAGS) $cppflags"
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $cppflags"
LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
export CFLAGS CXXFLAGS LDFLAGS
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DTARVIK_TESTS=OFF -DTARVIK_SANITIZE=OFF -DTARVIK_BENCH=OFF -DTARVIK_FUZZ=OFF
cmake --build "$build" -j"$(nproc)"
(cd "$build" && cpack -G DEB)
echo
echo "Packages in $build/packages:"
ls -l "$build"/packages/*.deb
