#!/usr/bin/env bash
# Starts one real FTP server on 127.0.0.1 for the interoperability tests and
# prints its PID once it accepts connections.
# usage: start.sh NAME ROOTDIR PORT PASV_MIN PASV_MAX STATEDIR
#   NAME     vsftpd | pure-ftpd | proftpd | pyftpdlib
#   ROOTDIR  the directory user ftptest (password ftptest) sees as "/"
#   STATEDIR configuration, logs and pid file (made root-owned 0755)
# Stop it with stop.sh PID.  On failure the log tail goes to stderr, exit 1.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"

[[ $# -eq 6 ]] || zub_die "usage: start.sh NAME ROOTDIR PORT PASV_MIN PASV_MAX STATEDIR"
name=$1 root=$2 port=$3 pasv_min=$4 pasv_max=$5 state=$6
zub_is_server "$name" || zub_die "unknown server '$name'"
for n in "$port" "$pasv_min" "$pasv_max"; do
  [[ $n =~ ^[0-9]+$ ]] && ((n > 0 && n < 65536)) || zub_die "bad port number '$n'"
done
((pasv_min <= pasv_max)) || zub_die "passive range $pasv_min-$pasv_max is empty"
[[ $EUID -eq 0 ]] || zub_die "must run as root (it creates the ftptest user and the servers switch users)"
ready_timeout=${FTPD_READY_TIMEOUT:-20}

if zub_port_answers "$port"; then
  zub_die "127.0.0.1:$port already accepts connections; is another server still running there?"
fi

mkdir -p "$root" "$state"
root=$(realpath "$root")
state=$(realpath "$state")
# proftpd refuses scoreboard and logs in a directory others may write
chown root:root "$state"
chmod 0755 "$state"
out=$state/$name.out

ensure_ftptest() {
  local shell uid
  mkdir -p /run/lock
  exec 9>/run/lock/zub-ftptest.lock
  flock -w 60 9 || zub_die "timed out waiting for the ftptest account lock"
  if ! getent passwd ftptest >/dev/null; then
    useradd --create-home --shell /bin/sh -K UID_MIN=1000 ftptest
  fi
  IFS=: read -r _ _ uid _ _ _ shell < <(getent passwd ftptest)
  ((uid >= 1000)) || zub_die "user ftptest has uid $uid; the servers refuse system accounts"
  [[ $shell == /bin/sh ]] || usermod --shell /bin/sh ftptest
  echo 'ftptest:ftptest' | chpasswd
  exec 9>&-
}

# vsftpd changes into the root as ftptest before the chroot, so every
# ancestor must be searchable by others (mktemp -d makes 0700 directories).
open_ancestors() {
  local dir mode
  dir=$(dirname "$root")
  while [[ $dir != / ]]; do
    mode=$(stat -c %a "$dir")
    if (((8#$mode & 1) == 0)); then
      chmod o+x "$dir"
      echo "start.sh: added o+x to $dir so ftptest can reach $root" >&2
    fi
    dir=$(dirname "$dir")
  done
}

need_program() {
  zub_find_program "$1" "$2" || zub_die "$1 not found; run install.sh $2 first"
}

cmd=()
case $name in
  vsftpd)
    prog=$(need_program vsftpd vsftpd)
    ensure_ftptest
    chown -R ftptest:ftptest "$root"
    open_ancestors
    mkdir -p "$state/empty"
    chmod 0755 "$state/empty"
    # The compiled-in limits (2000 clients, 50 per address) are not the man
    # page's 0: parallel concurrency tests from 127.0.0.1 got "421 There are
    # too many connections from your internet address."
    cat >"$state/vsftpd.conf" <<EOF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
background=NO
anonymous_enable=NO
local_enable=YES
write_enable=YES
local_umask=022
local_root=$root
chroot_local_user=YES
allow_writeable_chroot=YES
pam_service_name=vsftpd
nopriv_user=nobody
secure_chroot_dir=$state/empty
pasv_enable=YES
pasv_min_port=$pasv_min
pasv_max_port=$pasv_max
pasv_address=127.0.0.1
port_enable=YES
connect_from_port_20=NO
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
max_clients=0
max_per_ip=0
xferlog_enable=YES
log_ftp_protocol=YES
vsftpd_log_file=$state/vsftpd.log
EOF
    chmod 0644 "$state/vsftpd.conf"
    cmd=("$prog" "$state/vsftpd.conf")
    ;;

  pure-ftpd)
    prog=$(need_program pure-ftpd pure-ftpd)
    pure_pw=$(need_program pure-pw pure-ftpd)
    # The Debian build drops to these capabilities and exits silently (status
    # 252) when one is missing, as in a default container.
    capeff=$(awk '/^CapEff:/ { print $2 }' /proc/self/status)
    missing=()
    for cap in CHOWN:0 DAC_READ_SEARCH:2 SETGID:6 SETUID:7 NET_BIND_SERVICE:10 SYS_CHROOT:18 SYS_NICE:23 AUDIT_WRITE:29; do
      (((16#$capeff >> ${cap#*:}) & 1)) || missing+=("${cap%:*}")
    done
    if ((${#missing[@]})); then
      zub_die "pure-ftpd needs the capabilities ${missing[*]} (in a container: --cap-add SYS_NICE --cap-add DAC_READ_SEARCH)"
    fi
    ensure_ftptest
    chown -R ftptest:ftptest "$root"
    IFS=: read -r _ _ uid gid _ < <(getent passwd ftptest)
    # Reuse the system hash: pure-pw's own argon2id costs ~2 s per login.
    hash=$(getent shadow ftptest | cut -d: -f2)
    printf 'ftptest:%s:%s:%s::%s/./::::::::::::\n' "$hash" "$uid" "$gid" "$root" >"$state/pureftpd.passwd"
    chmod 0600 "$state/pureftpd.passwd"
    rm -f "$state/pureftpd.pdb"
    "$pure_pw" mkdb "$state/pureftpd.pdb" -f "$state/pureftpd.passwd" >>"$out" 2>&1 ||
      zub_die "pure-pw mkdb failed: $(tail -n 5 "$out")"
    # -c/-C: room for parallel concurrency tests (the default is 50 clients)
    cmd=("$prog" -S "127.0.0.1,$port" -l "puredb:$state/pureftpd.pdb" -E -H
      -p "$pasv_min:$pasv_max" -P 127.0.0.1 -O "clf:$state/transfer.log" -f none -c 200 -C 200)
    ;;

  proftpd)
    prog=$(need_program proftpd proftpd)
    ensure_ftptest
    chown -R ftptest:ftptest "$root"
    open_ancestors
    cat >"$state/proftpd.conf" <<EOF
ServerName "ProFTPD interop"
ServerType standalone
Port $port
DefaultAddress 127.0.0.1
SocketBindTight on
UseIPv6 off
User nobody
Group nogroup
MaxInstances 200
Umask 022 022
PidFile "$state/proftpd.pid"
ScoreboardFile "$state/proftpd.scoreboard"
DelayTable "$state/proftpd.delay"
SystemLog "$state/proftpd.log"
TransferLog "$state/xferlog"
ExtendedLog "$state/proftpd.extended.log" ALL
WtmpLog off
UseReverseDNS off
<IfModule mod_ident.c>
  IdentLookups off
</IfModule>
<IfModule mod_ctrls.c>
  ControlsEngine off
</IfModule>
<IfModule mod_auth_pam.c>
  AuthPAM off
</IfModule>
AuthOrder mod_auth_unix.c
RequireValidShell off
DefaultRoot "$root"
PassivePorts $pasv_min $pasv_max
AllowOverwrite on
AllowStoreRestart on
AllowRetrieveRestart on
EOF
    "$prog" -t -c "$state/proftpd.conf" >>"$out" 2>&1 ||
      zub_die "proftpd rejects its configuration: $(tail -n 5 "$out")"
    cmd=("$prog" -n -c "$state/proftpd.conf")
    ;;

  pyftpdlib)
    [[ -x /usr/bin/python3 ]] && /usr/bin/python3 -c 'import pyftpdlib' 2>/dev/null ||
      zub_die "/usr/bin/python3 cannot import pyftpdlib; run install.sh pyftpdlib first"
    # Its own default port is 2121, so -p is always given.  It runs as the caller.
    cmd=(/usr/bin/python3 -m pyftpdlib -i 127.0.0.1 -p "$port" -d "$root" -w
      -u ftptest -P ftptest -r "$pasv_min-$pasv_max")
    ;;
esac

echo "--- $(date '+%F %T') ${cmd[*]}" >>"$out"
# Standard streams detached, so $(start.sh ...) returns once we exit, and no
# other descriptor of the caller (ctest keeps its log and pipes open) inherited.
(
  for fd in /proc/"$BASHPID"/fd/*; do
    fd=${fd##*/}
    if ((fd > 2)); then eval "exec $fd>&-"; fi
  done
  exec nohup "${cmd[@]}" </dev/null >>"$out" 2>&1
) &
pid=$!

fail() {
  local log
  echo "start.sh: $name on 127.0.0.1:$port: $*" >&2
  for log in "$out" "$state"/*.log; do
    [[ -s $log ]] || continue
    echo "--- last lines of $log" >&2
    tail -n 20 "$log" >&2
  done
  if zub_alive "$pid"; then bash "$here/stop.sh" "$pid" >&2 || true; fi
  exit 1
}

deadline=$((SECONDS + ready_timeout))
while :; do
  if ! zub_alive "$pid"; then
    status=0
    wait "$pid" || status=$?
    fail "the server exited with status $status before it was ready"
  fi
  if zub_owns_listener "$pid" "$port" && zub_probe_greeting "$port" 5; then
    break
  fi
  ((SECONDS < deadline)) || fail "not ready after ${ready_timeout}s (listening socket or 220 greeting missing)"
  sleep 0.05
done

echo "$pid" >"$state/$name.pid"
echo "$pid"
