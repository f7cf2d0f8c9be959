#!/usr/bin/env bash
# Sets up, builds the Windows build, the host build (sanitizers) and the fuzz build, runs every
# test, and ends with one line "N passed, N failed".
set -uo pipefail
source "$(dirname "$0")/common.sh"

bash "$ROOT/scripts/setup.sh" || { echo "0 passed, 1 failed"; exit 1; }

passed=0
failed=0
count() {  # count <ctest log>
  local line p t
  grep -q "No tests were found" "$1" && return
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -1)
  if [ -z "$line" ]; then failed=$((failed + 1)); return; fi
  t=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  p=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
  passed=$((passed + t - p))
  failed=$((failed + p))
}

build() {  # build <name> <cmake args...>
  local name=$1; shift
  echo "== building $name"
  if ! { cmake -S "$ROOT" -B "$BUILD/$name" -G Ninja "$@" >"$BUILD/$name.configure.log" 2>&1 &&
         ninja -C "$BUILD/$name" -j"$JOBS" >"$BUILD/$name.build.log" 2>&1; }; then
    echo "build of $name FAILED:"; tail -30 "$BUILD/$name.configure.log" "$BUILD/$name.build.log" 2>/dev/null
    failed=$((failed + 1))
    return 1
  fi
}

run() {  # run <name> <ctest args...>
  local name=$1; shift
  echo "== testing $name"
  (cd "$BUILD/$name" && ctest --output-on-failure "$@") >"$BUILD/$name.test.log" 2>&1
  grep -E '^\s*[0-9]+/[0-9]+ Test|tests passed|\*\*\*Failed|Timeout' "$BUILD/$name.test.log" | grep -vE ' Passed ' | tail -40
  count "$BUILD/$name.test.log"
}

mkdir -p "$BUILD"
build win -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release && win_ok=1 || win_ok=0
build host -DCMAKE_BUILD_TYPE=Debug && host_ok=1 || host_ok=0
build fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQMX_FUZZ=ON -DQMX_FUZZ_SECONDS="${QMX_FUZZ_SECONDS:-20}" && fuzz_ok=1 || fuzz_ok=0

[ "$host_ok" = 1 ] && run host -j"$JOBS"
if [ "$win_ok" = 1 ]; then
  # One persistent wineserver for the whole run: every Wine process starts fast.
  wineserver -k >/dev/null 2>&1 || true
  wineserver -p
  wine cmd /c exit >/dev/null 2>&1
  # The prefix is the project's own: a demo run may have left its Exchange and agent keys in it.
  wine reg delete 'HKLM\SOFTWARE\Microsoft\ExchangeServer' /f >/dev/null 2>&1 || true
  wine reg delete 'HKLM\SOFTWARE\Orvel' /f >/dev/null 2>&1 || true
  run win
  wineserver -k >/dev/null 2>&1 || true
fi
[ "$fuzz_ok" = 1 ] && run fuzz -j"$JOBS"

# The Prometheus alerting rules shipped for operators: valid, and firing as their tests say.
echo "== checking the alerting rules"
if (cd "$ROOT/resources/prometheus" && promtool check rules qmx_alerts.yml &&
    promtool test rules qmx_alerts_test.yml) >"$BUILD/alert_rules.log" 2>&1; then
  passed=$((passed + 1))
else
  echo "alerting rules FAILED:"; tail -30 "$BUILD/alert_rules.log"
  failed=$((failed + 1))
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
