#!/usr/bin/env bash
# The reachability tests' directory on 127.0.0.15: its users (reach_users.ldif) under the
# organisation's schema with the user attributes of reach.schema. reach_directory.sh start|stop WORKDIR
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/directory.sh"
work=${2:?usage: reach_directory.sh start|stop WORKDIR}
case "$1" in
  start)
    mkdir -p "$work"
    cat "$here/../directory/qmx_exchange.schema" "$here/reach.schema" >"$work/reach_full.schema" &&
      directory_start "$work/directory" 127.0.0.15 "$here/reach_users.ldif" "$work/reach_full.schema" ;;
  stop)
    directory_stop "$work/directory"
    rm -rf "$work" ;;
  *) echo "usage: reach_directory.sh start|stop WORKDIR" >&2; exit 2 ;;
esac
