#!/usr/bin/env bash
# Installs the Debian 12 packages Tonvale needs to build, test and benchmark.
# As root it runs apt-get; otherwise it prints the exact apt-get line and fails.
set -euo pipefail

PACKAGES=(
  g++ cmake ninja-build pkg-config git
  qt6-base-dev libgl-dev
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libswresample-dev
  libavfilter-dev libavdevice-dev
  libcdio-dev libcdio-paranoia-dev libudev-dev
  libtag1-dev zlib1g-dev libebur128-dev
  libgtest-dev
  ffmpeg libcdio-utils cd-paranoia clang-format time bc
  xvfb xauth imagemagick xdotool fonts-dejavu-core libqt6svg6
  help2man man-db dpkg-dev file desktop-file-utils appstream
)

missing=()
for pkg in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

line="apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends ${missing[*]}"
if [[ $(id -u) -ne 0 ]]; then
  echo "Tonvale needs these Debian packages. Run as root:" >&2
  echo "  $line" >&2
  exit 1
fi
echo "Installing: ${missing[*]}" >&2
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
