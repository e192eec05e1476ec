#!/usr/bin/env bash
# Drives random sequences of the 28 exported functions against the scripted
# server for SECONDS (default 600), under ASan and UBSan, in build-asan/.
# The test command runs the same test briefly (a few fixed seeds).  A
# failure prints its seed; ZUB_API_FUZZ_SEED=<seed> replays it.
#   nice -n 19 scripts/api_fuzz.sh 600
set -euo pipefail

seconds="${1:-600}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${ZUB_ASAN_BUILD:-$root/build-asan}"
cmake -S "$root" -B "$build" -G Ninja -DZUB_SANITIZE=ON -DZUB_INTEROP=OFF >/dev/null
cmake --build "$build" -j 2 --target api_fuzz_test >/dev/null
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ZUB_API_FUZZ_SECONDS="$seconds" "$build/tests/api_fuzz_test"
