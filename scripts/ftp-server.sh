#!/usr/bin/env bash
# A local FTP server for trying programs against: pyftpdlib on 127.0.0.1 with
# one virtual user (no system account) and a new random password per start.
#
#   bash scripts/ftp-server.sh start [DIR]   serve DIR (default: a new empty
#                                            folder); prints port, user, password
#   bash scripts/ftp-server.sh env           the running server as shell
#                                            assignments (eval "$(... env)")
#   bash scripts/ftp-server.sh stop          stop it
#
#   ZUB_FTP_PORT=N   control port (default 2121; 0 picks a free one)
#   ZUB_FTP_STATE=D  where the server's pid and password are kept (default
#                    /tmp/zub-ftp-server.<uid>); lets several servers run
set -euo pipefail

state=${ZUB_FTP_STATE:-${TMPDIR:-/tmp}/zub-ftp-server.$(id -u)}
port=${ZUB_FTP_PORT:-2121}
user=zub

die() {
  echo "ftp-server.sh: $*" >&2
  exit 1
}

usage() {
  echo "usage: bash scripts/ftp-server.sh start [DIR] | env | stop" >&2
  exit 2
}

# A Python that has pyftpdlib: the one on PATH, else the system's.
find_python() {
  local py
  for py in python3 /usr/bin/python3; do
    if command -v "$py" >/dev/null 2>&1 && "$py" -c 'import pyftpdlib' 2>/dev/null; then
      command -v "$py"
      return 0
    fi
  done
  die "no python3 with pyftpdlib found; install it with: apt-get install python3-pyftpdlib"
}

# The state folder holds the password: it must be ours and closed to others
# (a fixed name in /tmp could have been made by someone else first).
open_state() {
  if [[ ! -d $state ]]; then
    (umask 077 && mkdir -p "$state")
  fi
  [[ -O $state && ! -L $state ]] || die "$state is not a folder of $(id -un)"
  chmod 700 "$state"
}

# The running server's pid, if the state names one that is still ours.
running_pid() {
  local pid
  [[ -f $state/pid ]] || return 1
  read -r pid <"$state/pid" || return 1
  [[ $pid =~ ^[0-9]+$ ]] || return 1
  tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q 'zub-ftp-server' || return 1
  echo "$pid"
}

# The server itself: serves the folder to one virtual user on 127.0.0.1 and
# writes the port it got into the state folder once it listens.
server_code='
import logging, os, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

folder, port, user, state = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
with open(os.path.join(state, "password")) as f:
    password = f.read().strip()
logging.basicConfig(filename=os.path.join(state, "server.log"), level=logging.INFO)
authorizer = DummyAuthorizer()
authorizer.add_user(user, password, folder, perm="elradfmwMT")
handler = FTPHandler
handler.authorizer = authorizer
handler.banner = "zub-ftp-server ready"
server = FTPServer(("127.0.0.1", port), handler)
with open(os.path.join(state, "port.tmp"), "w") as f:
    f.write(str(server.address[1]))
os.rename(os.path.join(state, "port.tmp"), os.path.join(state, "port"))
server.serve_forever()
'

start() {
  local folder=${1:-} py pid
  [[ $port =~ ^[0-9]+$ ]] && ((port < 65536)) || die "ZUB_FTP_PORT '$port' is not a port number"
  py=$(find_python)
  open_state
  if pid=$(running_pid); then
    die "a server is already running (pid $pid); stop it first: bash scripts/ftp-server.sh stop"
  fi
  rm -f "$state/made"
  if [[ -z $folder ]]; then
    folder=$(mktemp -d "${TMPDIR:-/tmp}/zub-ftp.XXXXXX")
    echo "$folder" >"$state/made"
  fi
  [[ -d $folder ]] || die "folder '$folder' does not exist"
  folder=$(cd "$folder" && pwd)
  rm -f "$state/port" "$state/port.tmp" "$state/pid" "$state/server.log"
  (umask 077 && od -An -N12 -tx1 /dev/urandom | tr -d ' \n' >"$state/password")
  setsid "$py" -c "$server_code" "$folder" "$port" "$user" "$state" zub-ftp-server \
    </dev/null >>"$state/server.log" 2>&1 &
  pid=$!
  echo "$pid" >"$state/pid"
  echo "$folder" >"$state/folder"
  local waited=0
  until [[ -f $state/port ]]; do
    if ! kill -0 "$pid" 2>/dev/null || ((waited >= 100)); then
      kill "$pid" 2>/dev/null || true
      rm -f "$state/pid"
      tail -n 5 "$state/server.log" >&2 || true
      die "the server did not start on 127.0.0.1:$port"
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  port=$(cat "$state/port")
  echo "FTP server on 127.0.0.1 port $port, serving $folder"
  echo "user $user, password $(cat "$state/password")"
  echo "stop it with: bash scripts/ftp-server.sh stop"
}

print_env() {
  local pid
  pid=$(running_pid) || die "no server is running (start one with: bash scripts/ftp-server.sh start)"
  printf 'export ZUB_FTP_HOST=127.0.0.1 ZUB_FTP_PORT=%s ZUB_FTP_USER=%s ZUB_FTP_PASSWORD=%s ZUB_FTP_DIR=%q\n' \
    "$(cat "$state/port")" "$user" "$(cat "$state/password")" "$(cat "$state/folder")"
}

# Only the files this script wrote: the state folder may be one the user named.
clear_state() {
  [[ -d $state ]] || return 0
  rm -f "$state"/{pid,port,port.tmp,password,folder,made,server.log}
  rmdir "$state" 2>/dev/null || true
}

stop() {
  local pid waited=0
  if ! pid=$(running_pid); then
    echo "no server is running"
    clear_state
    return 0
  fi
  kill "$pid"
  while kill -0 "$pid" 2>/dev/null && ((waited < 50)); do
    sleep 0.1
    waited=$((waited + 1))
  done
  kill -0 "$pid" 2>/dev/null && kill -KILL "$pid"
  # The folder start made goes too, unless something was put there.
  local made=
  [[ -f $state/made ]] && made=$(cat "$state/made")
  clear_state
  echo "FTP server stopped"
  if [[ -n $made ]] && ! rmdir "$made" 2>/dev/null; then
    echo "its folder $made is kept: it is not empty"
  fi
}

case ${1:-} in
  start) (($# <= 2)) || usage; start "${2:-}" ;;
  env) print_env ;;
  stop) stop ;;
  *) usage ;;
esac
