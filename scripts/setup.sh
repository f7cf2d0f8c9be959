#!/usr/bin/env bash
# Installs what the build and the tests need and prepares the project's Wine prefix.
# Idempotent: with everything in place it only checks and returns.
set -euo pipefail
source "$(dirname "$0")/common.sh"

PACKAGES=(cmake ninja-build g++ make python3
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  mingw-w64-x86-64-dev mingw-w64-tools wine64 wine
  googletest libgtest-dev libbenchmark-dev clang libclang-rt-14-dev
  nlohmann-json3-dev libboost1.81-dev curl prometheus ccache wixl msitools
  slapd ldap-utils libexpat1-dev openssl)

# One dpkg-query for all: a second run of the demo starts in seconds.
installed=$(dpkg-query -W -f='${Package} ${Status}\n' "${PACKAGES[@]}" 2>/dev/null |
            awk '/ install ok installed$/ {print $1}')
missing=()
for p in "${PACKAGES[@]}"; do
  grep -qx "$p" <<<"$installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  # The test directory is set up by the tests themselves, not by the package.
  echo "slapd slapd/no_configuration boolean true" | $SUDO debconf-set-selections
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

mkdir -p "$BUILD"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "setup: creating the Wine prefix in $WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w || true
fi
echo "setup: ready"
