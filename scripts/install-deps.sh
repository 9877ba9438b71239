#!/usr/bin/env bash
# Installs the Debian 12 packages Zentrovane needs to build, test and run.
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config ccache
  libgtest-dev libgmock-dev googletest libbenchmark-dev zlib1g-dev
  libsqlite3-dev liblzma-dev liblzo2-dev nettle-dev libmariadb-dev libarchive-dev libasio-dev libunwind-dev
  mariadb-server mariadb-client xz-utils rsync
  libsystemd-dev systemd
  build-essential debhelper lintian
  libmicrohttpd-dev libncurses-dev
  prometheus tmux
  clang-16 libclang-rt-16-dev
  python3 iproute2
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
