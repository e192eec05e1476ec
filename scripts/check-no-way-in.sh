#!/usr/bin/env bash
# After a test run: nothing it started or installed lets anyone in.  Fails,
# naming each finding, when an FTP service is enabled at boot, a test login
# (or the account of an earlier version of the scripts) has a shell, a login
# or PAM service of this run's servers is left, or one of its ports listens.
# usage: check-no-way-in.sh   (ZUB_INTEROP_PORT_OFFSET as for the run)
set -uo pipefail
offset=${ZUB_INTEROP_PORT_OFFSET:-0}
found=()

for link in /etc/rc[2-5].d/S*; do
  case ${link##*/} in *ftpd* | *inetd*) found+=("service enabled at boot: $link") ;; esac
done
for link in /etc/systemd/system/multi-user.target.wants/*; do
  case ${link##*/} in *ftp* | *inetd*) found+=("service enabled at boot: $link") ;; esac
done

while IFS=: read -r user _ _ _ _ _ shell; do
  case $user in
    ftptest | zubftp*)
      case $shell in */nologin | */false) ;; *) found+=("account $user has the shell $shell") ;; esac
      ;;
  esac
done < <(getent passwd)

# This run's servers: the four fixtures and the private one of the fault tests.
for port in 2201 2211 2221 2231 2291; do
  port=$((port + offset))
  getent passwd "zubftp$port" >/dev/null && found+=("login zubftp$port left behind")
  [[ -e /etc/pam.d/zubftp$port ]] && found+=("PAM service /etc/pam.d/zubftp$port left behind")
  if awk -v addr="$(printf ':%04X' "$port")" '$4 == "0A" && substr($2, length($2) - 4) == addr { f = 1 } END { exit !f }' \
    /proc/net/tcp /proc/net/tcp6 2>/dev/null; then
    found+=("something still listens on port $port")
  fi
done

if ((${#found[@]})); then
  printf 'left a way in: %s\n' "${found[@]}" >&2
  exit 1
fi
echo "no FTP service enabled at boot, no test login with a shell, no login, PAM service or listener of this run left"
