#!/usr/bin/env bash
# Stops a server that start.sh started, by its PID, and its sessions.
# usage: stop.sh PID
# vsftpd and pure-ftpd sessions outlive their listener, so the descendants are
# listed before the listener goes, then ended too.  Refuses a PID that is not
# one of the four test servers.  Exit 0 also when the PID is already gone.
# The login start.sh made for the server is removed in every case.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"

[[ $# -eq 1 && $1 =~ ^[0-9]+$ && $1 -gt 1 ]] || zub_die "usage: stop.sh PID"
pid=$1

# The login made for the server goes with it, also when the server is gone.
trap 'zub_cleanup_record "$pid"' EXIT
zub_alive "$pid" || exit 0

# proftpd and pure-ftpd rewrite their command line, so look at the program too.
cmdline=$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null || true)
exe=$(basename "$(readlink "/proc/$pid/exe" 2>/dev/null || true)")
exe=${exe% (deleted)}
case $exe in
  vsftpd | pure-ftpd | proftpd) ;;
  python3*) [[ $cmdline == *pyftpd* ]] || zub_die "refusing to stop PID $pid ($cmdline): not a test FTP server" ;;
  *)
    case $cmdline in
      vsftpd* | */vsftpd* | pure-ftpd* | */pure-ftpd* | proftpd* | */proftpd*) ;;
      *) zub_die "refusing to stop PID $pid ($exe: $cmdline): not a test FTP server" ;;
    esac
    ;;
esac

# wait_gone PID START_TIME SECONDS: true once PID is gone or is another process.
wait_gone() {
  local p=$1 start=$2 polls=$(($3 * 50)) now
  while ((polls-- > 0)); do
    zub_alive "$p" || return 0
    now=$(zub_start_time "$p") || return 0
    [[ $now == "$start" ]] || return 0
    sleep 0.02
  done
  return 1
}

# end PID START_TIME: SIGTERM, up to 10 s, then SIGKILL; never a reused PID.
end() {
  local p=$1 start=$2
  [[ $(zub_start_time "$p" 2>/dev/null) == "$start" ]] || return 0
  kill -TERM "$p" 2>/dev/null || return 0
  wait_gone "$p" "$start" 10 && return 0
  kill -KILL "$p" 2>/dev/null || return 0
  wait_gone "$p" "$start" 5
}

sessions=()
for child in $(zub_descendants "$pid"); do
  if start=$(zub_start_time "$child"); then sessions+=("$child:$start"); fi
done

status=0
end "$pid" "$(zub_start_time "$pid" || echo 0)" || {
  echo "stop.sh: PID $pid survived SIGKILL" >&2
  status=1
}

# The sessions all at once: SIGTERM, up to 10 s for all, then SIGKILL.
is_same() { [[ $(zub_start_time "${1%%:*}" 2>/dev/null) == "${1#*:}" ]] && zub_alive "${1%%:*}"; }
signal_left() {
  local sig=$1 entry left=()
  for entry in "${sessions[@]}"; do
    if is_same "$entry"; then
      kill "-$sig" "${entry%%:*}" 2>/dev/null || true
      left+=("$entry")
    fi
  done
  sessions=("${left[@]}")
}
wait_sessions() {
  local polls=$(($1 * 50)) entry alive
  while ((polls-- > 0)); do
    alive=0
    for entry in "${sessions[@]}"; do
      if is_same "$entry"; then
        alive=1
        break
      fi
    done
    if ((!alive)); then
      sessions=()
      return 0
    fi
    sleep 0.02
  done
}
if ((${#sessions[@]})); then
  signal_left TERM
  wait_sessions 10
  if ((${#sessions[@]})); then
    signal_left KILL
    wait_sessions 5
    for entry in "${sessions[@]}"; do
      if is_same "$entry"; then
        echo "stop.sh: session PID ${entry%%:*} survived SIGKILL" >&2
        status=1
      fi
    done
  fi
fi
exit $status
