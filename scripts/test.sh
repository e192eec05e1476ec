#!/usr/bin/env bash
# The project's test command: installs what is missing, builds, runs the unit
# and real-server tests, then the same unit tests under ASan+UBSan.
# usage: bash scripts/test.sh
#   ZUB_TEST_INTEROP=0         skip the real FTP servers (they need root)
#   ZUB_INTEROP_PORT_OFFSET=N  shift the servers' ports (another run uses them)
# Exits non-zero when any build or test fails, when a phase that should have
# run did not, or when a run finds no test; prints the time of each phase.
# Its build folders are its own (build, build-asan, build-tsan, ...): the
# demo builds elsewhere, so neither changes the other's options.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
jobs=2
interop=${ZUB_TEST_INTEROP:-1}

failed=()
summary=()
declare -A ran=()
# Each phase's output is kept too, so that the summary at the end can repeat
# why a phase failed: a CI log is often read from its tail alone.
phase_logs=$(mktemp -d /tmp/zub-test-phases.XXXXXX)

# phase NAME COMMAND...: runs it, records its time and result.
phase() {
  local name=$1 start=$SECONDS status=0
  shift
  echo
  echo "=== $name"
  local log=$phase_logs/${name//[^A-Za-z0-9]/_}.log
  "$@" > >(tee "$log") 2>&1 || status=$?
  wait $! 2>/dev/null || true  # tee has written everything
  local took=$((SECONDS - start))
  ran[$name]=1
  if ((status == 0)); then
    summary+=("$(printf '%-22s %5ss  ok' "$name" "$took")")
  else
    summary+=("$(printf '%-22s %5ss  FAILED (exit %s)' "$name" "$took" "$status")")
    failed+=("$name")
  fi
  echo "=== $name: $( ((status == 0)) && echo ok || echo "FAILED (exit $status)") in ${took}s"
  return $status
}

# The phases a run must have gone through; more join below as they apply.
expected=("build dependencies" "build" "tests" "build ASan+UBSan" "tests ASan+UBSan" "no way in")

finish() {
  local name
  for name in "${expected[@]}"; do
    if [[ -z ${ran[$name]:-} ]]; then
      summary+=("$(printf '%-22s %5s   DID NOT RUN' "$name" "")")
      failed+=("$name")
    fi
  done
  echo
  echo "=== summary"
  printf '%s\n' "${summary[@]}"
  if ((${#failed[@]})); then
    for name in "${failed[@]}"; do
      local log=$phase_logs/${name//[^A-Za-z0-9]/_}.log
      [[ -s $log ]] || continue
      echo
      echo "=== why $name failed (its last lines; the whole output is above)"
      grep -v '^ *Start [0-9]*:\|Test *#[0-9]*:.*Passed' "$log" | tail -25
    done
    rm -rf "$phase_logs"
    echo
    echo "FAILED: ${failed[*]}"
    exit 1
  fi
  rm -rf "$phase_logs"
  echo "all phases passed"
  exit 0
}

install_build_deps() {
  local need=() p
  for p in cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev python3; do
    dpkg -s "$p" >/dev/null 2>&1 || need+=("$p")
  done
  local want_clang=0
  dpkg -s clang >/dev/null 2>&1 || want_clang=1
  if ((${#need[@]} == 0 && want_clang == 0)); then
    echo "build dependencies present"
    return 0
  fi
  if [[ $EUID -ne 0 ]]; then
    echo "missing packages ${need[*]} $( ((want_clang)) && echo clang); run as root to install them" >&2
    ((${#need[@]} == 0))
    return
  fi
  source scripts/apt.sh
  if ((${#need[@]})); then
    zub_apt_install "${need[@]}" || return
  fi
  # clang only serves the fuzz targets: its absence is not a failure
  if ((want_clang)); then
    zub_apt_install clang || echo "clang not installed; fuzzing skipped" >&2
  fi
}

build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DZUB_TESTS=ON -DZUB_WERROR=ON "$@" && cmake --build "$dir" -j "$jobs"
}

# A run that finds no test is a failure, not a pass.
run_ctest() {
  ctest --no-tests=error --output-on-failure "$@"
}

# Servers the CTest fixtures started and could not stop (Ctrl-C, a killed
# ctest): stopped here, with the logins made for them.
stop_servers() {
  local state name
  for state in build*/interop/*/state; do
    [[ -d $state ]] || continue
    name=$(basename "$(dirname "$state")")
    bash tests/interop/servers/fixture.sh stop "$name" "$(dirname "$(dirname "$state")")" >/dev/null 2>&1 || true
  done
}
interrupted() {
  echo
  echo "=== interrupted: stopping the test servers"
  stop_servers
  exit 130
}
trap interrupted INT TERM
trap stop_servers EXIT

phase "build dependencies" install_build_deps || finish

interop_flags=(-DZUB_INTEROP=ON "-DZUB_INTEROP_PORT_OFFSET=${ZUB_INTEROP_PORT_OFFSET:-0}")
if [[ $interop == 0 ]]; then
  interop_flags=(-DZUB_INTEROP=OFF)
  echo "ZUB_TEST_INTEROP=0: real-server tests skipped"
else
  expected+=("FTP servers" "build TSan" "tests TSan")
  phase "FTP servers" bash tests/interop/servers/install.sh all || finish
fi

if phase "build" build build "${interop_flags[@]}"; then
  phase "tests" run_ctest --test-dir build -j "$jobs"
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
if phase "build ASan+UBSan" build build-asan -DZUB_SANITIZE=ON -DZUB_INTEROP=OFF; then
  phase "tests ASan+UBSan" run_ctest --test-dir build-asan -j "$jobs"
fi

# ---- further runs (fuzzing, ThreadSanitizer) are added here ----
expected+=("install"); phase "install" bash scripts/install-test.sh # prefix, pkg-config, find_package, man, Python, .deb
if [[ -f scripts/fuzz.sh ]] && command -v clang++ >/dev/null 2>&1; then
  expected+=("fuzz")
  phase "fuzz" bash scripts/fuzz.sh
fi

# ThreadSanitizer: only the concurrency test (32 channels on 32 threads, then
# from one thread) is built and run, with the server fixtures as above.
build_tsan() {
  cmake -S . -B build-tsan -G Ninja -DZUB_TESTS=ON -DZUB_WERROR=ON -DZUB_TSAN=ON "${interop_flags[@]}" &&
    cmake --build build-tsan -j "$jobs" --target interop_concurrency_test
}
if [[ $interop != 0 ]] && phase "build TSan" build_tsan; then
  phase "tests TSan" run_ctest --test-dir build-tsan -R Concurrency
fi
# ZUB32.dll for Windows, cross-built, checked and tested under Wine.
expected+=("windows")
phase "windows" bash scripts/windows-test.sh
# ---- end of further runs ----

# Last: nothing the run started or installed lets anyone in.
stop_servers
phase "no way in" bash scripts/check-no-way-in.sh

finish
