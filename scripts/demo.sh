#!/usr/bin/env bash
# The program's main job: install what the build needs, build Tarvik, and start it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTARVIK_TESTS=OFF
cmake --build build -j"$(nproc)"

tarvik=build/frontend/tarvik
echo
echo "\$ $tarvik --version"
"$tarvik" --version
echo
echo "\$ $tarvik --help"
"$tarvik" --help
