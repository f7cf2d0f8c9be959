#!/usr/bin/env bash
# A small OpenLDAP directory holding an Exchange organisation, for the tests and the demo.
#
#   scripts/directory.sh start DIR ADDRESS [LDIF [SCHEMA]]   load and start; DIR is its own folder
#   scripts/directory.sh stop DIR                            stop it and remove DIR
#   scripts/directory.sh demo DIR ADDRESS HOST               the organisation with HOST in it
#
# or, sourced, the functions directory_start and directory_stop with the same arguments.
# The server listens on ADDRESS port 389 only: Wine drops any other port from a directory path,
# and a loopback address of its own (127.0.0.2, 127.0.0.3, ...) keeps it apart from others.
# The root DSE publishes the naming contexts (rootdse.ldif); every CN= entry of the LDIF gets
# its name and distinguishedName, as Active Directory gives each object.

DIRECTORY_DATA="$(cd "$(dirname "${BASH_SOURCE[0]}")/../tests/directory" && pwd)"

directory_start() {  # directory_start DIR ADDRESS [LDIF [SCHEMA]]
  local dir=$1 address=$2 ldif=${3:-$DIRECTORY_DATA/organisation.ldif}
  local schema=${4:-$DIRECTORY_DATA/qmx_exchange.schema}
  directory_stop "$dir"
  mkdir -p "$dir/db" || return 1
  dir=$(cd "$dir" && pwd)
  cat >"$dir/slapd.conf" <<CONF
include /etc/ldap/schema/core.schema
include /etc/ldap/schema/cosine.schema
include /etc/ldap/schema/inetorgperson.schema
include $schema
pidfile $dir/slapd.pid
rootDSE $DIRECTORY_DATA/rootdse.ldif
modulepath /usr/lib/ldap
moduleload back_mdb
sizelimit 1000
access to attrs=userPassword by anonymous auth by * none
access to * by * read
database mdb
suffix "DC=qmxtest,DC=local"
rootdn "CN=admin,DC=qmxtest,DC=local"
directory $dir/db
maxsize 16777216
CONF
  awk '
    function flush() {
      if (dn != "" && toupper(substr(dn, 1, 3)) == "CN=") {
        rdn = dn; sub(/,.*/, "", rdn); sub(/^[^=]*=/, "", rdn)
        print "name: " rdn; print "distinguishedName: " dn
      }
      dn = ""
    }
    /^dn: / { dn = substr($0, 5) }
    /^$/ { flush() }
    { print }
    END { flush() }' "$ldif" >"$dir/data.ldif" || return 1
  if ! slapadd -q -f "$dir/slapd.conf" -l "$dir/data.ldif" >"$dir/slapadd.log" 2>&1; then
    echo "directory: loading $ldif failed:" >&2; cat "$dir/slapadd.log" >&2; return 1
  fi
  if ! slapd -f "$dir/slapd.conf" -h "ldap://$address:389/" >"$dir/slapd.log" 2>&1; then
    echo "directory: slapd did not start on $address:" >&2; cat "$dir/slapd.log" >&2; return 1
  fi
  local i
  for i in $(seq 50); do
    ldapsearch -x -H "ldap://$address:389/" -s base -b "" configurationNamingContext \
      >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "directory: slapd on $address does not answer" >&2
  return 1
}

# The demo's directory: the test organisation with HOST in place of its first mailbox server, so the
# agent on this machine finds itself in the topology and the availability group.
directory_demo_start() {  # directory_demo_start DIR ADDRESS HOST
  local dir=$1 address=$2 host=${3^^} ldif rc
  ldif=$(mktemp) || return 1
  sed "s/EXMB01/$host/g" "$DIRECTORY_DATA/organisation.ldif" >"$ldif" &&
    directory_start "$dir" "$address" "$ldif"
  rc=$?
  rm -f "$ldif"
  return $rc
}

directory_stop() {  # directory_stop DIR
  local dir=$1 pid i
  if [ -f "$dir/slapd.pid" ]; then
    pid=$(cat "$dir/slapd.pid")
    kill "$pid" 2>/dev/null
    for i in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -rf "$dir"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -u
  case "${1:-}" in
    start) shift; directory_start "$@" ;;
    stop) shift; directory_stop "$@" ;;
    demo) shift; directory_demo_start "$@" ;;
    *) echo "usage: $0 start DIR ADDRESS [LDIF [SCHEMA]] | stop DIR" >&2; exit 2 ;;
  esac
fi
