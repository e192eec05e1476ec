#!/usr/bin/env bash
# Installs the FTP servers of the interoperability tests, only what is missing.
# usage: install.sh [all|vsftpd|pure-ftpd|proftpd|pyftpdlib]...
#
# vsftpd, pure-ftpd and proftpd all claim the single "ftp-server" place of dpkg,
# so only the first one goes in through apt; the others are downloaded and
# unpacked below $ZUB_FTPD_PREFIX (default /opt/zub-ftpd) and run from there,
# with their shared libraries installed through apt (those never conflict).
# No service is started by the packages: a policy-rc.d that refuses is in place
# while apt runs, and a daemon installed through apt is disabled at boot right
# after (Debian enables it, with a configuration that takes local logins on
# port 21 of every interface).  The tests start their own servers on loopback.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
source "$here/../../../scripts/apt.sh"

export DEBIAN_FRONTEND=noninteractive
policy_created=0

cleanup() {
  if ((policy_created)); then rm -f /usr/sbin/policy-rc.d; fi
}
trap cleanup EXIT

pkg_installed() {
  [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) == "install ok installed" ]]
}

# Before the first apt action: root, no service start, fresh package lists.
apt_prepare() {
  [[ $EUID -eq 0 ]] || zub_die "must run as root to install $1"
  if [[ ! -e /usr/sbin/policy-rc.d ]]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    policy_created=1
  fi
  zub_apt_update
}

apt_install() {
  apt_prepare "$*"
  zub_apt_install "$@"
}

# Daemons this script installed through apt are listed here, so that later
# runs keep them disabled and never touch a server the machine's owner runs.
installed_list=$ZUB_FTPD_PREFIX/apt-installed

# Boot start-up of a daemon package: off in every runlevel and for systemd.
disable_at_boot() {
  local svc=$1
  if [[ -x /etc/init.d/$svc ]]; then update-rc.d "$svc" disable >/dev/null 2>&1 || true; fi
  rm -f "/etc/systemd/system/multi-user.target.wants/$svc.service"
  if [[ -d /run/systemd/system ]]; then systemctl disable "$svc" >/dev/null 2>&1 || true; fi
}

service_names() {
  case $1 in vsftpd) echo vsftpd ;; pure-ftpd) echo pure-ftpd openbsd-inetd ;; proftpd) echo proftpd ;; esac
}

remember_installed() {
  mkdir -p "$ZUB_FTPD_PREFIX"
  grep -qx "$1" "$installed_list" 2>/dev/null || echo "$1" >>"$installed_list"
}

# Earlier versions of these scripts installed a daemon without recording it;
# the unpacked servers beside it tell that it was ours.
keep_disabled() {
  local server svc
  for server in vsftpd pure-ftpd proftpd; do
    pkg_installed "$(binary_package "$server")" || continue
    if grep -qx "$server" "$installed_list" 2>/dev/null || compgen -G "$ZUB_FTPD_PREFIX/*/.zub-unpacked" >/dev/null; then
      for svc in $(service_names "$server"); do disable_at_boot "$svc"; done
    fi
  done
}

# The installed package holding the ftp-server place, empty if it is free.
ftp_server_holder() {
  dpkg-query -W -f='${db:Status-Abbrev}|${Package}|${Provides}\n' 2>/dev/null |
    awk -F'|' '$1 ~ /^i/ && $3 ~ /(^|[ ,])ftp-server([ ,(]|$)/ { print $2; exit }'
}

# Per server: the package apt installs, the package that carries the binaries
# (and is unpacked otherwise), and the programs the start script runs.
apt_package() {
  case $1 in vsftpd) echo vsftpd ;; pure-ftpd) echo pure-ftpd ;; proftpd) echo proftpd-basic ;; esac
}
binary_package() {
  case $1 in vsftpd) echo vsftpd ;; pure-ftpd) echo pure-ftpd ;; proftpd) echo proftpd-core ;; esac
}
programs() {
  case $1 in vsftpd) echo vsftpd ;; pure-ftpd) echo pure-ftpd pure-pw ;; proftpd) echo proftpd ;; esac
}

# True when every program of SERVER is found and ldd finds all its libraries.
programs_runnable() {
  local server=$1 prog path
  for prog in $(programs "$server"); do
    path=$(zub_find_program "$prog" "$server") || return 1
    if ldd "$path" 2>/dev/null | grep -q 'not found'; then return 1; fi
  done
}

unpacked_complete() {
  [[ -f $ZUB_FTPD_PREFIX/$1/.zub-unpacked ]] && programs_runnable "$1"
}

# The library packages (lib*) among the Depends of PACKAGE.
library_depends() {
  apt-cache show --no-all-versions "$1" | sed -n 's/^Depends: //p' | tr ',' '\n' |
    sed 's/|.*//; s/(.*//; s/:any//; s/[[:space:]]//g' | grep '^lib' || true
}

unpack_server() {
  local server=$1 deb dir debs missing=() lib file prog path
  deb=$(binary_package "$server")
  dir=$ZUB_FTPD_PREFIX/$server
  debs=$ZUB_FTPD_PREFIX/debs
  apt_prepare "$server"

  for lib in $(library_depends "$deb"); do
    pkg_installed "$lib" || missing+=("$lib")
  done
  if ((${#missing[@]})); then apt_install "${missing[@]}"; fi

  mkdir -p "$debs"
  # apt downloads as the _apt user when it can write the directory
  if id _apt >/dev/null 2>&1; then chown _apt "$debs"; fi
  rm -f "$debs/${deb}"_*.deb
  (cd "$debs" && apt-get download -q "$deb")
  file=$(ls "$debs/${deb}"_*.deb)

  rm -rf "$dir.new"
  mkdir -p "$dir.new"
  dpkg-deb -x "$file" "$dir.new"
  rm -rf "$dir"
  mv "$dir.new" "$dir"
  for prog in $(programs "$server"); do
    path=$(zub_find_program "$prog" "$server") || zub_die "$server: $prog missing from $file"
    if ldd "$path" | grep 'not found' >&2; then
      zub_die "$server: $path lacks the libraries above"
    fi
  done
  basename "$file" >"$dir/.zub-unpacked"
}

# proftpd's TLS module ships in proftpd-mod-crypto (apt's proftpd-basic
# brings it); an unpacked proftpd gets it unpacked beside its other modules.
unpack_proftpd_tls() {
  local dir=$ZUB_FTPD_PREFIX/proftpd debs=$ZUB_FTPD_PREFIX/debs file
  [[ -f $dir/usr/lib/proftpd/mod_tls.so ]] && return 0
  mkdir -p "$debs"
  if id _apt >/dev/null 2>&1; then chown _apt "$debs"; fi
  rm -f "$debs"/proftpd-mod-crypto_*.deb
  (cd "$debs" && apt-get download -q proftpd-mod-crypto)
  file=$(ls "$debs"/proftpd-mod-crypto_*.deb)
  dpkg-deb -x "$file" "$dir"
  if ldd "$dir/usr/lib/proftpd/mod_tls.so" | grep 'not found' >&2; then
    zub_die "proftpd: mod_tls.so lacks the libraries above"
  fi
  echo "proftpd: TLS module unpacked in $dir"
}

install_daemon() {
  local server=$1 holder
  if pkg_installed "$(binary_package "$server")" && programs_runnable "$server"; then
    echo "$server: installed ($(zub_find_program "$server" "$server"))"
    return
  fi
  if unpacked_complete "$server"; then
    [[ $server == proftpd ]] && unpack_proftpd_tls
    echo "$server: unpacked in $ZUB_FTPD_PREFIX/$server"
    return
  fi
  holder=$(ftp_server_holder)
  if [[ -z $holder ]]; then
    apt_install "$(apt_package "$server")"
    remember_installed "$server"
    keep_disabled
    programs_runnable "$server" || zub_die "$server: installed but its programs do not run"
    echo "$server: installed through apt"
  else
    unpack_server "$server"
    [[ $server == proftpd ]] && unpack_proftpd_tls
    echo "$server: unpacked in $ZUB_FTPD_PREFIX/$server ($holder holds the ftp-server place)"
  fi
}

install_pyftpdlib() {
  # Debian's module is importable only by the system interpreter.
  if /usr/bin/python3 -c 'import pyftpdlib' 2>/dev/null; then
    echo "pyftpdlib: installed"
    return
  fi
  apt_install python3-pyftpdlib
  /usr/bin/python3 -c 'import pyftpdlib' || zub_die "pyftpdlib: installed but /usr/bin/python3 cannot import it"
  echo "pyftpdlib: installed through apt"
}

targets=()
for arg in "${@:-all}"; do
  if [[ $arg == all ]]; then
    targets+=("${ZUB_SERVERS[@]}")
  elif zub_is_server "$arg"; then
    targets+=("$arg")
  else
    zub_die "unknown server '$arg' (all|vsftpd|pure-ftpd|proftpd|pyftpdlib)"
  fi
done

for server in "${targets[@]}"; do
  case $server in
    pyftpdlib) install_pyftpdlib ;;
    *) install_daemon "$server" ;;
  esac
done
if [[ $EUID -eq 0 ]]; then
  keep_disabled
  # Earlier versions of these scripts left an account ftptest with a shell and
  # a published password: it can no longer log in.
  if getent passwd ftptest | grep -q ':/home/ftptest:/bin/sh$'; then
    usermod --shell /usr/sbin/nologin --lock ftptest &&
      echo "ftptest: the account an earlier version of these scripts made is locked and has no shell now"
  fi
fi
