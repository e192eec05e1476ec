#!/usr/bin/env bash
# The Windows phase: ZUB32.dll cross-built for 32-bit Windows and checked
# from its files (exports, calling convention, imports, import library),
# then under Wine: the unit and scripted-server tests, the interop suite
# against the Linux FTP servers on 127.0.0.1 (four servers, both data modes,
# 32 concurrent channels), a LoadLibraryA caller and the demo linked through
# the import library, each holding a whole session with vsftpd, and zub.exe
# uploading, listing and downloading there.
#
# Wine runs 32-bit programs only where the kernel runs 32-bit code.  Where it
# does not (a kernel without IA-32 emulation), the same sources and tests are
# built for 64-bit Windows and run under a 64-bit Wine instead, and the 32-bit
# programs (the ABI test among them) are built but cannot run: the phase says
# so.  Every Wine program is judged by its own summary line, not its exit code.
# usage: bash scripts/windows-test.sh      (root installs what is missing)
#   ZUB_INTEROP_PORT_OFFSET=N  shift the FTP server's ports (another run uses them)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$PWD
jobs=2
limit=${ZUB_WINDOWS_TIMEOUT:-900}  # outer limit of each long step, seconds
port_offset=${ZUB_INTEROP_PORT_OFFSET:-0}

say() { echo "windows: $*"; }

# ---- packages ----
have() { dpkg -s "$1" >/dev/null 2>&1; }
install_packages() {
  local need=() p
  for p in "$@"; do have "$p" || need+=("$p"); done
  ((${#need[@]} == 0)) && return 0
  if [[ $EUID -ne 0 ]]; then
    say "missing ${need[*]}; run as root to install them"
    return 1
  fi
  if [[ " ${need[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386 || return 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=600 update -q >/dev/null &&
    apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "${need[@]}" >/dev/null
}

if ! install_packages g++-mingw-w64-i686 wine wine32:i386 cmake python3; then
  say "SKIPPED: the cross compiler and Wine cannot be installed here"
  exit 0
fi

# The real FTP servers (Linux programs on 127.0.0.1) for the interop suite
# and the whole-session callers: installing them needs root.
interop=OFF
if [[ $EUID -eq 0 ]] && bash tests/interop/servers/install.sh all >/dev/null 2>&1; then
  interop=ON
else
  say "the FTP servers cannot be installed (needs root): no interop suite, no whole-session callers"
fi

# ---- the module, 32-bit ----
b32=$root/build-win32
configure() {
  local dir=$1 toolchain=$2
  shift 2
  cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DZUB_INTEROP="$interop" -DZUB_INTEROP_PORT_OFFSET="$port_offset" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$root/cmake/wine-gtest.sh" "$@" >"$dir/configure.log" 2>&1 ||
    { cat "$dir/configure.log"; return 1; }
}

# 32-bit programs run if the kernel executes the 32-bit Wine loader.
run32=0
/usr/lib/wine/wine --version >/dev/null 2>&1 && run32=1

mkdir -p "$b32"
configure "$b32" toolchain-i686-mingw.cmake || exit 1
if ((run32)); then
  timeout "$limit" cmake --build "$b32" -j "$jobs" >"$b32/build.log" 2>&1 || { tail -40 "$b32/build.log"; exit 1; }
else
  timeout "$limit" cmake --build "$b32" -j "$jobs" --target zub32 zub_demo abi_test dynamic_caller zub \
    >"$b32/build.log" 2>&1 || { tail -40 "$b32/build.log"; exit 1; }
fi
say "built $(cd "$b32/bin" && echo ZUB32.dll ZUB32.lib ZUB32.def zub32.h)"

failures=0
parts=()  # what failed, repeated at the end
failed_part() {
  failures=$((failures + 1))
  parts+=("$1")
}
python3 tests/windows/check_module.py include/zub32.h api/ZUB32.def "$b32/bin/ZUB32.dll" "$b32/bin/ZUB32.lib" \
  i686-w64-mingw32-objdump i686-w64-mingw32-nm | tail -20 | tee "$b32/module-check.log"
grep -q '^module check: [0-9]* passed, 0 failed$' "$b32/module-check.log" || failed_part "module check"

# ---- where the tests run ----
if ((run32)); then
  tests=$b32
  wine=/usr/lib/wine/wine
  export WINEARCH=win32
else
  say "NOTE: this kernel runs no 32-bit programs (IA-32 emulation is off), so 32-bit Wine cannot start."
  say "NOTE: the 32-bit module was checked from its files only; the ABI test program is built, not run."
  say "NOTE: the tests run built for 64-bit Windows under a 64-bit Wine: the same sources and tests."
  if ! install_packages g++-mingw-w64-x86-64 wine64; then
    say "SKIPPED: the 64-bit cross compiler and Wine cannot be installed here"
    ((failures)) && say "FAILED: ${parts[*]}"
    exit $((failures > 0))
  fi
  tests=$root/build-win64
  wine=/usr/lib/wine/wine64
  export WINEARCH=win64
  mkdir -p "$tests"
  configure "$tests" toolchain-x86_64-mingw.cmake -DCMAKE_CXX_FLAGS_RELEASE=-O1 -DCMAKE_C_FLAGS_RELEASE=-O1 || exit 1
fi

# ---- Wine, headless, in a prefix of this build's own ----
export WINEPREFIX=$tests/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" ZUB_WINE=$wine
unset DISPLAY
server_dir=$tests/windows-server
cleanup() {
  [[ -f $server_dir/vsftpd.env ]] && bash tests/interop/servers/fixture.sh stop vsftpd "$server_dir" >/dev/null 2>&1
  WINEPREFIX=$tests/wine-prefix wineserver -k >/dev/null 2>&1
}
trap cleanup EXIT
mkdir -p "$WINEPREFIX"
# The server first and detached: Wine's service processes must not hold
# the pipes of what runs the tests.
wineserver -p >/dev/null 2>&1 </dev/null
timeout 300 "$wine" wineboot -i >/dev/null 2>&1 </dev/null
timeout 120 "$wine" cmd /c exit >/dev/null 2>&1 </dev/null

if ((!run32)); then
  timeout "$limit" cmake --build "$tests" -j "$jobs" >"$tests/build.log" 2>&1 || { tail -40 "$tests/build.log"; exit 1; }
fi

if ((run32)); then
  (cd "$b32/bin" && timeout 120 "$wine" abi_test.exe ZUB32.def </dev/null 2>&1 | tr -d '\r' | tail -30) |
    tee "$b32/abi.log"
  grep -q '^abi: [0-9]* passed, 0 failed$' "$b32/abi.log" || failed_part "ABI test"
fi

# ---- unit, scripted-server and (with the servers) interop tests: the
# matrix of four servers in both data modes and 32 concurrent channels ----
(cd "$tests" && timeout "$limit" ctest -j "$jobs" --no-tests=error --timeout 240 >ctest.log 2>&1)
tail -25 "$tests/ctest.log"
grep -q '^100% tests passed, 0 tests failed out of [1-9]' "$tests/ctest.log" ||
  failed_part "ctest ($(sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\) .*/\1/p' "$tests/ctest.log" | tr '\n' ' ' | sed 's/ $//'))"

# ---- whole sessions against a real server, from a LoadLibraryA caller and
# from the demo linked through the import library ----
if [[ $interop == ON ]] &&
  bash tests/interop/servers/fixture.sh start vsftpd $((2201 + port_offset)) $((41000 + port_offset)) \
    $((41249 + port_offset)) "$server_dir" >"$tests/server.log" 2>&1; then
  ftp_port=$(sed -n 's/^PORT=//p' "$server_dir/vsftpd.env")
  ftp_user=$(sed -n 's/^USER=//p' "$server_dir/vsftpd.env")
  ftp_pass=$(sed -n 's/^PASS=//p' "$server_dir/vsftpd.env")
  work=$tests/windows-work
  rm -rf "$work"
  mkdir -p "$work"
  winwork="Z:${work//\//\\}"
  (cd "$tests/bin" && timeout 300 "$wine" dynamic_caller.exe 127.0.0.1 "$ftp_port" "$ftp_user" "$ftp_pass" "$winwork" \
    </dev/null 2>&1 | tr -d '\r') | tee "$tests/dynamic-caller.log" | tail -5
  grep -q '^dynamic caller: [0-9]* passed, 0 failed$' "$tests/dynamic-caller.log" || failed_part "dynamic caller"
  (cd "$tests/bin" && timeout 300 "$wine" zub_demo.exe 127.0.0.1 "$ftp_port" "$ftp_user" "$ftp_pass" "$winwork" \
    </dev/null 2>&1 | tr -d '\r') | tee "$tests/demo.log" | tail -3
  grep -q '^demo passed' "$tests/demo.log" || failed_part "demo"
  # zub.exe: an upload, a listing and a download, each judged by what it
  # printed and the download by its bytes.
  head -c 300000 /dev/urandom >"$work/zub-up.bin"
  zub() {
    (cd "$tests/bin" && ZUB_USER=$ftp_user ZUB_PASSWORD=$ftp_pass timeout 120 "$wine" zub.exe "$@" </dev/null 2>&1 |
      tr -d '\r') | tee -a "$tests/zub.log"
  }
  : >"$tests/zub.log"
  url=ftp://127.0.0.1:$ftp_port
  zub_ok=0
  zub put --progress=plain "$winwork\\zub-up.bin" "$url/zub-cli.bin" | grep -q 'zub-up.bin: .* in ' &&
    zub_ok=$((zub_ok + 1))
  zub ls -1 "$url/" | grep -qx 'zub-cli.bin' && zub_ok=$((zub_ok + 1))
  zub get --progress=plain "$url/zub-cli.bin" -o "$winwork\\zub-down.bin" | grep -q 'zub-down.bin: .* in ' &&
    cmp -s "$work/zub-up.bin" "$work/zub-down.bin" && zub_ok=$((zub_ok + 1))
  echo "zub.exe: $zub_ok of 3 passed (put, ls, get)" | tee -a "$tests/zub.log"
  ((zub_ok == 3)) || failed_part "zub.exe"
else
  failed_part "no FTP server for the whole-session callers"
fi

if ((failures)); then
  say "FAILED ($failures part(s)): ${parts[*]}"
  exit 1
fi
say "passed$( ((run32)) || echo ' (tests as 64-bit programs; the 32-bit module checked from its files)')"
