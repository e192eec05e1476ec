#!/usr/bin/env bash
# zub against a local vsftpd: 200 small files with -j 1 and -j 8, each
# without and with --pauses, and a 1 GiB file, every byte checked, and what the progress lines cost (1 GiB downloads with
# and without them, alternated, on a pseudo-terminal).
# usage: bench/zub_check.sh BUILD_DIR [PORT_OFFSET] [ROUNDS]
#   BUILD_DIR    where cli/zub was built
#   PORT_OFFSET  added to vsftpd's port 2201 and passive range (default 0)
#   ROUNDS       pairs of 1 GiB downloads for the progress cost (default 4)
# Needs root (the server fixture makes its login) and about 3 GiB of /var/tmp.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
zub=$(realpath "${1:?usage: zub_check.sh BUILD_DIR [PORT_OFFSET] [ROUNDS]}/cli/zub")
offset=${2:-0}
rounds=${3:-4}
port=$((2201 + offset))
url=ftp://127.0.0.1:$port

work=$(mktemp -d /var/tmp/zub-check.XXXXXX)
servers=$work/servers
cleanup() {
  bash "$here/tests/interop/servers/fixture.sh" stop vsftpd "$servers" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
bash "$here/tests/interop/servers/fixture.sh" start vsftpd "$port" $((41000 + offset)) $((41249 + offset)) "$servers"
ZUB_USER=$(sed -n 's/^USER=//p' "$servers/vsftpd.env")
ZUB_PASSWORD=$(sed -n 's/^PASS=//p' "$servers/vsftpd.env")
export ZUB_USER ZUB_PASSWORD
cd "$work"

echo "== 200 small files"
mkdir small
for i in $(seq 1 200); do head -c $((i * 97 + RANDOM)) /dev/urandom >"small/f$i.bin"; done
(cd small && sha256sum -- *) >small.sum
urls=()
for i in $(seq 1 200); do urls+=("$url/small/f$i.bin"); done
for jobs in 1 8; do
  for pauses in "" --pauses; do
    name="-j $jobs${pauses:+ $pauses}"
    "$zub" mkdir "$url/small" 2>/dev/null || true
    /usr/bin/time -f "put $name: %e s" "$zub" put -j "$jobs" $pauses -q small/* "$url/small/"
    rm -rf back && mkdir back
    /usr/bin/time -f "get $name: %e s" "$zub" get -j "$jobs" $pauses -q -d back "${urls[@]}"
    (cd back && sha256sum --quiet -c ../small.sum) && echo "200 files, $name: every byte checked"
    [[ $(ls back | wc -l) == 200 ]]
    "$zub" rm "${urls[@]}" >/dev/null
  done
done

echo "== 1 GiB"
head -c $((1 << 30)) /dev/urandom >big.bin
sha256sum <big.bin >big.sum
/usr/bin/time -f "put: %e s" "$zub" put -q big.bin "$url/"
/usr/bin/time -f "get: %e s" "$zub" get -q "$url/big.bin" -o got.bin
sha256sum <got.bin | cmp -s - big.sum && echo "1 GiB: every byte checked"
rm -f got.bin

echo "== progress cost: 1 GiB to /dev/null, on a pseudo-terminal, with and without the lines"
# -c writes straight into the named file, so /dev/null takes the download.
run() {
  local flag=$1
  /usr/bin/time -f "$flag %e %U %S" -a -o times.txt \
    script -qfec "$zub get -c $flag $url/big.bin -o /dev/null" /dev/null >/dev/null
}
: >times.txt
for i in $(seq 1 "$rounds"); do
  # ABBA, so that neither kind always runs right after the other
  if ((i % 2)); then run -q; run --progress=auto; else run --progress=auto; run -q; fi
done
python3 - times.txt <<'EOF'
import statistics, sys
rows = [l.split() for l in open(sys.argv[1])]
for flag, name in (("-q", "without"), ("--progress=auto", "with")):
    wall = [float(r[1]) for r in rows if r[0] == flag]
    cpu = [float(r[2]) + float(r[3]) for r in rows if r[0] == flag]
    print(f"{name:8} progress: wall median {statistics.median(wall):.2f} s, cpu median {statistics.median(cpu):.2f} s"
          f"  (runs: {' '.join(f'{w:.2f}' for w in wall)})")
EOF
