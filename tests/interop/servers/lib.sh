# Helpers shared by install.sh, start.sh and stop.sh: where the server programs
# live, and how to look at processes and sockets through /proc.  Sourced, not run.

# Servers that cannot be installed through apt (the three daemons conflict with
# each other) are unpacked below this directory, one folder per server.
ZUB_FTPD_PREFIX=${ZUB_FTPD_PREFIX:-/opt/zub-ftpd}
# shellcheck disable=SC2034  # used by the scripts that source this file
ZUB_SERVERS=(vsftpd pure-ftpd proftpd pyftpdlib)

zub_die() {
  echo "$(basename "$0"): $*" >&2
  exit 1
}

zub_is_server() {
  case $1 in vsftpd | pure-ftpd | proftpd | pyftpdlib) return 0 ;; esac
  return 1
}

# zub_find_program PROGRAM SERVER: the installed program first, then the unpacked one.
zub_find_program() {
  local prog=$1 server=$2 dir
  for dir in /usr/sbin /usr/bin "$ZUB_FTPD_PREFIX/$server/usr/sbin" "$ZUB_FTPD_PREFIX/$server/usr/bin"; do
    if [[ -x $dir/$prog ]]; then
      echo "$dir/$prog"
      return 0
    fi
  done
  return 1
}

# True while PID exists and is not a zombie (a dead server that nobody reaped yet).
zub_alive() {
  local line fields
  { read -r line <"/proc/$1/stat"; } 2>/dev/null || return 1
  fields=${line##*) }
  [[ ${fields:0:1} != Z && ${fields:0:1} != X ]]
}

# Start time of PID in clock ticks: tells a process from a later one with the same PID.
zub_start_time() {
  local line fields
  { read -r line <"/proc/$1/stat"; } 2>/dev/null || return 1
  read -r -a fields <<<"${line##*) }"
  echo "${fields[19]}"
}

# All descendants of PID (children, grandchildren, ...), one per line.
zub_descendants() {
  local root=$1 stat pid line fields next
  local -A kids=()
  for stat in /proc/[0-9]*/stat; do
    { read -r line <"$stat"; } 2>/dev/null || continue
    pid=${stat#/proc/}
    read -r -a fields <<<"${line##*) }"
    kids[${fields[1]}]+=" ${pid%/stat}"
  done
  local queue=("$root")
  while ((${#queue[@]})); do
    next=${queue[0]}
    queue=("${queue[@]:1}")
    for pid in ${kids[$next]:-}; do
      echo "$pid"
      queue+=("$pid")
    done
  done
}

# True when PID holds the socket listening on 127.0.0.1:PORT.
zub_owns_listener() {
  local pid=$1 port=$2 inode fd
  inode=$(awk -v addr="$(printf '0100007F:%04X' "$port")" \
    '$2 == addr && $4 == "0A" { print $10; exit }' /proc/net/tcp)
  [[ -n $inode ]] || return 1
  for fd in /proc/"$pid"/fd/*; do
    [[ $(readlink "$fd" 2>/dev/null) == "socket:[$inode]" ]] && return 0
  done
  return 1
}

# True when something accepts connections on 127.0.0.1:PORT.
zub_port_answers() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# True when a connection to 127.0.0.1:PORT reads a line starting "220" within
# TIMEOUT seconds (default 5).  Says QUIT so the server can end the session.
zub_probe_greeting() {
  local port=$1 timeout=${2:-5} tls=${3:-}
  # Implicit TLS: the greeting comes inside TLS.
  if [[ $tls == implicit ]]; then
    python3 - "$port" "$timeout" <<'PY' 2>/dev/null
import socket, ssl, sys
ctx = ssl.create_default_context()
ctx.check_hostname = False
ctx.verify_mode = ssl.CERT_NONE
with ctx.wrap_socket(socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=float(sys.argv[2]))) as s:
    line = s.makefile("rb").readline()
    s.sendall(b"QUIT\r\n")
sys.exit(0 if line.startswith(b"220") else 1)
PY
    return
  fi
  (
    exec 3<>"/dev/tcp/127.0.0.1/$port" || exit 1
    IFS= read -r -t "$timeout" line <&3 || exit 1
    printf 'QUIT\r\n' >&3
    [[ $line == 220* ]]
  ) 2>/dev/null
}

# ---- The test login ----
# Each server started by start.sh gets a login of its own, named after its
# port, with a password made per start: nothing a published script knows.
# Servers that check logins against the system (vsftpd, proftpd; pure-ftpd
# reuses the hash) get a system account that has no shell and no home of its
# own; it is removed when the server stops.  What a server leaves to remove is
# recorded in $ZUB_RECORDS/PID until then.
ZUB_RECORDS=/run/zub-ftpd

zub_login_name() { echo "zubftp$1"; }

# 24 hex digits: also safe inside a URL or an .env line.
zub_random_password() { od -An -N12 -tx1 /dev/urandom | tr -d ' \n'; }

# zub_record PID KEY=VALUE...: what to remove once PID has ended.
# Several start.sh run at once (ctest -j): every use of the records holds one
# lock, and a record appears whole (rename), so a sweep never reads one half
# written, or one its owner is removing, and takes a live server's login away.
zub_records_locked() {
  mkdir -p /run/lock
  (
    flock -w 60 8 || zub_die "timed out waiting for the lock of $ZUB_RECORDS"
    "$@"
  ) 8>/run/lock/zub-ftpd-records.lock
}

zub_record() { zub_records_locked zub_record_unlocked "$@"; }
zub_record_unlocked() {
  local pid=$1
  shift
  mkdir -p "$ZUB_RECORDS"
  chmod 0700 "$ZUB_RECORDS"
  printf '%s\n' "start=$(zub_start_time "$pid")" "$@" >"$ZUB_RECORDS/.$pid.new"
  mv -f "$ZUB_RECORDS/.$pid.new" "$ZUB_RECORDS/$pid"
}

# zub_cleanup_record PID: removes the account and PAM service recorded for PID.
zub_cleanup_record() { zub_records_locked zub_cleanup_record_unlocked "$@"; }
zub_cleanup_record_unlocked() {
  local rec=$ZUB_RECORDS/$1 key value
  [[ -f $rec ]] || return 0
  while IFS='=' read -r key value; do
    case $key in
      account) if getent passwd "$value" >/dev/null; then userdel -f "$value" >/dev/null 2>&1 || true; fi ;;
      pam) [[ $value == /etc/pam.d/zubftp* ]] && rm -f "$value" ;;
    esac
  done <"$rec"
  rm -f "$rec"
}

# Records of servers that ended without stop.sh (a killed run): clean them up.
zub_sweep_records() { zub_records_locked zub_sweep_records_unlocked; }
zub_sweep_records_unlocked() {
  local rec pid start
  for rec in "$ZUB_RECORDS"/*; do
    [[ -f $rec ]] || continue
    pid=${rec##*/}
    start=$(sed -n 's/^start=//p' "$rec")
    if ! zub_alive "$pid" || [[ $(zub_start_time "$pid" 2>/dev/null) != "$start" ]]; then
      zub_cleanup_record_unlocked "$pid"
    fi
  done
}
