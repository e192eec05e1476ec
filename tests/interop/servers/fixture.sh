#!/usr/bin/env bash
# CTest fixture steps for one real server.
# usage: fixture.sh start NAME PORT PASV_MIN PASV_MAX OUTDIR
#        fixture.sh stop NAME OUTDIR
# start: a fresh served root below /var/tmp (its parents must be searchable by
#        the server's login, and nothing of the caller's is widened for it), a
#        fresh OUTDIR/NAME/state, start.sh, then OUTDIR/NAME.env (0600) with
#        PID, PORT, PASV_MIN, PASV_MAX, ROOTDIR, USER, PASS for the tests.
# stop:  stop.sh with the recorded PID (which removes the login), removes the
#        env file and the served root.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"

# A server left behind by an interrupted run: its pid file is still there.
stop_recorded() {
  local pidfile=$1/state/$2.pid rootfile=$1/rootdir
  if [[ -f $pidfile ]]; then
    bash "$here/stop.sh" "$(cat "$pidfile")"
    rm -f "$pidfile"
  fi
  if [[ -f $rootfile ]]; then
    remove_root "$(cat "$rootfile")"
    rm -f "$rootfile"
  fi
}

# Only a root this script made (mktemp's pattern below /var/tmp) is removed.
remove_root() {
  [[ $1 == /var/tmp/zub-ftpd-root.* && -d $1 && ! -L $1 ]] && rm -rf "$1"
  return 0
}

case ${1:-} in
  start)
    [[ $# -eq 6 ]] || zub_die "usage: fixture.sh start NAME PORT PASV_MIN PASV_MAX OUTDIR"
    name=$2 port=$3 pasv_min=$4 pasv_max=$5 out=$6
    dir=$out/$name
    env=$out/$name.env
    mkdir -p "$out"
    rm -f "$env"
    stop_recorded "$dir" "$name"
    rm -rf "$dir"
    mkdir -p "$dir/state"
    root=$(mktemp -d /var/tmp/zub-ftpd-root.XXXXXX)
    echo "$root" >"$dir/rootdir"
    pid=$(bash "$here/start.sh" "$name" "$root" "$port" "$pasv_min" "$pasv_max" "$dir/state")
    (
      umask 077
      printf 'PID=%s\nPORT=%s\nPASV_MIN=%s\nPASV_MAX=%s\nROOTDIR=%s\n' "$pid" "$port" "$pasv_min" "$pasv_max" "$root"
      cat "$dir/state/credentials"
    ) >"$env.new"
    mv "$env.new" "$env"
    echo "$name: PID $pid on 127.0.0.1:$port, passive $pasv_min-$pasv_max, root $root"
    ;;
  stop)
    [[ $# -eq 3 ]] || zub_die "usage: fixture.sh stop NAME OUTDIR"
    name=$2 out=$3
    rm -f "$out/$name.env"
    if [[ -f $out/$name/state/$name.pid || -f $out/$name/rootdir ]]; then
      stop_recorded "$out/$name" "$name"
      echo "$name: stopped"
    else
      echo "$name: no server was recorded"
    fi
    ;;
  *)
    zub_die "usage: fixture.sh start|stop ..."
    ;;
esac
