#!/usr/bin/env bash
# The test drives: M: and N: of the Wine prefix ($WINEPREFIX, else ~/.wine) point at the folders
# WORKDIR/m and WORKDIR/n, which hold the files of drives.txt as sparse files of those sizes, so
# file sizes and free space come from the file system. drives.sh start|stop WORKDIR
#   M:  database and streaming files (M:\Exchange\...)
#   N:  public folder databases (N:\Exchange\...) and log files (N:\Logs\...)
set -u
here=$(cd "$(dirname "$0")" && pwd)
work=${2:?usage: drives.sh start|stop WORKDIR}
dosdevices=${WINEPREFIX:-$HOME/.wine}/dosdevices
letters="m n"

stop() {
  local l
  for l in $letters; do rm -f "$dosdevices/$l:"; done
  rm -rf "$work"
}

case "$1" in
  start)
    stop
    [ -d "$dosdevices" ] || { echo "drives: no Wine prefix at ${dosdevices%/dosdevices}" >&2; exit 1; }
    for l in $letters; do mkdir -p "$work/$l" || exit 1; done
    work=$(cd "$work" && pwd)
    while read -r size path; do
      case "$size" in '' | '#'*) continue ;; esac
      letter=$(tr 'A-Z' 'a-z' <<<"${path:0:1}")
      file="$work/$letter/$(tr '\\' / <<<"${path:3}")"
      mkdir -p "$(dirname "$file")" && truncate -s "$size" "$file" || exit 1
    done <"$here/drives.txt"
    for l in $letters; do ln -sfn "$work/$l" "$dosdevices/$l:" || exit 1; done ;;
  stop) stop ;;
  *) echo "usage: drives.sh start|stop WORKDIR" >&2; exit 2 ;;
esac
