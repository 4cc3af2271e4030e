#!/usr/bin/env bash
# Installs the Debian 12 packages Pelkan needs to build, test and run, and only those missing.
# Quiet and quick when everything is present. Uses sudo when not run as root.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  # Keeps compiled objects between builds (scripts/test.sh and fuzz.sh use it when present).
  ccache
  libgtest-dev libgmock-dev libbenchmark-dev
  libusb-1.0-0-dev qt6-base-dev libsystemd-dev libsqlite3-dev
  # The automatic reservation rules' regular expressions (match and depth limits).
  libpcre2-dev
  # The HTTP server of the live stream; curl reads it back in the tests.
  libmicrohttpd-dev curl
  # GIO, opened at run time: a recording deleted goes to the desktop's trash (g_file_trash).
  libglib2.0-0
  # xdg-open: the 録画済み window plays a recording in the desktop's player and opens its folder.
  xdg-utils
  # The web page's API reads and writes JSON with it (header-only).
  nlohmann-json3-dev
  # The web page's test in a real browser.
  chromium chromium-driver python3-selenium
  # Qt's own buttons and dialogs in Japanese (qtbase_ja.qm).
  qt6-translations-l10n
  umockdev libumockdev-dev
  clang libclang-rt-14-dev
  ffmpeg xvfb xauth xmltv-util
  # Japanese text, with the broadcast's squared symbols (U+1F100-U+1F2FF) and additional kanji;
  # the map and weather signs among its symbols (U+26C0-U+26FF and others); its temple sign U+0FD6.
  fonts-noto-cjk fonts-symbola fonts-ddc-uchen
  dbus python3-dbusmock
  lintian desktop-file-utils appstream
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
