# Shared by the scripts: paths and the Wine environment of the project.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"
export WINEPREFIX="$BUILD/wine"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
export WINEARCH=win64
JOBS=$(nproc 2>/dev/null || echo 2)
# Rebuilds of an unchanged tree (a second clone, a CI run after a session) come from the compiler
# cache; CMake takes the launcher from these variables when it configures a build folder.
if command -v ccache >/dev/null 2>&1; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR="$(dirname "$ROOT")" CCACHE_NOHASHDIR=1
fi
