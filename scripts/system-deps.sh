#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; quick when they are already there.
set -euo pipefail
packages=(
  build-essential pkg-config ccache ninja-build openssl
  libasio-dev libssl-dev libzstd-dev liblz4-dev zlib1g-dev libb2-dev libfmt-dev
  libsqlite3-dev libpq-dev libmariadb-dev libgtest-dev libgmock-dev
)
packages+=("$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
