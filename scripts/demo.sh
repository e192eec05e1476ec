#!/usr/bin/env bash
# Builds the library, the zub client and the API example in build-demo (never
# the tests' folders), starts a local FTP server (pyftpdlib on 127.0.0.1:2231,
# or ZUB_DEMO_PORT, with a login made for this run), and shows zub at work:
# uploads a small tree on four channels at once, lists it, downloads it back
# with progress and compares both trees.  Then examples/demo.c, the shortest
# use of the API, holds one session of its own.  The server is stopped also
# when the demo fails or is interrupted.  Installs what it needs with apt-get
# when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

need=()
for p in cmake ninja-build g++ python3-pyftpdlib; do
  dpkg -s "$p" >/dev/null 2>&1 || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  source scripts/apt.sh
  zub_apt_install "${need[@]}" >/dev/null
fi
bash tests/interop/servers/install.sh pyftpdlib >/dev/null

cmake -S . -B build-demo -G Ninja -DZUB_TESTS=OFF >/dev/null
cmake --build build-demo -j 2 --target zub zub_demo

work=$(mktemp -d /tmp/zub-demo.XXXXXX)
mkdir -p "$work/root" "$work/state" "$work/local"
pid=
cleanup() {
  if [[ -n $pid ]]; then bash "$top/tests/interop/servers/stop.sh" "$pid" >/dev/null 2>&1 || true; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM
# ZUB_DEMO_PORT moves the server when 2231 is taken (its passive ports move along).
port=${ZUB_DEMO_PORT:-2231}
[[ $port =~ ^[0-9]+$ ]] && ((port > 1024 && port < 23000)) || { echo "ZUB_DEMO_PORT: 1025 to 22999" >&2; exit 2; }
pid=$(bash tests/interop/servers/start.sh pyftpdlib "$work/root" "$port" $((port + 39519)) $((port + 39768)) "$work/state")
login=$(sed -n 's/^USER=//p' "$work/state/credentials")
password=$(sed -n 's/^PASS=//p' "$work/state/credentials")

# zub takes the login from the environment (a password on its command line
# would be visible to every user of the machine).
ZUB_USER=$login ZUB_PASSWORD=$password
export ZUB_USER ZUB_PASSWORD
zub=./build-demo/cli/zub
url=ftp://127.0.0.1:$port

# A small tree: nested folders, names with blanks, one file big enough for
# the progress lines to show.
tree=$work/local/tree
mkdir -p "$tree/docs/old notes" "$tree/media"
printf 'ZUB32 demo\n' >"$tree/readme.txt"
for i in 1 2 3 4 5 6; do head -c $((i * 37000)) /dev/urandom >"$tree/docs/part $i.bin"; done
printf 'kept for later\n' >"$tree/docs/old notes/todo list.txt"
head -c $((48 * 1024 * 1024)) /dev/urandom >"$tree/media/clip one.bin"

# Bars on a terminal; one line per file when the output goes elsewhere.
progress=()
[[ -t 2 ]] || progress=(--progress=plain)

status=0
step() {
  echo
  echo "\$ $*"
  "$@" || { status=$?; echo "(exit status $status)"; }
}
step "$zub" put -r -j 4 "$tree" "$url/demo"
step "$zub" ls "$url/demo"
step "$zub" get -r -j 4 "${progress[@]}" "$url/demo" "$work/local/back"
echo
if diff -r "$tree" "$work/local/back" >/dev/null; then
  echo "the tree came back byte for byte"
else
  echo "the tree came back DIFFERENT"
  status=1
fi

echo
echo "\$ ./build-demo/zub_demo   # examples/demo.c: one session with the API itself"
./build-demo/zub_demo 127.0.0.1 "$port" "$login" "$password" "$work/local" >"$work/local/zub_demo.out" ||
  { status=$?; cat "$work/local/zub_demo.out"; }
tail -n 1 "$work/local/zub_demo.out"
exit $status
