#!/usr/bin/env bash
# The long robustness runs, under ASan and UBSan in build-asan/ (the test
# command runs each briefly):
#   scripts/long_runs.sh api-fuzz [SECONDS]   random sequences of the 28 exports (default 600 s);
#                                             a failure names its seed: ZUB_API_FUZZ_SEED=<seed> replays it
#   scripts/long_runs.sh soak [OPS]           operations over 8 channels (default 10000)
#   scripts/long_runs.sh syscalls             every system call of a session failed once, both data modes
# Run them with nice -n 19 on a shared machine.
set -euo pipefail

what="${1:-}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${ZUB_ASAN_BUILD:-$root/build-asan}"
case "$what" in
  api-fuzz) target=api_fuzz_test; export ZUB_API_FUZZ_SECONDS="${2:-600}" ;;
  soak) target=soak_test; export ZUB_SOAK_OPS="${2:-10000}" ;;
  syscalls) target=syscall_faults_test; export ZUB_SYSCALL_SWEEP=all ;;
  *) sed -n '2,9p' "$0" >&2; exit 2 ;;
esac
cmake -S "$root" -B "$build" -G Ninja -DZUB_SANITIZE=ON -DZUB_INTEROP=OFF >/dev/null
cmake --build "$build" -j 2 --target "$target" >/dev/null
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
"$build/tests/$target"
