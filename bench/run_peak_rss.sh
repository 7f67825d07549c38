#!/usr/bin/env bash
# The supervisor's own peak RSS over a run of more than 4096 samples (10 ms
# interval, 46 s: a pass takes a little over its interval), when both sample
# rings are full and the journal has written the history twice. Target:
# under 16 MiB.
source "$(dirname "${BASH_SOURCE[0]}")/run_common.sh"

seconds=${SECONDS_WATCHED:-46}
line=$("$probe" rusage -- "$guard" run --max-footprint 1GiB --sample-interval 10ms \
  --report "$scratch/rss.json" -- sleep "$seconds" 2> /dev/null | grep '^user_us=')
maxrss_kib=$(sed 's/.*maxrss_kib=\([0-9]*\).*/\1/' <<< "$line")
samples=$(grep -c '"processed_at_ms"' "$scratch/rss.json")
journal_kib=$(( $(stat -c %s "$scratch/.rss.json.journal") / 1024 ))
# The history reset is written only once the sampler has dropped samples.
if ! grep -q 'sample_history_reset' "$scratch/.rss.json.journal"; then
  echo "the run made no more than 4096 passes; raise SECONDS_WATCHED" >&2
  exit 1
fi
awk -v r="$maxrss_kib" -v s="$samples" -v j="$journal_kib" -v t="$seconds" 'BEGIN {
  printf "%d s at 10 ms: %d samples in the report, journal %d KiB, peak RSS %.1f MiB (target < 16 MiB)\n",
         t, s, j, r / 1024 }'
