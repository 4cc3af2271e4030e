#!/usr/bin/env bash
# Makes the Debian package pelkan_VERSION_ARCH.deb (CPack's DEB generator, dependencies computed
# from the binaries by dpkg-shlibdeps) and prints its path as the last line.
#   scripts/package.sh              installs what is missing, then configures and builds the
#                                   Release build in build/release (as scripts/run.sh does) and
#                                   packages it
#   scripts/package.sh BUILD_DIR    packages an existing Release build folder (its install prefix
#                                   is set to /usr, then it is brought up to date)
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
  echo "package.sh: $*" >&2
  exit 2
}

if [[ $# -gt 1 ]]; then
  fail "usage: scripts/package.sh [BUILD_DIR]"
elif [[ $# -eq 1 ]]; then
  build=$1
  cache="$build/CMakeCache.txt"
  [[ -f "$cache" ]] || fail "$build is not a CMake build folder"
  setting() { sed -n "s/^$1:[A-Z]*=//p" "$cache"; }
  [[ "$(setting CMAKE_BUILD_TYPE)" == Release ]] || fail "$build is not a Release build"
  for option in PELKAN_SANITIZE PELKAN_TSAN PELKAN_LIBFUZZER; do
    [[ "$(setting $option)" != ON ]] || fail "$build is built with $option; the package needs a plain Release build"
  done
  [[ "$(setting PELKAN_UI)" != OFF ]] || fail "$build is built without the desktop program (PELKAN_UI=OFF)"
  cmake "$build" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
else
  build=build/release
  scripts/install-deps.sh
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELKAN_TESTS=OFF -DPELKAN_BENCH=OFF \
        -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
fi

# The package's version is the project's; the newest changelog entry must be for it.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
changelog=$(sed -n '1s/^pelkan (\([^)]*\)).*/\1/p' packaging/debian/changelog)
[[ "$changelog" == "$version" ]] ||
  fail "packaging/debian/changelog begins with version $changelog, the project is $version: add an entry"

cmake --build "$build" >&2
rm -f "$build"/pelkan_*.deb
# Files and folders of the package get the usual modes whatever the caller's umask.
(cd "$build" && umask 022 && cpack -G DEB >&2)
ls "$build"/pelkan_"$version"_*.deb
