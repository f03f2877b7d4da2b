#!/usr/bin/env bash
# Usage: tools/fuzz-merge.sh TARGET...
# Adds to the committed corpus fuzz/corpus/TARGET the inputs of
# build/fuzz/corpus/TARGET that reach code the committed corpus does not,
# so that `make test` replays what the fuzzer learned. Needs `make fuzz`.
set -euo pipefail
for t in "$@"; do
  [ -d "build/fuzz/corpus/$t" ] || continue
  build/fuzz/fuzz/${t}_fuzz -merge=1 -max_len=8192 "fuzz/corpus/$t" "build/fuzz/corpus/$t" 2>&1 | grep -E 'MERGE-OUTER: [0-9]+ new files' || true
done
