#!/usr/bin/env bash
# The agent's package under Wine's msiexec: a silent install with properties, an upgrade to a
# higher version, and the removal, each checked on the files, the registry, the COM class and the
# service. Ends with "N passed, N failed" for its checks; exit 0 only when none failed.
#   msi_test.sh BINDIR WORKDIR
set -uo pipefail
source "$(dirname "$0")/../../scripts/common.sh"
BINDIR=$(cd "$1" && pwd)
WORK=$2
PORT=19737
HOST=$(hostname | cut -d. -f1)
HOST=${HOST:0:15}
QMX="$WINEPREFIX/drive_c/Program Files/Orvel/QMX"
CLSID="{6F1C2D3E-4B5A-4C7D-9E8F-0A1B2C3D4E5F}"
PROGID=Orvel.QMXSRV.DUZOVEV1
win() { echo "Z:${1//\//\\}"; }

passed=0 failed=0
check() {  # check "what" command...
  local what=$1; shift
  local out
  if out=$("$@" 2>&1); then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $what"; [ -z "$out" ] || echo "$out" | head -5; fi
}
not() { ! "$@"; }
same() { [ "$1" = "$2" ] || { echo "  got '$1', want '$2'" >&2; return 1; }; }
# A registry value's data as reg.exe shows it ("" when the value does not exist).
regval() {
  wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
    sed -nE "s/^ +$2 +REG_[A-Z_]+ +(.*)$/\1/p; s/^ +\(Default\) +REG_[A-Z_]+ +(.*)$/\1/p"
}
regdefault() {
  wine reg query "$1" /ve 2>/dev/null | tr -d '\r' | sed -nE 's/^ +\(Default\) +REG_[A-Z_]+ +(.*)$/\1/p'
}
service_state() { wine sc query qmx_agent 2>/dev/null | tr -d '\r' | sed -nE 's/^ +STATE +: ([0-9]+).*/\1/p'; }
healthz() {  # healthz: the agent answers on the address the property gave, within 60 s
  for _ in $(seq 1 120); do
    curl -sf -m 2 "http://127.0.0.1:$PORT/healthz" | grep -q '"status": *"ok"' && return 0
    sleep 0.5
  done
  return 1
}
# The running service maps the installed qmx_agent.exe as it is now (not a replaced older file).
runs_installed_binary() {
  local inode pid
  inode=$(stat -c %i "$QMX/bin/qmx_agent.exe") || return 1
  for pid in $(pgrep -f 'Orvel.QMX.bin.qmx_agent.exe'); do
    grep -q " $inode .*/Orvel/QMX/bin/qmx_agent.exe$" "/proc/$pid/maps" 2>/dev/null && return 0
  done
  return 1
}
file_table() { msiinfo export "$1" File | tail -n +4 | cut -f3 | sort; }
product_code() { msiinfo export "$1" Property | tr -d '\r' | sed -nE 's/^ProductCode\t//p'; }
installed() { wine reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$1" >/dev/null 2>&1; }

cleanup() {
  for v in 2 1; do [ -f "$WORK/v$v.msi" ] && wine msiexec /x "$(win "$WORK/v$v.msi")" /qn >/dev/null 2>&1; done
  wine sc stop qmx_agent >/dev/null 2>&1
  wine sc delete qmx_agent >/dev/null 2>&1
  wine reg delete "HKCR\\CLSID\\$CLSID" /f >/dev/null 2>&1
  wine reg delete "HKCR\\$PROGID" /f >/dev/null 2>&1
  wine reg delete 'HKLM\SOFTWARE\Orvel' /f >/dev/null 2>&1
  wine reg delete 'HKLM\SOFTWARE\Microsoft\ExchangeServer' /f >/dev/null 2>&1
  rm -rf "$WINEPREFIX/drive_c/Program Files/Orvel" "$WINEPREFIX/drive_c/Program"
}

rm -rf "$WORK" && mkdir -p "$WORK/bin2"
# Version 2 differs from version 1 in its agent's bytes, so that the upgrade's binary can be told.
grep -vE '^\s*(#|$)' "$ROOT/installer/files.txt" | while read -r file _; do
  [ -f "$BINDIR/$file" ] && cp "$BINDIR/$file" "$WORK/bin2/"
done
printf 'upgrade build' >>"$WORK/bin2/qmx_agent.exe"
bash "$ROOT/scripts/package.sh" --version 6.10.1 --bin "$BINDIR" --out "$WORK/v1.msi" || exit 1
bash "$ROOT/scripts/package.sh" --version 6.10.2 --bin "$WORK/bin2" --out "$WORK/v2.msi" || exit 1
cleanup
trap cleanup EXIT

# The package holds exactly the listed files that were built, never the PDH stand-in.
shipped=$(grep -vE '^\s*(#|$)' "$ROOT/installer/files.txt" |
  while read -r file _ roles; do
    if [ -f "$BINDIR/$file" ]; then echo "$file"; elif [[ "$roles" != *optional* ]]; then echo "MISSING:$file"; fi
  done | sort)
check "File table holds exactly the shipped files" same "$(file_table "$WORK/v1.msi")" "$shipped"
check "no pdh.dll in the package" not grep -qi pdh.dll <(file_table "$WORK/v1.msi")

# An Exchange 2010 SP1 mailbox server in the registry, as the agent expects to find one.
cat >"$WORK/exchange.reg" <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\ExchangeServer\v14\Setup]
"MsiProductMajor"=dword:0000000e
"MsiProductMinor"=dword:00000001

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\ExchangeServer\v14\MailboxRole]
REG
wine regedit /S "$(win "$WORK/exchange.reg")"

echo "== install 6.10.1"
wine msiexec /i "$(win "$WORK/v1.msi")" /qn PXR_HTTP_ADDRESS=127.0.0.1:$PORT PXR_SAMPLE_INTERVAL=45 \
  QMX_EXCH_SERVER=exch-test-01
check "msiexec /i exits 0" same "$?" 0
check "bin holds the shipped files" same "$(cd "$QMX/bin" && ls | sort)" \
  "$(grep -vE '^\s*(#|$)' "$ROOT/installer/files.txt" | awk '$2 == "BINDIR" {print $1}' | while read -r f; do [ -f "$BINDIR/$f" ] && echo "$f"; done | sort)"
check "the agent's parent folder holds the shipped mail programs" same "$(cd "$QMX" && ls -p | grep -v / | sort)" \
  "$(grep -vE '^\s*(#|$)' "$ROOT/installer/files.txt" | awk '$2 == "QMXDIR" {print $1}' | while read -r f; do [ -f "$BINDIR/$f" ] && echo "$f"; done | sort)"
check "installed statistics tool is the built one" cmp "$QMX/qmxmbstat.exe" "$BINDIR/qmxmbstat.exe"
check "installed agent is the built one" cmp "$QMX/bin/qmx_agent.exe" "$BINDIR/qmx_agent.exe"
check "qmxews.exe in the parent of the log folder" cmp "$QMX/qmxews.exe" "$BINDIR/qmxews.exe"
check "configuration folder created" test -d "$QMX/config"
check "log folder created" test -d "$QMX/logs"
PRIMARY='HKLM\SOFTWARE\Orvel\QMX\Ver610\Primary\Environment'
SETTINGS='HKLM\SOFTWARE\Orvel\QMX\Ver610\Environment'
check "VORTA_SIT_PATH" same "$(regval "$PRIMARY" VORTA_SIT_PATH)" 'C:\Program Files\Orvel\QMX\config'
check "VORTA_LOG_PATH" same "$(regval "$PRIMARY" VORTA_LOG_PATH)" 'C:\Program Files\Orvel\QMX\logs'
check "PXR_HTTP_ADDRESS" same "$(regval "$SETTINGS" PXR_HTTP_ADDRESS)" "127.0.0.1:$PORT"
check "PXR_SAMPLE_INTERVAL" same "$(regval "$SETTINGS" PXR_SAMPLE_INTERVAL)" 45
check "QMX_EXCH_SERVER" same "$(regval "$SETTINGS" QMX_EXCH_SERVER)" exch-test-01
check "ProgID names the class" same "$(regdefault "HKCR\\$PROGID\\CLSID")" "$CLSID"
check "class's server is the installed DLL" same "$(regdefault "HKCR\\CLSID\\$CLSID\\InprocServer32")" \
  'C:\Program Files\Orvel\QMX\bin\DEDAZUD.DLL'
check "class's threading model" same "$(regval "HKCR\\CLSID\\$CLSID\\InprocServer32" ThreadingModel)" Both
# The package's rows are what the DLL itself registers: its own registration changes nothing.
wine regedit /E "$(win "$WORK/class1.reg")" "HKEY_CLASSES_ROOT\\CLSID\\$CLSID"
wine regedit /E "$(win "$WORK/prog1.reg")" "HKEY_CLASSES_ROOT\\$PROGID"
wine regsvr32 /s 'C:\Program Files\Orvel\QMX\bin\DEDAZUD.DLL'
wine regedit /E "$(win "$WORK/class2.reg")" "HKEY_CLASSES_ROOT\\CLSID\\$CLSID"
wine regedit /E "$(win "$WORK/prog2.reg")" "HKEY_CLASSES_ROOT\\$PROGID"
check "DllRegisterServer writes what the package wrote (class)" cmp "$WORK/class1.reg" "$WORK/class2.reg"
check "DllRegisterServer writes what the package wrote (ProgID)" cmp "$WORK/prog1.reg" "$WORK/prog2.reg"
SVC='HKLM\System\CurrentControlSet\Services\qmx_agent'
check "service starts automatically" same "$(regval "$SVC" Start)" 0x2
check "service runs as LocalSystem" same "$(regval "$SVC" ObjectName)" LocalSystem
check "service RUNNING after install" same "$(service_state)" 4
check "/healthz answers on PXR_HTTP_ADDRESS" healthz
check "service runs the installed binary" runs_installed_binary
# The log folder's path holds a blank: the trace must still land in it, not in "C:\Program".
check "trace written into the log folder" bash -c "ls '$QMX/logs' | grep -q '^qmx_agent_.*\.log$'"
check "no trace file C:\\Program" test ! -e "$WINEPREFIX/drive_c/Program"

# What the administrator and the agent made in the meantime: configuration file, instance key
# value, a result file.
printf 'SECTION=EXCH\r\nexchange_interval=30\r\n' >"$QMX/config/${HOST}_ex.cfg"
printf 'result\r\n' >"$QMX/logs/MailBox_Details.log"
INSTANCE=$(wine reg query 'HKLM\SOFTWARE\Orvel\QMX\Ver610' 2>/dev/null | tr -d '\r' |
  grep -E '^HKEY.*\\Ver610\\[^\\]+$' | grep -vE '\\(Primary|Environment)$' | head -1)
check "agent made its instance key" test -n "$INSTANCE"
wine reg add "$INSTANCE\\Environment" /v QMX_TEST_KEEP /d kept /f >/dev/null 2>&1

echo "== upgrade to 6.10.2"
wine msiexec /i "$(win "$WORK/v2.msi")" /qn
check "msiexec /i (upgrade) exits 0" same "$?" 0
check "old version removed" not installed "$(product_code "$WORK/v1.msi")"
check "new version registered" installed "$(product_code "$WORK/v2.msi")"
check "configuration file kept" same "$(cat "$QMX/config/${HOST}_ex.cfg")" "$(printf 'SECTION=EXCH\r\nexchange_interval=30\r')"
check "result file kept" test -f "$QMX/logs/MailBox_Details.log"
check "instance key kept" same "$(regval "$INSTANCE\\Environment" QMX_TEST_KEEP)" kept
check "settings kept" same "$(regval "$SETTINGS" PXR_HTTP_ADDRESS)" "127.0.0.1:$PORT"
check "new agent installed" cmp "$QMX/bin/qmx_agent.exe" "$WORK/bin2/qmx_agent.exe"
check "service RUNNING after upgrade" same "$(service_state)" 4
check "/healthz answers after upgrade" healthz
check "service runs the new binary" runs_installed_binary

echo "== the older package refused"
wine msiexec /i "$(win "$WORK/v1.msi")" /qn
check "msiexec /i (downgrade) fails" not same "$?" 0
check "newer version still registered" installed "$(product_code "$WORK/v2.msi")"
check "older version not registered" not installed "$(product_code "$WORK/v1.msi")"
check "newer agent still installed" cmp "$QMX/bin/qmx_agent.exe" "$WORK/bin2/qmx_agent.exe"

echo "== remove"
wine msiexec /x "$(win "$WORK/v2.msi")" /qn
check "msiexec /x exits 0" same "$?" 0
check "service removed" same "$(service_state)" ""
check "no agent process left" not pgrep -f 'Orvel.QMX.bin.qmx_agent.exe'
check "ProgID removed" not wine reg query "HKCR\\$PROGID"
check "class removed" not wine reg query "HKCR\\CLSID\\$CLSID"
check "program files removed" test ! -e "$QMX/bin/qmx_agent.exe"
check "qmxews.exe removed" test ! -e "$QMX/qmxews.exe"
check "primary key values removed" same "$(regval "$PRIMARY" VORTA_SIT_PATH)" ""
check "configuration file stays" test -f "$QMX/config/${HOST}_ex.cfg"
check "log folder stays" test -f "$QMX/logs/MailBox_Details.log"
check "product unregistered" not installed "$(product_code "$WORK/v2.msi")"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
