#!/usr/bin/env bash
# The program's main job. For now: install and build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTARVIK_TESTS=OFF
cmake --build build -j"$(nproc)"
