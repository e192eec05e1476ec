#!/usr/bin/env bash
# Builds the library and the demo in build-demo (never the tests' folders),
# starts a local FTP server (pyftpdlib on 127.0.0.1:2231 with a login made
# for this run), runs one whole session against it and stops the server, also
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
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${need[@]}"
fi
bash tests/interop/servers/install.sh pyftpdlib >/dev/null

cmake -S . -B build-demo -G Ninja -DZUB_TESTS=OFF >/dev/null
cmake --build build-demo -j 2 --target zub_demo

work=$(mktemp -d /tmp/zub-demo.XXXXXX)
mkdir -p "$work/root" "$work/state" "$work/local"
pid=
cleanup() {
  if [[ -n $pid ]]; then bash "$top/tests/interop/servers/stop.sh" "$pid" >/dev/null 2>&1 || true; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM
pid=$(bash tests/interop/servers/start.sh pyftpdlib "$work/root" 2231 41750 41999 "$work/state")
login=$(sed -n 's/^USER=//p' "$work/state/credentials")
password=$(sed -n 's/^PASS=//p' "$work/state/credentials")

status=0
./build-demo/zub_demo 127.0.0.1 2231 "$login" "$password" "$work/local" || status=$?
echo "trace log: $work/local/zub-trace.log"
exit $status
