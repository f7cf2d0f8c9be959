#!/usr/bin/env bash
# The tests' directories: the organisation on 127.0.0.2, the faulty one on 127.0.0.3 (whose
# msExchReplayLag has octet string syntax there). fixture.sh start|stop WORKDIR
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/directory.sh"
work=${2:?usage: fixture.sh start|stop WORKDIR}
case "$1" in
  start)
    mkdir -p "$work"
    sed "/NAME 'msExchReplayLag'/s/EQUALITY caseIgnoreMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.15/EQUALITY octetStringMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.40/" \
      "$here/qmx_exchange.schema" >"$work/faulty.schema"
    directory_start "$work/organisation" 127.0.0.2 "$here/organisation.ldif" &&
      directory_start "$work/faulty" 127.0.0.3 "$here/faulty.ldif" "$work/faulty.schema" ;;
  stop)
    directory_stop "$work/organisation"
    directory_stop "$work/faulty"
    rm -rf "$work" ;;
  *) echo "usage: fixture.sh start|stop WORKDIR" >&2; exit 2 ;;
esac
