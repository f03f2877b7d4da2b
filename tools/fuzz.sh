#!/usr/bin/env bash
# Usage: tools/fuzz.sh SECONDS TARGET...
# For each target: replay the committed corpus, then fuzz for SECONDS with
# its dictionary. New inputs go to build/fuzz/corpus/TARGET, crashes to
# build/fuzz/artifacts/. Exits non-zero if any target found a failure.
set -uo pipefail
seconds=$1
shift
bin=build/fuzz/fuzz
status=0
for t in "$@"; do
  work=build/fuzz/corpus/$t
  mkdir -p "$work" build/fuzz/artifacts
  seeds=(fuzz/corpus/$t)
  if [ "$t" = json ] && [ -d ../shared/testdata/JSONTestSuite/test_parsing ]; then
    seeds+=(../shared/testdata/JSONTestSuite/test_parsing)
  fi
  echo "== $t: replaying ${seeds[*]}"
  "$bin/${t}_fuzz" -runs=0 "${seeds[@]}" "$work" 2>&1 | tail -1 || status=1
  echo "== $t: fuzzing for ${seconds}s"
  "$bin/${t}_fuzz" -max_total_time="$seconds" -dict="fuzz/$t.dict" -timeout=10 -rss_limit_mb=4096 \
    -max_len=8192 -print_final_stats=1 -artifact_prefix="build/fuzz/artifacts/$t-" \
    "$work" "${seeds[@]}" > "build/fuzz/$t.log" 2>&1 || status=1
  grep -E 'stat::number_of_executed_units|stat::new_units_added|ERROR|SUMMARY' "build/fuzz/$t.log" || true
done
exit $status
