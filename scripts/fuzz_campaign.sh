#!/usr/bin/env bash
# A fuzzing campaign: every fuzz target for SECONDS (default 600) on the
# corpus kept in the repository, which grows by the inputs of the run that
# add coverage (-merge=1).  Prints one result line per target: runs,
# coverage, features, corpus size, findings.  Findings stop nothing: every
# crashing input is kept in build-fuzz/artifacts/ to be fixed and added to
# the corpus as a regression case.
#   nice -n 19 scripts/fuzz_campaign.sh 600 [TARGET...]
# A slow input stops libFuzzer at its time-out; a starved low-priority
# process must not pass for one, so the time-out here is a minute.
set -uo pipefail

seconds="${1:-600}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${ZUB_FUZZ_BUILD:-$root/build-fuzz}"
# Builds the targets (and checks the toolchain) with a one-second run each.
bash "$root/scripts/fuzz.sh" 1 >/dev/null || { echo "fuzz_campaign.sh: build or short run failed" >&2; exit 1; }

mapfile -t targets < <(sed -n 's/^targets=(\(.*\))$/\1/p' "$root/scripts/fuzz.sh" | tr ' ' '\n')
if (($# > 1)); then targets=("${@:2}"); fi
mkdir -p "$build/artifacts" "$build/campaign"
printf '| target | seconds | runs | coverage | features | corpus files | findings |\n|---|---|---|---|---|---|---|\n'
for target in "${targets[@]}"; do
  corpus="$root/tests/fuzz/corpus/$target"
  grown="$build/campaign/$target"
  rm -rf "$grown" && mkdir -p "$grown" "$corpus"
  log="$build/campaign/$target.log"
  max_len=4096
  [[ "$target" == fuzz_replies ]] && max_len=12288
  before=$(ls "$build/artifacts" | grep -c "^$target-" || true)
  "$build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2048 -max_len="$max_len" \
    -artifact_prefix="$build/artifacts/$target-" -print_final_stats=1 "$grown" "$corpus" >"$log" 2>&1
  after=$(ls "$build/artifacts" | grep -c "^$target-" || true)
  # What the run found that adds coverage joins the kept corpus; the named
  # seeds stay as they are.
  "$build/tests/fuzz/$target" -merge=1 -max_len="$max_len" "$corpus" "$grown" >>"$log" 2>&1
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  stats=$(grep -E '^#[0-9]+.*(DONE|cov:)' "$log" | grep -v MERGE | tail -1)
  cov=$(sed -n 's/.*cov: \([0-9]*\).*/\1/p' <<<"$stats")
  ft=$(sed -n 's/.*ft: \([0-9]*\).*/\1/p' <<<"$stats")
  printf '| %s | %s | %s | %s | %s | %s | %s |\n' "$target" "$seconds" "${runs:-?}" "${cov:-?}" "${ft:-?}" \
    "$(ls "$corpus" | wc -l)" "$((after - before))"
done
