#!/usr/bin/env bash
# Builds the libFuzzer targets (listing utilities, reply reader) with clang in
# build-fuzz/ and runs each for SECONDS (default 10).  Fails on the first
# crash, leak, sanitizer report or time-out; the failing input is kept in
# build-fuzz/artifacts/.
#   scripts/fuzz.sh          # a short run, as the test command does
#   scripts/fuzz.sh 600      # ten minutes per target
set -euo pipefail

seconds="${1:-10}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${ZUB_FUZZ_BUILD:-$root/build-fuzz}"
targets=(fuzz_extract fuzz_filelength fuzz_matchfile fuzz_replies)

if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz.sh: clang++ not found; install clang to run the fuzz targets" >&2
  exit 1
fi

# libFuzzer and the sanitizer runtimes come in a package of their own that a
# plain clang install (without recommends) leaves out.
probe_fuzzer() {
  local dir
  dir="$(mktemp -d)"
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' >"$dir/p.cpp"
  clang++ -fsanitize=fuzzer,address,undefined "$dir/p.cpp" -o "$dir/p" >/dev/null 2>&1
  local rc=$?
  rm -rf "$dir"
  return $rc
}
if ! probe_fuzzer; then
  major="$(clang++ -dumpversion | cut -d. -f1)"
  if [[ "$(id -u)" == 0 ]] && command -v apt-get >/dev/null 2>&1; then
    apt-get install -y -q --no-install-recommends "libclang-rt-$major-dev" >/dev/null || true
  fi
  if ! probe_fuzzer; then
    echo "fuzz.sh: clang++ cannot link -fsanitize=fuzzer (install libclang-rt-$major-dev)" >&2
    exit 1
  fi
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DZUB_FUZZ=ON -DZUB_TESTS=OFF -DZUB_INTEROP=OFF -DZUB_BENCH=OFF >/dev/null
if ! ninja -C "$build" -j2 "${targets[@]}" >"$build/build.log" 2>&1; then
  tail -40 "$build/build.log" >&2
  echo "fuzz.sh: build failed (log $build/build.log)" >&2
  exit 1
fi

mkdir -p "$build/artifacts"
status=0
for target in "${targets[@]}"; do
  # New inputs go into a scratch corpus; the seeds in the repository stay as they are.
  work="$build/corpus/$target"
  mkdir -p "$work"
  log="$build/$target.log"
  # Replies need room for lines longer than the 4096-byte reply buffer.
  max_len=4096
  [[ "$target" == fuzz_replies ]] && max_len=12288
  echo "fuzz.sh: $target for ${seconds}s"
  if "$build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$max_len" \
       -artifact_prefix="$build/artifacts/$target-" "$work" "$root/tests/fuzz/corpus/$target" \
       >"$log" 2>&1; then
    grep -E '^Done [0-9]+ runs' "$log" | tail -1 || true
  else
    echo "fuzz.sh: $target FAILED (log $log):" >&2
    tail -40 "$log" >&2
    status=1
  fi
done
exit "$status"
