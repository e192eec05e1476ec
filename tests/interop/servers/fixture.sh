#!/usr/bin/env bash
# CTest fixture steps for one real server.
# usage: fixture.sh start NAME PORT PASV_MIN PASV_MAX OUTDIR
#        fixture.sh start-tls NAME SERVER explicit|implicit PORT PASV_MIN PASV_MAX OUTDIR
#        fixture.sh stop NAME OUTDIR
#        fixture.sh certs OUTDIR | drop-certs OUTDIR
# start: a fresh served root below /var/tmp (its parents must be searchable by
#        the server's login, and nothing of the caller's is widened for it), a
#        fresh OUTDIR/NAME/state, start.sh, then OUTDIR/NAME.env (0600) with
#        PID, PORT, PASV_MIN, PASV_MAX, ROOTDIR, USER, PASS for the tests.
# start-tls: the same for SERVER in its TLS mode, with the certificates of
#        `certs`; the env file also names CA_FILE, the file that makes the
#        server's certificate trusted.
# certs: a folder made for this run (mktemp, 0700) with make-certs.sh; its
#        path in OUTDIR/tls-certs.path.  drop-certs removes it.
# stop:  stop.sh with the recorded PID (which removes the login), removes the
#        env file and the served root.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"

# A server left behind by an interrupted run: its pid file is still there.
stop_recorded() {
  local server=$2
  # a TLS fixture runs a server of another name
  [[ -f $1/server ]] && server=$(cat "$1/server")
  local pidfile=$1/state/$server.pid rootfile=$1/rootdir
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

# Only a folder this script made is removed.
remove_certs() {
  local pathfile=$1/tls-certs.path dir
  [[ -f $pathfile ]] || return 0
  dir=$(cat "$pathfile")
  [[ $dir == /tmp/zub-tls-certs.* && -d $dir && ! -L $dir ]] && rm -rf "$dir"
  rm -f "$pathfile"
}

case ${1:-} in
  certs | drop-certs)
    [[ $# -eq 2 ]] || zub_die "usage: fixture.sh $1 OUTDIR"
    mkdir -p "$2"
    remove_certs "$2"
    if [[ $1 == certs ]]; then
      certs=$(mktemp -d /tmp/zub-tls-certs.XXXXXX)
      echo "$certs" >"$2/tls-certs.path"
      bash "$here/make-certs.sh" "$certs"
      echo "certificates in $certs"
    fi
    ;;
  start | start-tls)
    if [[ $1 == start-tls ]]; then
      [[ $# -eq 8 ]] || zub_die "usage: fixture.sh start-tls NAME SERVER MODE PORT PASV_MIN PASV_MAX OUTDIR"
      name=$2 server=$3 port=$5 pasv_min=$6 pasv_max=$7 out=$8
      certs=$(cat "$out/tls-certs.path") || zub_die "no certificates: run fixture.sh certs first"
      # pure-ftpd presents the self-signed certificate, the others the CA's
      kind=server
      [[ $server == pure-ftpd ]] && kind=self
      export ZUB_FTPD_TLS=$4 ZUB_FTPD_TLS_CERT=$certs/$kind.pem ZUB_FTPD_TLS_KEY=$certs/$kind.key
      ca_file=$certs/$([[ $kind == self ]] && echo self || echo ca).pem
    else
      [[ $# -eq 6 ]] || zub_die "usage: fixture.sh start NAME PORT PASV_MIN PASV_MAX OUTDIR"
      name=$2 server=$2 port=$3 pasv_min=$4 pasv_max=$5 out=$6
      ca_file=
    fi
    dir=$out/$name
    env=$out/$name.env
    mkdir -p "$out"
    rm -f "$env"
    stop_recorded "$dir" "$name"
    rm -rf "$dir"
    mkdir -p "$dir/state"
    root=$(mktemp -d /var/tmp/zub-ftpd-root.XXXXXX)
    echo "$root" >"$dir/rootdir"
    echo "$server" >"$dir/server"
    pid=$(bash "$here/start.sh" "$server" "$root" "$port" "$pasv_min" "$pasv_max" "$dir/state")
    (
      umask 077
      printf 'PID=%s\nPORT=%s\nPASV_MIN=%s\nPASV_MAX=%s\nROOTDIR=%s\n' "$pid" "$port" "$pasv_min" "$pasv_max" "$root"
      [[ -z $ca_file ]] || printf 'CA_FILE=%s\n' "$ca_file"
      cat "$dir/state/credentials"
    ) >"$env.new"
    mv "$env.new" "$env"
    echo "$name: PID $pid on 127.0.0.1:$port, passive $pasv_min-$pasv_max, root $root"
    ;;
  stop)
    [[ $# -eq 3 ]] || zub_die "usage: fixture.sh stop NAME OUTDIR"
    name=$2 out=$3
    rm -f "$out/$name.env"
    if [[ -f $out/$name/rootdir ]] || compgen -G "$out/$name/state/*.pid" >/dev/null; then
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
