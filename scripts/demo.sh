#!/usr/bin/env bash
# Builds what the demo runs (the agent, the counter service DEDAZUD.DLL, the mail programs, the PDH
# stand-in in the test Wine prefix and the PowerShell stand-in) and runs the agent in console mode
# under Wine on an embedded sample environment: an Exchange 2010 SP1 server (Mailbox, Client Access,
# Hub Transport), a configuration file, a log folder, the sample counter snapshot, a directory, and
# a test EWS server for the mail reachability job. Everything lives under build/. Shows what the agent
# detected and a summary of its tables after every sampling round, until Ctrl-C.
#
#   scripts/demo.sh [--once] [--no-build]
#     --once      stop after the first summary (also a start-up benchmark: time to all tables loaded)
#     --no-build  run what is built already (the tests use it so)
#   PXR_HTTP_ADDRESS     where the agent serves (default 127.0.0.1:19610)
#   PXR_SAMPLE_INTERVAL  seconds between sampling rounds (default 30)
#   QMX_DEMO_DIR         folder of the demo's configuration and logs (default build/demo)
set -euo pipefail
ONCE=0
BUILD_IT=1
for arg in "$@"; do
  case "$arg" in
    --once) ONCE=1 ;;
    --no-build) BUILD_IT=0 ;;
    *) echo "usage: $0 [--once] [--no-build]" >&2; exit 2 ;;
  esac
done
source "$(dirname "$0")/common.sh"
fail() { echo "demo: $*" >&2; exit 1; }

if [ "$BUILD_IT" = 1 ]; then
  bash "$ROOT/scripts/setup.sh"
  # Once configured, ninja itself configures again when a CMakeLists.txt changed.
  if [ ! -f "$BUILD/win/build.ninja" ]; then
    echo "demo: configuring $BUILD/win"
    cmake -S "$ROOT" -B "$BUILD/win" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
      -DCMAKE_BUILD_TYPE=Release >"$BUILD/demo.configure.log" 2>&1 ||
      { tail -30 "$BUILD/demo.configure.log" >&2; fail "configuring the build FAILED (log: $BUILD/demo.configure.log)"; }
  fi
  # Exactly what the demo runs; ninja shows its progress ([done/total] per step).
  echo "demo: building the agent, the counter service, the mail programs and the PDH and PowerShell stand-ins (a first build takes minutes)"
  ninja -C "$BUILD/win" -j"$JOBS" qmx_agent dedazud pdh_standin qmxpasswd qmxews qmxmbstat standin_PowerShell ||
    fail "the build FAILED (see above): the demo needs qmx_agent.exe, DEDAZUD.DLL and the PDH stand-in"
fi
for f in qmx_agent.exe DEDAZUD.DLL; do
  [ -f "$BUILD/win/bin/$f" ] || fail "$BUILD/win/bin/$f is missing: run without --no-build"
done
[ -f "$WINEPREFIX/drive_c/windows/system32/pdh.dll" ] || fail "the PDH stand-in is not in $WINEPREFIX"

DEMO="${QMX_DEMO_DIR:-$BUILD/demo}"
mkdir -p "$DEMO/logs" "$DEMO/config"
rm -f "$DEMO"/logs/*.log
win() { echo "Z:${1//\//\\}"; }
HOST=$(hostname | cut -d. -f1)
LOGS=$(win "$DEMO/logs")
CONFIG=$(win "$DEMO/config")
# Flow lines of start-up and of the release detection: the demo reads what the agent found there.
RAS1="ERROR (UNIT:zrt FLOW) (UNIT:qmxcommon FLOW)"
TRACE="$LOGS\\host_qmx_agent_demo-.log"

# Registry: the agent's primary key (copied into this host's instance key at first start) and an
# Exchange 2010 SP1 installation with three roles. The agent's keys of an earlier run go first, or
# the instance key would keep that run's values.
cat >"$DEMO/demo.reg" <<REG
REGEDIT4

[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvel]
[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\ExchangeServer]

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvel\\QMX\\Ver610\\Primary\\Environment]
"VORTA_SIT_PATH"="${CONFIG//\\/\\\\}"
"VORTA_LOG_PATH"="${LOGS//\\/\\\\}"
"JBX_RAS1"="$RAS1"
"JBX_RAS1_LOG"="${TRACE//\\/\\\\}"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\ExchangeServer\\v14\\Setup]
"MsiProductMajor"=dword:0000000e
"MsiProductMinor"=dword:00000001

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\ExchangeServer\\v14\\MailboxRole]
[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\ExchangeServer\\v14\\ClientAccessRole]
[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\ExchangeServer\\v14\\HubTransportRole]
REG
OWN_SERVER=0
EWS_SERVER=""
AGENT=""
STOPPED=0
stop() {
  [ "$STOPPED" = 1 ] && return
  STOPPED=1
  if [ -n "$AGENT" ]; then
    echo "demo: stopping the agent"
    kill -INT "$AGENT" 2>/dev/null || true
    wait "$AGENT" 2>/dev/null || true
  fi
  # The Exchange and agent keys were the demo's own; the tests expect a machine without them.
  wine reg delete 'HKLM\SOFTWARE\Microsoft\ExchangeServer' /f >/dev/null 2>&1 || true
  wine reg delete 'HKLM\SOFTWARE\Orvel' /f >/dev/null 2>&1 || true
  wine reg delete 'HKLM\Cluster' /f >/dev/null 2>&1 || true
  if declare -F directory_stop >/dev/null; then directory_stop "$DEMO/directory"; fi
  if [ -n "$EWS_SERVER" ]; then kill "$EWS_SERVER" 2>/dev/null || true; wait "$EWS_SERVER" 2>/dev/null || true; fi
  if [ "$OWN_SERVER" = 1 ]; then wineserver -k >/dev/null 2>&1 || true; fi
}
trap 'stop; exit 0' INT TERM
trap stop EXIT
# A persistent wineserver makes every Wine start fast; one already running (a test run) is kept.
wineserver -p 2>/dev/null && OWN_SERVER=1
wine regedit /S "$(win "$DEMO/demo.reg")" || fail "could not import $DEMO/demo.reg into $WINEPREFIX"

# The reachability job runs the real qmxews.exe (where the agent looks for it: the parent of the
# log folder) against the test EWS server of tests/ews, reached as the agent reaches its Exchange
# server, by this host's name. It listens on the address that name resolves to, when that is a
# loopback address: two targets, the first replying 4 s after the send, the second silent.
# SAMPLE DATA, and a throwaway certificate the tool accepts by its thumbprint only.
REACH_ENABLE=0
REACH_PASSWORD=""
REACH_USER=demo
REACH_DOMAIN=qmxtest
REACH_PLAIN=demo-only-password
rm -rf "$DEMO"/qmxews* "$DEMO/ews"
EWS_ADDRESS=$(getent ahostsv4 "$HOST" 2>/dev/null | awk 'NR == 1 { print $1 }' || true)
if [[ "$EWS_ADDRESS" != 127.* ]]; then
  echo "demo: $HOST resolves to '${EWS_ADDRESS:-nothing}', not a loopback address: no EWS test server; MSEREACH stays empty"
elif ! REACH_PASSWORD=$(cd "$BUILD/win/bin" && echo "$REACH_PLAIN" | wine qmxpasswd.exe | tr -d '\r'); then
  echo "demo: qmxpasswd.exe failed; MSEREACH stays empty"
else
  mkdir -p "$DEMO/ews"
  python3 "$ROOT/tests/ews/ews_server.py" --dir "$DEMO/ews" --address "$EWS_ADDRESS" --port 443 \
    --user "$REACH_USER" --domain "$REACH_DOMAIN" --password "$REACH_PLAIN" \
    --sender "$REACH_USER@$REACH_DOMAIN" --log "$DEMO/logs/ews_server.log" \
    --target target.one@qmxtest.local=4 --target target.two@qmxtest.local=silent \
    >"$DEMO/ews/ready.txt" 2>"$DEMO/ews/errors.txt" &
  EWS_SERVER=$!
  for _ in $(seq 1 80); do
    grep -q '^ready ' "$DEMO/ews/ready.txt" 2>/dev/null && break
    kill -0 "$EWS_SERVER" 2>/dev/null || break
    sleep 0.25
  done
  if grep -q '^ready ' "$DEMO/ews/ready.txt" 2>/dev/null; then
    export QMX_EWS_TRUSTED_CERT
    QMX_EWS_TRUSTED_CERT=$(awk '/^ready / { print $2 }' "$DEMO/ews/ready.txt")
    cp "$BUILD/win/bin/qmxews.exe" "$DEMO/qmxews.exe"
    echo "demo: EWS       https://$EWS_ADDRESS/EWS/Exchange.asmx (test server, log $DEMO/logs/ews_server.log)"
    REACH_ENABLE=1
  else
    echo "demo: the EWS test server did not start on $EWS_ADDRESS:443 (in use, or no right to bind it):"
    tail -3 "$DEMO/ews/errors.txt" 2>/dev/null || true
    echo "demo: MSEREACH stays empty"
  fi
fi

# The configuration file: "<host>_ex.cfg" (host name cut to 15 characters).
cat >"$DEMO/config/${HOST:0:15}_ex.cfg" <<CFG
SECTION=EXCH
exchange_interval=30
exchange_server=$HOST
exchange_reach_enable=$REACH_ENABLE
exchange_reach_interval=60
exchange_reach_threshold=30
exchange_targets=target.one@qmxtest.local;target.two@qmxtest.local
exchange_user=$REACH_USER
exchange_domain=$REACH_DOMAIN
exchange_password=$REACH_PASSWORD
exchange_mailbox_enable=1
exchange_mailbox_interval=300
exchange_topology_interval=300
CFG

# The mailbox and public folder jobs run the real qmxmbstat.exe (the parent folder of the log
# folder); the PowerShell.exe stand-in of the test build, first on the search path, checks the
# script it is given and writes the Exchange shell's records of resources/mbstat_demo.
if [ -f "$BUILD/win/bin/qmxmbstat.exe" ] && [ -f "$BUILD/win/standins/PowerShell.exe" ]; then
  cp "$BUILD/win/bin/qmxmbstat.exe" "$DEMO/qmxmbstat.exe"
  rm -rf "$DEMO/mbstat" && cp -r "$ROOT/resources/mbstat_demo" "$DEMO/mbstat"
  export WINEPATH QMX_STANDIN_DATA QMX_STANDIN_SERVER="$HOST" \
    QMX_STANDIN_SNAPIN=Microsoft.Exchange.Management.PowerShell.E2010
  WINEPATH=$(win "$BUILD/win/standins")
  QMX_STANDIN_DATA=$(win "$DEMO/mbstat")
else
  echo "demo: qmxmbstat.exe or the PowerShell stand-in is not built; MSEMBXD and MSEPFLDD stay empty"
fi

# The stand-in in the prefix serves this sample data (made-up values, no real server's).
SNAPSHOT="$ROOT/resources/pdh_snapshot_demo.tsv"
export QMX_PDH_SNAPSHOT
QMX_PDH_SNAPSHOT=$(win "$SNAPSHOT")
# Until the registry environment is loaded the trace goes where these say.
export VORTA_SIT_PATH="$CONFIG" VORTA_LOG_PATH="$LOGS" JBX_RAS1="$RAS1" JBX_RAS1_LOG="$TRACE"


# The directory (scripts/directory.sh): topology and availability-group rows, this host a member.
source "$ROOT/scripts/directory.sh"
directory_demo_start "$DEMO/directory" 127.0.0.5 "$HOST" &&
  export QMX_AD_SERVER=127.0.0.5 QMX_AD_BIND=simple QMX_EXCH_DOMAIN=qmxtest &&
  wine reg add 'HKLM\Cluster' /f >/dev/null 2>&1 || echo "demo: no directory; MSRTOPO and MSEDAG stay empty"

export PXR_HTTP_ADDRESS="${PXR_HTTP_ADDRESS:-127.0.0.1:19610}"
export PXR_SAMPLE_INTERVAL="${PXR_SAMPLE_INTERVAL:-30}"
URL="http://$PXR_HTTP_ADDRESS"

echo "demo: agent     $BUILD/win/bin/qmx_agent.exe TEST (console mode)"
echo "demo: config    $DEMO/config/${HOST:0:15}_ex.cfg"
echo "demo: trace     $DEMO/logs/host_qmx_*.log"
echo "demo: stderr    $DEMO/logs/agent_stderr.log (one progress line per table sample)"
echo "demo: snapshot  $SNAPSHOT (SAMPLE DATA, not measured on any server)"

# Another agent (an earlier demo) on the address would answer in place of this one.
if curl -s -o /dev/null "$URL/healthz" 2>/dev/null; then
  fail "something already serves on $URL: stop it, or choose another PXR_HTTP_ADDRESS"
fi

cd "$BUILD/win/bin"
T0=$(date +%s.%N)
wine qmx_agent.exe TEST 2>"$DEMO/logs/agent_stderr.log" &
AGENT=$!

# The monitoring side answers once the loader has registered every table.
for _ in $(seq 1 240); do
  curl -sf "$URL/healthz" >/dev/null 2>&1 && break
  kill -0 "$AGENT" 2>/dev/null || fail "the agent ended early; see $DEMO/logs/agent_stderr.log and the trace"
  sleep 0.25
done
curl -sf "$URL/healthz" >/dev/null 2>&1 || fail "the agent does not answer on $URL; see $DEMO/logs"
T1=$(date +%s.%N)
echo "demo: all tables loaded $(python3 -c "print(f'{$T1 - $T0:.2f}')") s after the process started"
echo "demo: serving   $URL  (/v1/tables, /v1/tables/NAME/rows, /metrics, /healthz)"
# The role keys the agent's role check reads, as this demo's registry file writes them.
ROLES=$(grep -o '[A-Za-z]*Role\]$' "$DEMO/demo.reg" | sed 's/Role\]$//' | paste -sd' ' || true)
WATCH=(python3 "$ROOT/scripts/demo_watch.py" --url "$URL" --trace-dir "$DEMO/logs" --roles "$ROLES" --interval "$PXR_SAMPLE_INTERVAL")
[ "$ONCE" = 1 ] && WATCH+=(--once) || echo "demo: press Ctrl-C to stop"
"${WATCH[@]}" || fail "the summary could not be read from $URL"
