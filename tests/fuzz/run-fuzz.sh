#!/usr/bin/env bash
# Runs one libFuzzer target briefly on a copy of its seed corpus, so that the
# corpus in the source tree is never changed by a run.
#   run-fuzz.sh <fuzzer binary> <seed corpus dir> [seconds]
set -u
fuzzer=$1
seeds=$2
seconds=${3:-15}
if [ ! -x "$fuzzer" ]; then
  echo "fuzz target $fuzzer is missing: build it with scripts/build.sh --fuzz" >&2
  exit 1
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/daveri-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$work/artifacts"
cp -r "$seeds"/. "$work/corpus/"
"$fuzzer" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -max_len=65536 \
  -artifact_prefix="$work/artifacts/" -print_final_stats=1 "$work/corpus"
rc=$?
if [ $rc -ne 0 ]; then
  for f in "$work"/artifacts/*; do
    [ -e "$f" ] || continue
    echo "failing input ($f):"
    base64 "$f" | head -c 4000
    echo
  done
fi
exit $rc
