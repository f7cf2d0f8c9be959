# Shared by the scripts: paths and the Wine environment of the project.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"
export WINEPREFIX="$BUILD/wine"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
export WINEARCH=win64
JOBS=$(nproc 2>/dev/null || echo 2)
