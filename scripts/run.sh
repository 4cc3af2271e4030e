#!/usr/bin/env bash
# Installs what is missing, builds Pelkan (release) and runs its main job.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELKAN_TESTS=OFF -DPELKAN_BENCH=OFF >/dev/null
cmake --build build/release
exec build/release/src/app/pelkan-cli --help
