#!/usr/bin/env bash
# Builds the library and the demo, starts a local FTP server (pyftpdlib on
# 127.0.0.1:2231), runs one whole session against it and stops the server.
# Installs what it needs with apt-get when it is missing.
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
  apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
bash tests/interop/servers/install.sh pyftpdlib >/dev/null

cmake -S . -B build -G Ninja -DZUB_TESTS=OFF >/dev/null
ninja -C build -j2 zub_demo

work=$(mktemp -d /tmp/zub-demo.XXXXXX)
mkdir -p "$work/root" "$work/state" "$work/local"
chmod 755 "$work" "$work/root" "$work/local"
pid=$(bash tests/interop/servers/start.sh pyftpdlib "$work/root" 2231 41750 41999 "$work/state")
trap 'bash "$top/tests/interop/servers/stop.sh" "$pid" >/dev/null 2>&1 || true' EXIT

status=0
./build/zub_demo 127.0.0.1 2231 ftptest ftptest "$work/local" || status=$?
echo "trace log: $work/local/zub-trace.log"
exit $status
