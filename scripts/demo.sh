#!/usr/bin/env bash
# Builds the agent and runs it in console mode under Wine on an embedded default environment:
# an Exchange 2010 SP1 server (Mailbox, Client Access, Hub Transport), a configuration file, a log
# directory, and the PDH stand-in with the shipped sample snapshot. Everything lives under build/.
# Runs until Ctrl-C, then stops the agent in order. With --once it stops by itself after showing
# the tables (a start-up benchmark: it reports the time from process start to all tables loaded).
set -euo pipefail
ONCE=0
[ "${1:-}" = "--once" ] && ONCE=1
source "$(dirname "$0")/common.sh"

bash "$ROOT/scripts/setup.sh"
cmake -S "$ROOT" -B "$BUILD/win" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$BUILD/win" -j"$JOBS" qmx_agent >/dev/null
ninja -C "$BUILD/win" -j"$JOBS" >/dev/null 2>&1 || true   # companion DLLs, when present

DEMO="$BUILD/demo"
mkdir -p "$DEMO/logs" "$DEMO/config"
win() { echo "Z:${1//\//\\}"; }
HOST=$(hostname | cut -d. -f1)
LOGS=$(win "$DEMO/logs")
CONFIG=$(win "$DEMO/config")

# Registry: the agent's primary key (copied into this host's instance key at first start) and an
# Exchange 2010 SP1 installation with three roles.
cat >"$DEMO/demo.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvel\\QMX\\Ver610\\Primary\\Environment]
"VORTA_SIT_PATH"="${CONFIG//\\/\\\\}"
"VORTA_LOG_PATH"="${LOGS//\\/\\\\}"
"JBX_RAS1"="ERROR (UNIT:zrt FLOW)"
"JBX_RAS1_LOG"="${LOGS//\\/\\\\}\\\\host_qmx_agent_demo-.log"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\ExchangeServer\\v14\\Setup]
"MsiProductMajor"=dword:0000000e
"MsiProductMinor"=dword:00000001

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\ExchangeServer\\v14\\MailboxRole]
[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\ExchangeServer\\v14\\ClientAccessRole]
[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\ExchangeServer\\v14\\HubTransportRole]
REG
wineserver -p 2>/dev/null || true   # may already be running
wine regedit /S "$(win "$DEMO/demo.reg")"

# The configuration file: "<host>_ex.cfg" (host name cut to 15 characters).
cat >"$DEMO/config/${HOST:0:15}_ex.cfg" <<CFG
SECTION=EXCH
exchange_interval=30
exchange_server=$HOST
exchange_reach_enable=0
exchange_mailbox_enable=0
exchange_topology_interval=300
CFG

export QMX_PDH_SNAPSHOT
QMX_PDH_SNAPSHOT=$(win "$ROOT/resources/pdh_snapshot_demo.tsv")
# Until the registry environment is loaded the trace goes where these say.
export VORTA_SIT_PATH="$CONFIG" VORTA_LOG_PATH="$LOGS"
export JBX_RAS1="ERROR (UNIT:zrt FLOW)" JBX_RAS1_LOG="$LOGS\\host_qmx_agent_demo-.log"

# The directory (scripts/directory.sh): topology and availability-group rows, this host a member.
source "$ROOT/scripts/directory.sh"
directory_demo_start "$DEMO/directory" 127.0.0.5 "$HOST" &&
  export QMX_AD_SERVER=127.0.0.5 QMX_AD_BIND=simple QMX_EXCH_DOMAIN=qmxtest &&
  wine reg add 'HKLM\Cluster' /f >/dev/null 2>&1 || echo "demo: no directory; MSRTOPO and MSEDAG stay empty"

export PXR_HTTP_ADDRESS="${PXR_HTTP_ADDRESS:-127.0.0.1:19610}"
export PXR_SAMPLE_INTERVAL="${PXR_SAMPLE_INTERVAL:-30}"
URL="http://$PXR_HTTP_ADDRESS"

echo "demo: agent     $BUILD/win/bin/qmx_agent.exe (console mode)"
echo "demo: config    $DEMO/config/${HOST:0:15}_ex.cfg"
echo "demo: trace     $DEMO/logs/ (host_qmx_*.log)"
echo "demo: stderr    $DEMO/logs/agent_stderr.log"
echo "demo: snapshot  $ROOT/resources/pdh_snapshot_demo.tsv (sample data)"

cd "$BUILD/win/bin"
# Progress lines (one per sample) go to a file so the table below stays readable.
T0=$(date +%s.%N)
wine qmx_agent.exe TEST 2>"$DEMO/logs/agent_stderr.log" &
AGENT=$!
stop() {
  echo "demo: stopping the agent"
  kill -INT "$AGENT" 2>/dev/null || true
  wait "$AGENT" 2>/dev/null || true
  # The Exchange and agent keys were the demo's own; the tests expect a machine without them.
  wine reg delete 'HKLM\SOFTWARE\Microsoft\ExchangeServer' /f >/dev/null 2>&1 || true
  wine reg delete 'HKLM\SOFTWARE\Orvel' /f >/dev/null 2>&1 || true
  wine reg delete 'HKLM\Cluster' /f >/dev/null 2>&1 || true
  directory_stop "$DEMO/directory"
  wineserver -k >/dev/null 2>&1 || true
  exit 0
}
trap stop INT TERM

# Wait for the monitoring side, then show what the agent serves.
for _ in $(seq 1 120); do
  curl -sf "$URL/healthz" >/dev/null 2>&1 && break
  kill -0 "$AGENT" 2>/dev/null || { echo "demo: the agent ended early; see $DEMO/logs"; exit 1; }
  sleep 0.5
done
# The monitoring side starts once the loader has registered every table.
T1=$(date +%s.%N)
echo "demo: all tables loaded $(python3 -c "print(f'{$T1 - $T0:.2f}')") s after the process started"
sleep 3   # the counter service's second round brings the rates
echo "demo: serving   $URL  (/v1/tables, /v1/tables/NAME/rows, /metrics, /healthz)"
python3 - "$URL" <<'PY' || true
import json, sys, urllib.request
url = sys.argv[1]
def get(path):
    with urllib.request.urlopen(url + path, timeout=30) as r:
        return json.load(r)
tables = get("/v1/tables")["tables"]
print(f"\n{'table':<12} {'rows':>4}  sample values")
for t in tables:
    try:
        rows = get(f"/v1/tables/{t['name']}/rows")["rows"]
    except Exception as e:
        print(f"{t['name']:<12}  error {e}")
        continue
    shown = ""
    if rows:
        own = [a["name"] for a in t["attributes"][4:]]
        shown = ", ".join(f"{k}={rows[0][k]}" for k in own[:3] if k in rows[0])
    print(f"{t['name']:<12} {len(rows):>4}  {shown}")
print(f"\n{len(tables)} tables registered; Prometheus metrics at {url}/metrics")
PY
[ "$ONCE" = 1 ] && stop
echo "demo: press Ctrl-C to stop"
wait "$AGENT"
