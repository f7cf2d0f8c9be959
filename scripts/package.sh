#!/usr/bin/env bash
# Builds the agent's Windows Installer package build/qmx_agent-<version>.msi with wixl from
# installer/qmx_agent.wxs and the files that installer/files.txt lists.
#   scripts/package.sh [--version X.Y.Z] [--bin DIR] [--out FILE]
# --version  default <major>.<minor>.<commits>: major and minor from the agent's version string
#            (string 5042, "610" is 6.10), the build number from the number of commits
# --bin      the folder of the built files; default: build the Windows build and take build/win/bin
# --out      the package; default build/qmx_agent-<version>.msi
set -euo pipefail
source "$(dirname "$0")/common.sh"

VERSION="" BIN="" OUT=""
while [ $# -gt 0 ]; do
  case "$1" in
    --version) VERSION=${2:?--version needs a value}; shift 2 ;;
    --bin) BIN=${2:?--bin needs a folder}; shift 2 ;;
    --out) OUT=${2:?--out needs a file}; shift 2 ;;
    *) echo "package: unknown option $1" >&2; exit 2 ;;
  esac
done

# A resource string of the agent's string table, by id.
rc_string() {
  sed -nE "s/^[[:space:]]*$1[[:space:]]+\"(.*)\"[[:space:]]*$/\1/p" "$ROOT/resources/messages.rc"
}

if [ -z "$VERSION" ]; then
  digits=$(rc_string 5042)
  [[ "$digits" =~ ^[0-9]{2,}$ ]] || { echo "package: version string 5042 is '$digits'" >&2; exit 1; }
  build=$(git -C "$ROOT" rev-list --count HEAD 2>/dev/null || echo 0)
  VERSION="${digits:0:1}.${digits:1}.$build"
fi
[[ "$VERSION" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "package: version '$VERSION' is not X.Y.Z" >&2; exit 2; }
NAME=$(rc_string 5045)
[ -n "$NAME" ] || { echo "package: product name (string 5045) not found" >&2; exit 1; }

if [ -z "$BIN" ]; then
  bash "$ROOT/scripts/setup.sh" >/dev/null
  cmake -S "$ROOT" -B "$BUILD/win" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  ninja -C "$BUILD/win" -j"$JOBS" >/dev/null
  BIN="$BUILD/win/bin"
fi
BIN=$(cd "$BIN" && pwd)
OUT=${OUT:-$BUILD/qmx_agent-$VERSION.msi}
mkdir -p "$(dirname "$OUT")"

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
python3 "$ROOT/installer/make_wxs.py" "$ROOT" "$BIN" "$WORK/shipped.wxs" >"$WORK/files"
# wixl takes the files' sources relative to the folder it runs in.
(cd "$BIN" && wixl -a x64 -o "$WORK/package.msi" -D Version="$VERSION" -D ProductName="$NAME" \
  -D ConfigFolder=config -D LogFolder=logs \
  "$ROOT/installer/qmx_agent.wxs" "$WORK/shipped.wxs")
python3 "$ROOT/installer/make_wxs.py" --finish "$WORK/package.msi"
mv -f "$WORK/package.msi" "$OUT"
echo "package: $OUT ($VERSION): $(tr '\n' ' ' <"$WORK/files")"
