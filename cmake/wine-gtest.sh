#!/usr/bin/env bash
# CTest's emulator for the cross-built GoogleTest programs: runs one under
# Wine ($ZUB_WINE, default wine) and passes only when its own summary says so, since Wine may exit 0
# for a program that never ran or was cut short.  Carriage returns of the
# Windows console are dropped so that CTest reads the lines as usual.
out=$(mktemp) || exit 1
trap 'rm -f "$out"' EXIT
"${ZUB_WINE:-wine}" "$@" </dev/null 2>&1 | tr -d '\r' | tee "$out"
status=${PIPESTATUS[0]}
# A program Wine failed to start at all (nothing printed, not even
# GoogleTest's first line) gets one more start: that is Wine's fault, not a
# test's.  A program that ran is judged as it ran.
if ((status != 0)) && ! grep -q '^Running main()\|^\[==========\]' "$out"; then
  echo "wine-gtest: Wine started nothing (exit $status); starting it again" >&2
  "${ZUB_WINE:-wine}" "$@" </dev/null 2>&1 | tr -d '\r' | tee "$out"
  status=${PIPESTATUS[0]}
fi
for arg in "$@"; do
  [[ $arg == --gtest_list_tests ]] && exit "$status"
done
if ((status == 0)) && grep -q '^\[  PASSED  \] ' "$out" && ! grep -q '^\[  FAILED  \] ' "$out"; then
  exit 0
fi
echo "wine-gtest: no passing GoogleTest summary (wine exit $status)" >&2
exit $((status == 0 ? 1 : status))
