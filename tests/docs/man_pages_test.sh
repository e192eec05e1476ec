#!/usr/bin/env bash
# Checks the reference pages against the library: every export has its
# section-3 page, every page is named after a real export (or is the zub32(3)
# overview, which names them all), every cross-reference leads to a page, and
# groff reads every page without a warning.  Section-1 pages (programs) are
# allowed beside them.
# usage: man_pages_test.sh HEADER MANDIR [LIBRARY]
set -uo pipefail
header=$1 mandir=$2 library=${3:-}
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

mapfile -t exports < <(grep -o 'ZUB_EXPORT int32_t ZUB_API zub[A-Za-z]*(' "$header" | sed 's/.* \(zub[A-Za-z]*\)(/\1/' | sort)
((${#exports[@]} == 28)) || fail "the header declares ${#exports[@]} exports, not 28"
if [[ -n $library ]]; then
  mapfile -t symbols < <(nm -D --defined-only "$library" | awk '$2 == "T" { print $3 }' | sort)
  [[ "${symbols[*]}" == "${exports[*]}" ]] || fail "the library exports '${symbols[*]}', the header declares '${exports[*]}'"
fi
is_export() {
  local e
  for e in "${exports[@]}"; do [[ $e == "$1" ]] && return 0; done
  return 1
}

for e in "${exports[@]}"; do
  [[ -f $mandir/$e.3 ]] || fail "$e has no page $e.3"
done

for page in "$mandir"/*; do
  file=$(basename "$page")
  name=${file%.*}
  case $file in
    *.1) continue ;;
    *.3) ;;
    *) fail "$file is neither a section-1 nor a section-3 page"; continue ;;
  esac
  if [[ $name != zub32 ]] && ! is_export "$name"; then
    fail "$file names no export of the library"
    continue
  fi
  grep -q "^\.TH ${name^^} 3 " "$page" || fail "$file: its .TH line does not name ${name^^} in section 3"
  grep -A1 '^\.SH NAME' "$page" | tail -n 1 | grep -q "^$name \\\\- " || fail "$file: its NAME line does not begin with $name"
  if [[ $name != zub32 ]]; then
    grep -A3 '^\.SH SYNOPSIS' "$page" | grep -q '#include <zub32.h>' || fail "$file: no #include <zub32.h> in its synopsis"
    sed -n '/^\.SH SYNOPSIS/,/^\.SH DESCRIPTION/p' "$page" | grep -q "$name(" || fail "$file: its synopsis does not declare $name"
  fi
  while read -r ref; do
    [[ -f $mandir/$ref.3 ]] || fail "$file refers to $ref(3), which has no page"
  done < <(grep -o '^\.BR zub[A-Za-z0-9]* (3)' "$page" | awk '{ print $2 }')
  if command -v groff >/dev/null 2>&1; then
    warnings=$(groff -man -t -Tutf8 -ww -z "$page" 2>&1)
    [[ -z $warnings ]] || fail "$file: groff warns: $warnings"
  fi
done

# The overview names every export.
for e in "${exports[@]}"; do
  grep -q "^\.BR $e (3)" "$mandir/zub32.3" || fail "zub32.3 does not list $e"
done

if ((failures)); then
  echo "$failures problem(s) in $mandir"
  exit 1
fi
echo "${#exports[@]} exports, each with its page; every page names a real export"
