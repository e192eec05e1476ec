#!/usr/bin/env bash
# CTest fixture steps for one real server.
# usage: fixture.sh start NAME PORT PASV_MIN PASV_MAX OUTDIR
#        fixture.sh stop NAME OUTDIR
# start: fresh OUTDIR/NAME/{root,state}, start.sh, then OUTDIR/NAME.env with
#        PID, PORT, PASV_MIN, PASV_MAX, ROOTDIR, USER, PASS for the tests.
# stop:  stop.sh with the recorded PID, removes the env file.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"

# A server left behind by an interrupted run: its pid file is still there.
stop_recorded() {
  local pidfile=$1/state/$2.pid
  if [[ -f $pidfile ]]; then
    bash "$here/stop.sh" "$(cat "$pidfile")"
    rm -f "$pidfile"
  fi
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
    mkdir -p "$dir/root" "$dir/state"
    pid=$(bash "$here/start.sh" "$name" "$dir/root" "$port" "$pasv_min" "$pasv_max" "$dir/state")
    printf 'PID=%s\nPORT=%s\nPASV_MIN=%s\nPASV_MAX=%s\nROOTDIR=%s\nUSER=ftptest\nPASS=ftptest\n' \
      "$pid" "$port" "$pasv_min" "$pasv_max" "$(realpath "$dir/root")" >"$env.new"
    mv "$env.new" "$env"
    echo "$name: PID $pid on 127.0.0.1:$port, passive $pasv_min-$pasv_max, root $dir/root"
    ;;
  stop)
    [[ $# -eq 3 ]] || zub_die "usage: fixture.sh stop NAME OUTDIR"
    name=$2 out=$3
    rm -f "$out/$name.env"
    if [[ -f $out/$name/state/$name.pid ]]; then
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
