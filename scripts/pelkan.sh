#!/usr/bin/env bash
# Installs what is missing, builds Pelkan (release) and starts the desktop program `pelkan` with the
# repository folder as its home (its pelkan.ini, schedule.ini and epg.sqlite live there), or the
# folder of PELKAN_HOME when that is set. An installed pelkan started from the menu uses
# ~/.local/share/pelkan instead, as the recorder service does. Without a display it says so and
# shows the two other ways: a virtual display (xvfb-run) or the headless pelkan-cli.
set -euo pipefail
cd "$(dirname "$0")/.."
export PELKAN_HOME="${PELKAN_HOME:-$PWD}"
echo "pelkan: home $PELKAN_HOME (pelkan.ini, schedule.ini, epg.sqlite)" >&2
scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELKAN_TESTS=OFF -DPELKAN_BENCH=OFF >/dev/null
cmake --build build/release
bin=build/release/src
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" && -z "${QT_QPA_PLATFORM:-}" ]]; then
  cat >&2 <<TEXT
pelkan: there is no display here (neither DISPLAY nor WAYLAND_DISPLAY is set).
  Start it in a virtual display:   xvfb-run -a $bin/ui/pelkan
  or use the headless tool:        $bin/cli/pelkan-cli capture --seconds 10 --record out.ts
TEXT
  exit 1
fi
exec "$bin/ui/pelkan" "$@"
