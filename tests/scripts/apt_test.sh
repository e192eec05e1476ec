#!/usr/bin/env bash
# scripts/apt.sh against a stand-in apt-get that fails its first N updates
# and M installs: what is retried, what is not, and what the caller is told.
# usage: apt_test.sh APT_SH
set -uo pipefail
apt_sh=$1
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
cat >"$work/apt-get" <<'FAKE'
#!/usr/bin/env bash
for verb in update install; do
  [[ " $* " == *" $verb "* ]] || continue
  echo "$verb" >>"$FAKE_DIR/calls"
  n=$(grep -cx "$verb" "$FAKE_DIR/calls")
  limit=$([[ $verb == update ]] && echo "$FAIL_UPDATES" || echo "$FAIL_INSTALLS")
  ((n > limit))
  exit
done
exit 2
FAKE
chmod +x "$work/apt-get"

failures=0
# case NAME FAIL_UPDATES FAIL_INSTALLS INSTALLS EXPECTED_RC EXPECTED_CALLS
case_() {
  local name=$1 updates=$2 installs=$3 count=$4 want_rc=$5 want_calls=$6 rc calls
  rm -f "$work/calls"
  (
    export PATH=$work:$PATH FAKE_DIR=$work FAIL_UPDATES=$updates FAIL_INSTALLS=$installs
    source "$apt_sh"
    sleep() { :; }  # the pauses between tries
    for ((i = 0; i < count; i++)); do zub_apt_install pkg 2>/dev/null || exit; done
  )
  rc=$?
  calls=$(tr '\n' ' ' <"$work/calls" | sed 's/ $//')
  if [[ $rc != "$want_rc" || $calls != "$want_calls" ]]; then
    echo "FAIL: $name: exit $rc, calls '$calls'; want exit $want_rc, calls '$want_calls'"
    failures=$((failures + 1))
  fi
}
case_ "all well"                      0 0 1 0 "update install"
case_ "one list update fails"         1 0 1 0 "update update install"
case_ "updates fail: install anyway"  3 0 1 0 "update update update install"
case_ "lists broken: no second round" 3 9 1 1 "update update update install"
case_ "stale lists: one fresh round"  0 1 1 0 "update install update install"
case_ "package gone for good"         0 9 1 1 "update install update install"
case_ "lists refreshed once a script" 0 0 2 0 "update install install"
((failures == 0)) && echo "apt helper: 7 cases passed"
exit $((failures > 0))
