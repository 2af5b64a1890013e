#!/bin/sh
# Builds the libFuzzer targets with clang and runs one for a bounded time.
#   scripts/fuzz.sh <target> [seconds]      e.g. scripts/fuzz.sh freebase_fuzz 300
# The corpus grows in fuzz-corpus/<target>; crashes land in fuzz-corpus/<target>-crashes.
set -e
cd "$(dirname "$0")/.."
target=${1:?target name, e.g. freebase_fuzz}
seconds=${2:-120}
make fuzz >/dev/null
mkdir -p "fuzz-corpus/$target" "fuzz-corpus/$target-crashes"
exec "build-fuzz/tests/$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
  -artifact_prefix="fuzz-corpus/$target-crashes/" "fuzz-corpus/$target"
