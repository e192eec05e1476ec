#!/usr/bin/env bash
# The benchmark table in one command: builds the benchmark programs, starts a
# private vsftpd on 127.0.0.1 and a second one that requires TLS (with
# certificates made for the run), makes the files, runs every case with ZUB32
# (pauses 0 and 1) and curl in turn, prints the table of medians and ratios
# and saves it as JSON.  Not part of the tests.  Needs root (the server
# scripts make a login for the run and remove it), vsftpd
# (tests/interop/servers/install.sh vsftpd) and curl; about 2.1 GiB of free
# memory (or, without 8 GiB available, of space in /var/tmp).
#
#   bash bench/run.sh [--runs N] [--json FILE] [--case TEXT]...
#       (defaults: 7, bench-results.json, every case)
#
# --case keeps only the cases whose name contains TEXT ("upload", "1 KiB"),
# to repeat one alone; the idle-wait lines are then left out.
#
# Environment: ZUB_BENCH_PORT (control port, 9301) and ZUB_BENCH_PASV
# (passive range, 49000-49249), ZUB_BENCH_TLS_PORT (9311) and
# ZUB_BENCH_TLS_PASV (49250-49499) keep the private servers clear of the test
# servers; ZUB_BENCH_BUILD (build folder, build-bench).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
runs=7
json=$PWD/bench-results.json
only=()
while (($#)); do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --json) json=$(realpath -m "$2"); shift 2 ;;
    --case) only+=(--case "$2"); shift 2 ;;
    *) echo "usage: bench/run.sh [--runs N] [--json FILE] [--case TEXT]..." >&2; exit 2 ;;
  esac
done
port=${ZUB_BENCH_PORT:-9301}
pasv=${ZUB_BENCH_PASV:-49000-49249}
tls_port=${ZUB_BENCH_TLS_PORT:-9311}
tls_pasv=${ZUB_BENCH_TLS_PASV:-49250-49499}
build=${ZUB_BENCH_BUILD:-$top/build-bench}
command -v curl >/dev/null || { echo "run.sh: curl is missing" >&2; exit 1; }

# The idle-wait benchmark needs the tests' support library (GoogleTest).
if ! cmake -S "$top" -B "$build" -DZUB_BENCH=ON -DZUB_INTEROP=OFF >/dev/null; then
  cmake -S "$top" -B "$build" -DZUB_BENCH=ON -DZUB_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j2 --target zub_bench_client bench_suite >/dev/null
cmake --build "$build" -j2 --target idle_wait_bench >/dev/null 2>&1 || echo "run.sh: idle_wait_bench not built"

# Below /var/tmp: the server's login must reach the root through every folder.
work=$(mktemp -d /var/tmp/zub-bench-XXXXXX)
chmod 0711 "$work"
# The files live in memory where there is room for them: on a virtual
# machine the disk's writeback of each run's gigabyte swings single runs by
# half, which says nothing of either client (ZUB_BENCH_DISK=1 keeps them on
# the disk).
mounted=
avail_kib=$(awk '/^MemAvailable:/ {print $2}' /proc/meminfo)
if [[ ${ZUB_BENCH_DISK:-0} != 1 && ${avail_kib:-0} -gt $((8 * 1024 * 1024)) ]] &&
  mount -t tmpfs -o size=5g,mode=0711 zub-bench "$work" 2>/dev/null; then
  mounted=1
fi
pid=
tls_pid=
cleanup() {
  if [[ -n $pid ]]; then bash "$top/tests/interop/servers/stop.sh" "$pid" || true; fi
  if [[ -n $tls_pid ]]; then bash "$top/tests/interop/servers/stop.sh" "$tls_pid" || true; fi
  if [[ -n $mounted ]]; then umount "$work" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/root" "$work/local" "$work/state"
echo "making the files in $work ($([[ -n $mounted ]] && echo "in memory" || echo "on disk"))"
head -c 1G /dev/urandom >"$work/root/big.bin"
ln "$work/root/big.bin" "$work/local/up.bin"
head -c 32M /dev/urandom >"$work/root/p00.bin"
for i in $(seq -w 1 31); do ln "$work/root/p00.bin" "$work/root/p$i.bin"; done
for i in $(seq -w 0 199); do head -c 1K /dev/urandom >"$work/root/s$i.bin"; done

pid=$(bash "$top/tests/interop/servers/start.sh" vsftpd "$work/root" "$port" "${pasv%-*}" "${pasv#*-}" "$work/state")
echo "vsftpd (PID $pid) on 127.0.0.1:$port, passive ports $pasv"
# The same server requiring TLS on the control and data connections (and
# session reuse), with a root of its own that holds the same big.bin.
mkdir -p "$work/certs" "$work/tls-root" "$work/tls-state"
bash "$top/tests/interop/servers/make-certs.sh" "$work/certs"
ln "$work/root/big.bin" "$work/tls-root/big.bin"
tls_pid=$(ZUB_FTPD_TLS=explicit ZUB_FTPD_TLS_CERT=$work/certs/server.pem ZUB_FTPD_TLS_KEY=$work/certs/server.key \
  bash "$top/tests/interop/servers/start.sh" vsftpd "$work/tls-root" "$tls_port" "${tls_pasv%-*}" "${tls_pasv#*-}" \
  "$work/tls-state")
echo "vsftpd with TLS required (PID $tls_pid) on 127.0.0.1:$tls_port, passive ports $tls_pasv"
idle=()
if [[ -x $build/bench/idle_wait_bench && ${#only[@]} -eq 0 ]]; then idle=(--idle "$build/bench/idle_wait_bench"); fi
"$build/bench/bench_suite" --port "$port" --credentials "$work/state/credentials" --root "$work/root" --local "$work/local" \
  --client "$build/bench/zub_bench_client" --runs "$runs" --json "$json" "${idle[@]}" "${only[@]}" \
  --tls-port "$tls_port" --tls-credentials "$work/tls-state/credentials" --ca "$work/certs/ca.pem"
