#!/usr/bin/env bash
# Installs what is missing, builds Pelkan (release) and runs its main job: a 10-second capture from
# the first tuner (the virtual tuner when none is attached) into out.ts, then a description of it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELKAN_TESTS=OFF -DPELKAN_BENCH=OFF >/dev/null
cmake --build build/release
cli=build/release/src/cli/pelkan-cli
"$cli" capture --seconds 10 --record out.ts
"$cli" inspect out.ts
