#!/usr/bin/env bash
# Proves the install the way a user meets it: builds a Release library,
# installs it into a temporary prefix, builds the example programs out of tree
# against that prefix twice (pkg-config, then find_package), runs them against
# a local FTP server (scripts/ftp-server.sh), checks the man pages, installs
# the Python package into a temporary virtual environment and runs its tests,
# and makes the Debian packages and checks them (as root, on a machine where
# they are not installed yet: apt-get install, use, apt-get remove).
# usage: bash scripts/install-test.sh
# Installs what it needs with apt-get (as root) when it is missing.  Leaves
# nothing behind: the server is stopped and the temporary folder removed, also
# on failure or Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
build=$top/build-install
work=$(mktemp -d /tmp/zub-install.XXXXXX)
prefix=$work/prefix
export ZUB_FTP_STATE=$work/ftp-state ZUB_FTP_PORT=0
debs_installed=0

cleanup() {
  bash "$top/scripts/ftp-server.sh" stop >/dev/null 2>&1 || true
  if ((debs_installed)); then
    apt-get -o DPkg::Lock::Timeout=600 remove -y -q libzub32-1 libzub32-dev zub >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
trap 'echo "install-test: FAILED at line $LINENO: $BASH_COMMAND" >&2' ERR

step() {
  echo "--- $*"
}

step "tools"
need=()
for p in cmake ninja-build g++ pkg-config dpkg-dev man-db python3-venv python3-setuptools python3-wheel \
  python3-pytest python3-pyftpdlib; do
  dpkg -s "$p" >/dev/null 2>&1 || need+=("$p")
done
if ((${#need[@]})); then
  [[ $EUID -eq 0 ]] || { echo "missing packages ${need[*]}; run as root to install them" >&2; exit 1; }
  source scripts/apt.sh
  zub_apt_install "${need[@]}"
fi

step "Release build, configured for /usr as a packager would, installed into $prefix"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZUB_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" -j 2
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name libzub32.so.1 -print -quit)")
[[ -L $libdir/libzub32.so.1 && -L $libdir/libzub32.so ]]
soname=$(readelf -d "$libdir/libzub32.so.1")
grep -q "Library soname: \[libzub32.so.1\]" <<<"$soname"
[[ $(ls "$prefix/include") == zub32.h ]] # only the public header

step "pkg-config: build and run the examples"
export PKG_CONFIG_PATH=$libdir/pkgconfig
[[ $(pkg-config --modversion zub32) == 1.0.0 ]]
mkdir "$work/served"
bash scripts/ftp-server.sh start "$work/served" >/dev/null
eval "$(bash scripts/ftp-server.sh env)"
mkdir -p "$work/pc" "$work/run"
for source in examples/*.c; do
  name=$(basename "$source" .c)
  # shellcheck disable=SC2046  # pkg-config's words are meant to split
  cc "$source" -o "$work/pc/$name" $(pkg-config --cflags --libs zub32) \
    -Wl,-rpath,"$(pkg-config --variable=libdir zub32)"
done
"$work/pc/demo" "$ZUB_FTP_HOST" "$ZUB_FTP_PORT" "$ZUB_FTP_USER" "$ZUB_FTP_PASSWORD" "$work/run"
(cd "$work/run" && "$work/pc/first" "$ZUB_FTP_PORT" "$ZUB_FTP_USER" "$ZUB_FTP_PASSWORD" && cmp hello.txt hello-copy.txt)

step "find_package: build and run the examples"
cmake -S examples -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" -j 2 >/dev/null
"$work/cmake/demo" "$ZUB_FTP_HOST" "$ZUB_FTP_PORT" "$ZUB_FTP_USER" "$ZUB_FTP_PASSWORD" "$work/run" >/dev/null
# The version file refuses an interface the package does not give.
mkdir -p "$work/too-new"
printf 'cmake_minimum_required(VERSION 3.16)\nproject(p C)\nfind_package(zub32 2.0 REQUIRED)\n' >"$work/too-new/CMakeLists.txt"
if cmake -S "$work/too-new" -B "$work/too-new/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null 2>&1; then
  echo "find_package(zub32 2.0) accepted the 1.0.0 package" >&2
  false
fi

step "man pages"
export MANPATH=$prefix/share/man
bash tests/docs/man_pages_test.sh "$prefix/include/zub32.h" "$MANPATH/man3" "$libdir/libzub32.so.1"
[[ $(man -w zubConnect) == "$MANPATH/man3/zubConnect.3" ]]
overview=$(MANWIDTH=80 man zub32 2>/dev/null)
grep -q 'zubGetFile(3)' <<<"$overview"

step "Python package in a virtual environment"
python=/usr/bin/python3
[[ -x $python ]] || python=python3
"$python" -m venv --system-site-packages "$work/venv"
cp -r python "$work/python-src" # pip builds in the source folder
"$work/venv/bin/pip" install -q --no-build-isolation --no-index "$work/python-src"
where=$(cd "$work" && "$work/venv/bin/python" -c 'import zub32; print(zub32.__file__)')
[[ $where == "$work/venv/"* ]] || { echo "zub32 imported from $where, not the venv" >&2; false; }
(cd "$work" && env -u ZUB32_LIBRARY LD_LIBRARY_PATH="$libdir" ZUB32_HEADER="$prefix/include/zub32.h" \
  PYTHONDONTWRITEBYTECODE=1 "$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$top/python/tests")

step "Debian packages"
(cd "$build" && cpack -G DEB >/dev/null)
runtime=$(ls "$build"/libzub32-1_*.deb)
dev=$(ls "$build"/libzub32-dev_*.deb)
client=$(ls "$build"/zub_*.deb)
runtime_files=$(dpkg-deb -c "$runtime")
dev_files=$(dpkg-deb -c "$dev")
grep -q '/libzub32.so.1.0.0$' <<<"$runtime_files"
client_files=$(dpkg-deb -c "$client")
grep -q '/usr/bin/zub$' <<<"$client_files"
for f in include/zub32.h pkgconfig/zub32.pc cmake/zub32/zub32Config.cmake man3/zubConnect.3 man3/zub32.3; do
  grep -Eq "$f(\.gz)?\$" <<<"$dev_files" || { echo "$dev lacks $f" >&2; false; }
done
# ldconfig by trigger, and no maintainer script that would keep the package
# in dpkg's "rc" state after a remove.
control=$(dpkg-deb --ctrl-tarfile "$runtime" | tar -t | sed 's|^\./||' | sort | tr '\n' ' ')
[[ $control == " control md5sums triggers " || $control == "control md5sums triggers " ]] ||
  { echo "$runtime has the control files $control" >&2; false; }
if [[ $EUID -eq 0 ]] && ! dpkg -s libzub32-1 >/dev/null 2>&1 && ! dpkg -s libzub32-dev >/dev/null 2>&1 &&
  ! dpkg -s zub >/dev/null 2>&1; then
  debs_installed=1
  apt-get -o DPkg::Lock::Timeout=600 install -y -q "$runtime" "$dev" "$client" >/dev/null
  files=$(dpkg -L libzub32-1 libzub32-dev zub)
  listing=$(ZUB_USER=$ZUB_FTP_USER ZUB_PASSWORD=$ZUB_FTP_PASSWORD /usr/bin/zub ls "ftp://127.0.0.1:$ZUB_FTP_PORT/")
  grep -q 'hello.txt' <<<"$listing"
  env -u MANPATH man -w zub >/dev/null
  cc examples/demo.c -o "$work/demo-system" $(env -u PKG_CONFIG_PATH pkg-config --cflags --libs zub32)
  "$work/demo-system" "$ZUB_FTP_HOST" "$ZUB_FTP_PORT" "$ZUB_FTP_USER" "$ZUB_FTP_PASSWORD" "$work/run" >/dev/null
  env -u MANPATH man -w zubConnect >/dev/null
  apt-get -o DPkg::Lock::Timeout=600 remove -y -q libzub32-1 libzub32-dev zub >/dev/null
  debs_installed=0
  if dpkg -s libzub32-1 >/dev/null 2>&1 || dpkg -s libzub32-dev >/dev/null 2>&1 || dpkg -s zub >/dev/null 2>&1; then
    echo "apt-get remove left the packages known to dpkg" >&2
    false
  fi
  while read -r f; do
    [[ -d $f || ! -e $f ]] || { echo "$f is left after apt-get remove" >&2; false; }
  done <<<"$files"
else
  echo "(not installed system-wide: needs root and none of the packages installed already)"
fi

step "the local server: 127.0.0.1 only, a new password per start"
listeners=$(awk -v port="$(printf ':%04X' "$ZUB_FTP_PORT")" '$4 == "0A" && substr($2, length($2) - 4) == port { print $2 }' \
  /proc/net/tcp /proc/net/tcp6)
[[ $listeners == "0100007F:$(printf '%04X' "$ZUB_FTP_PORT")" ]] || { echo "the server listens on: $listeners" >&2; false; }
before=$ZUB_FTP_PASSWORD
bash scripts/ftp-server.sh stop >/dev/null
bash scripts/ftp-server.sh start "$work/served" >/dev/null
eval "$(bash scripts/ftp-server.sh env)"
[[ $ZUB_FTP_PASSWORD != "$before" && ${#ZUB_FTP_PASSWORD} -ge 24 ]]
bash scripts/ftp-server.sh stop >/dev/null
echo "install-test: the install, pkg-config, find_package, man pages, the Python package and the Debian packages work"
