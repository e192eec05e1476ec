#!/usr/bin/env bash
# Starts one real FTP server on 127.0.0.1 for the interoperability tests and
# prints its PID once it accepts connections.
# usage: start.sh NAME ROOTDIR PORT PASV_MIN PASV_MAX STATEDIR
#   NAME     vsftpd | pure-ftpd | proftpd | pyftpdlib
#   ROOTDIR  the directory the test login sees as "/"; for vsftpd and proftpd
#            every folder above it must be searchable by others (nothing here
#            widens a permission: put it below /var/tmp, say)
#   STATEDIR configuration, logs and pid file (made root-owned 0755), and
#            STATEDIR/credentials (0600): USER=... and PASS=... of the login
# The login is made for this start (see lib.sh) and removed by stop.sh PID.
# On failure the log tail goes to stderr, exit 1.
# TLS mode (vsftpd, proftpd, pure-ftpd): ZUB_FTPD_TLS=explicit|implicit with
# ZUB_FTPD_TLS_CERT and ZUB_FTPD_TLS_KEY (PEM files of a per-run folder):
# TLS required on control and data connections, and every data connection
# must resume the control connection's session where the server can demand
# it (vsftpd, proftpd).  pure-ftpd has no implicit mode.
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
[[ $EUID -eq 0 ]] || zub_die "must run as root (it creates the test login and the servers switch users)"
ready_timeout=${FTPD_READY_TIMEOUT:-20}
tls=${ZUB_FTPD_TLS:-}
if [[ -n $tls ]]; then
  [[ $tls == explicit || $tls == implicit ]] || zub_die "ZUB_FTPD_TLS must be explicit or implicit, not '$tls'"
  [[ $name != pyftpdlib ]] || zub_die "no TLS mode for pyftpdlib"
  [[ $name == pure-ftpd && $tls == implicit ]] && zub_die "pure-ftpd has no implicit TLS"
  [[ -r ${ZUB_FTPD_TLS_CERT:-} && -r ${ZUB_FTPD_TLS_KEY:-} ]] ||
    zub_die "TLS mode needs ZUB_FTPD_TLS_CERT and ZUB_FTPD_TLS_KEY"
fi

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

zub_sweep_records
login=$(zub_login_name "$port")
password=$(zub_random_password)
# Until the server's PID is known, what to remove is recorded under ours, and
# removed when this script fails.
zub_record $$ "account=$login" "pam=/etc/pam.d/$login"
started=0
trap '((started)) || zub_cleanup_record $$' EXIT

# The system account of the login: no shell, no home of its own, uid >= 1000
# (the servers refuse system accounts).  Made afresh for each start.
make_account() {
  local uid
  mkdir -p /run/lock
  exec 9>/run/lock/zub-ftpd-accounts.lock
  flock -w 60 9 || zub_die "timed out waiting for the account lock"
  if getent passwd "$login" >/dev/null; then userdel -f "$login" >/dev/null 2>&1 || true; fi
  useradd --no-create-home --home-dir "$root" --shell /usr/sbin/nologin -K UID_MIN=1000 "$login" ||
    zub_die "useradd $login failed"
  IFS=: read -r _ _ uid _ < <(getent passwd "$login")
  ((uid >= 1000)) || zub_die "account $login has uid $uid; the servers refuse system accounts"
  echo "$login:$password" | chpasswd
  exec 9>&-
}

# vsftpd and proftpd change into the root as the login before the chroot.
check_reachable() {
  local dir
  dir=$(dirname "$root")
  while [[ $dir != / ]]; do
    (($(stat -c '%a' "$dir" | sed 's/.*\(.\)$/\1/') & 1)) ||
      zub_die "$root is not reachable by the server's login: $dir is not searchable by others (put the root below /var/tmp)"
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
    check_reachable
    make_account
    chown -R "$login:$login" "$root"
    # Debian's PAM service for vsftpd wants a shell from /etc/shells; the
    # login has none, so it gets a service of its own.
    printf 'auth required pam_unix.so\naccount required pam_unix.so\nsession required pam_unix.so\n' \
      >"/etc/pam.d/$login"
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
pam_service_name=$login
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
    if [[ -n $tls ]]; then
      # The default cipher list (DES-CBC3-SHA) is gone from OpenSSL 3.
      cat >>"$state/vsftpd.conf" <<EOF
ssl_enable=YES
rsa_cert_file=$ZUB_FTPD_TLS_CERT
rsa_private_key_file=$ZUB_FTPD_TLS_KEY
ssl_ciphers=HIGH
force_local_logins_ssl=YES
force_local_data_ssl=YES
require_ssl_reuse=YES
implicit_ssl=$([[ $tls == implicit ]] && echo YES || echo NO)
EOF
    fi
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
    make_account
    chown -R "$login:$login" "$root"
    IFS=: read -r _ _ uid gid _ < <(getent passwd "$login")
    # Reuse the system hash: pure-pw's own argon2id costs ~2 s per login.
    hash=$(getent shadow "$login" | cut -d: -f2)
    (
      umask 077
      printf '%s:%s:%s:%s::%s/./::::::::::::\n' "$login" "$hash" "$uid" "$gid" "$root" >"$state/pureftpd.passwd"
    )
    chmod 0600 "$state/pureftpd.passwd"
    rm -f "$state/pureftpd.pdb"
    "$pure_pw" mkdb "$state/pureftpd.pdb" -f "$state/pureftpd.passwd" >>"$out" 2>&1 ||
      zub_die "pure-pw mkdb failed: $(tail -n 5 "$out")"
    # -c/-C: room for parallel concurrency tests (the default is 50 clients)
    cmd=("$prog" -S "127.0.0.1,$port" -l "puredb:$state/pureftpd.pdb" -E -H
      -p "$pasv_min:$pasv_max" -P 127.0.0.1 -O "clf:$state/transfer.log" -f none -c 200 -C 200)
    # -Y 3: TLS required on the control and the data connections
    if [[ -n $tls ]]; then cmd+=(-Y 3 -2 "$ZUB_FTPD_TLS_CERT,$ZUB_FTPD_TLS_KEY" -J 'HIGH'); fi
    ;;

  proftpd)
    prog=$(need_program proftpd proftpd)
    check_reachable
    make_account
    chown -R "$login:$login" "$root"
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
    if [[ -n $tls ]]; then
      # mod_tls is a loadable module (proftpd-mod-crypto); session reuse on
      # data connections is required unless NoSessionReuseRequired is set.
      moddir=$(dirname "$(dirname "$prog")")/lib/proftpd
      cat >>"$state/proftpd.conf" <<EOF
ModulePath $moddir
<IfModule !mod_tls.c>
  LoadModule mod_tls.c
</IfModule>
TLSEngine on
TLSRequired on
TLSProtocol TLSv1.2 TLSv1.3
TLSRSACertificateFile $ZUB_FTPD_TLS_CERT
TLSRSACertificateKeyFile $ZUB_FTPD_TLS_KEY
TLSVerifyClient off
TLSLog $state/tls.log
$([[ $tls == implicit ]] && echo 'TLSOptions UseImplicitSSL')
EOF
    fi
    "$prog" -t -c "$state/proftpd.conf" >>"$out" 2>&1 ||
      zub_die "proftpd rejects its configuration: $(tail -n 5 "$out")"
    cmd=("$prog" -n -c "$state/proftpd.conf")
    ;;

  pyftpdlib)
    [[ -x /usr/bin/python3 ]] && /usr/bin/python3 -c 'import pyftpdlib' 2>/dev/null ||
      zub_die "/usr/bin/python3 cannot import pyftpdlib; run install.sh pyftpdlib first"
    # A virtual login: no account.  It runs as the caller.
    export ZUB_FTP_PASSWORD=$password
    cmd=(/usr/bin/python3 "$here/pyftpd.py" 127.0.0.1 "$port" "$root" "$login" "$pasv_min" "$pasv_max")
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
  if zub_owns_listener "$pid" "$port" && zub_probe_greeting "$port" 5 "$tls"; then
    break
  fi
  ((SECONDS < deadline)) || fail "not ready after ${ready_timeout}s (listening socket or 220 greeting missing)"
  sleep 0.05
done

# From now on the server's own record says what stop.sh removes.
zub_record "$pid" "account=$login" "pam=/etc/pam.d/$login"
zub_records_locked rm -f "$ZUB_RECORDS/$$"
started=1
(
  umask 077
  printf 'USER=%s\nPASS=%s\n' "$login" "$password" >"$state/credentials"
)
echo "$pid" >"$state/$name.pid"
echo "$pid"
