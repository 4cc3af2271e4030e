#!/usr/bin/env bash
# Installs what is missing, builds everything with AddressSanitizer and UndefinedBehaviorSanitizer,
# runs every test (unit tests and short fuzz runs) through CTest, builds the fuzz targets with clang
# and libFuzzer and runs each for PELKAN_FUZZ_SECONDS (default 20) seconds, builds the default
# Release configuration (tests and benchmarks included), then makes the Debian package from it and
# checks it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/install-deps.sh
# Objects already compiled for the same sources (another build folder, another clone) are taken from
# ccache; paths below the checkout count relative to it.
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPELKAN_SANITIZE=ON -DPELKAN_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build build/asan
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build/asan && ctest --output-on-failure -j "$(nproc)")

# The fuzz targets built with clang as libFuzzer programs, each run for a short while.
scripts/fuzz.sh "${PELKAN_FUZZ_SECONDS:-20}"

# The default Release configuration (tests and benchmarks on, as the README's build by hand has
# it) must build too: GCC warns about other things at -O3. The Debian package is made from it, and
# Debian's tools check the package, the desktop entry, the AppStream file and (where systemd is
# installed) the user service.
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELKAN_TESTS=ON -DPELKAN_BENCH=ON \
      "${launcher[@]}" >/dev/null
cmake --build build/release
deb=$(scripts/package.sh build/release | tail -n 1)
lintian --fail-on error,warning "$deb"
desktop-file-validate packaging/desktop/pelkan.desktop
appstreamcli validate --no-net packaging/metainfo/io.github.pelkan.Pelkan.metainfo.xml
if command -v systemd-analyze >/dev/null; then
  unit=$(mktemp -d)
  sed "s|/usr/bin/pelkan-cli|$root/build/release/src/cli/pelkan-cli|" \
      build/release/packaging/pelkan-recorder.service > "$unit/pelkan-recorder.service"
  problems=$(systemd-analyze verify --man=no "$unit/pelkan-recorder.service" 2>&1 || true)
  rm -r "$unit"
  [[ -z "$problems" ]] || { echo "$problems" >&2; exit 1; }
fi
