#!/usr/bin/env bash
# Installs every Debian package QRV needs to build, test, fuzz and run.
# Packages that are already installed are skipped, so this is cheap to re-run.
set -euo pipefail

PACKAGES=(
  # toolchain
  build-essential cmake ninja-build pkg-config git clang libclang-rt-dev llvm
  # test and benchmark frameworks
  libgtest-dev libgmock-dev libbenchmark-dev
  # GUI toolkit
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl-dev
  # the toolkit's own dialogs (file pickers, standard buttons) in Chinese
  qt6-translations-l10n
  # media: decoding for preview, the ffmpeg program for test recordings
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libswresample-dev ffmpeg
  libsdl2-dev
  # result-file cipher, volume probing
  libssl-dev libblkid-dev
  # evidence containers (EnCase .E01/.Ex01): the library and ewfacquire for test containers
  libewf-dev ewf-tools
  # ddrescuelog reads the bad-sector maps imaging writes (tests check it agrees)
  gddrescue
  # well-formedness checks of the carve report in tests
  libxml2-utils
  # file-system tools for test images (mount holds losetup for the loop-device tests)
  dosfstools exfatprogs ntfs-3g mtools fdisk util-linux mount coreutils
  # udisks2 client (sd-bus), a private bus for its tests
  libsystemd-dev dbus-daemon
  # package: dpkg-shlibdeps, the desktop entry and metainfo validators
  dpkg-dev desktop-file-utils appstream
  # file systems the output guard is tested on (loop devices, a disk it cannot map)
  e2fsprogs btrfs-progs
  # headless GUI runs and Chinese text
  xvfb xauth fonts-noto-cjk
  # a comma-decimal locale (de_DE.UTF-8) for the tests of locale-independent numbers
  locales
)

# Makes de_DE.UTF-8 when it is missing (its tests skip without it).
make_locale() {
  if locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8'; then return 0; fi
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  $sudo localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "deps: could not make the de_DE.UTF-8 locale"
}

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "deps: all ${#PACKAGES[@]} packages already installed"
  make_locale
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
make_locale
