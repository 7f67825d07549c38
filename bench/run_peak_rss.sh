#!/usr/bin/env bash
# The supervisor's own peak RSS over a run of more than 4096 samples (10 ms
# interval, 42 s), when both sample rings are full and the journal has written
# the history twice. Target: under 16 MiB.
source "$(dirname "${BASH_SOURCE[0]}")/run_common.sh"

seconds=${SECONDS_WATCHED:-42}
line=$("$probe" rusage -- "$guard" run --max-footprint 1GiB --sample-interval 10ms \
  --report "$scratch/rss.json" -- sleep "$seconds" 2> /dev/null | grep '^user_us=')
maxrss_kib=$(sed 's/.*maxrss_kib=\([0-9]*\).*/\1/' <<< "$line")
samples=$(grep -c '"processed_at_ms"' "$scratch/rss.json")
journal_kib=$(( $(stat -c %s "$scratch/.rss.json.journal") / 1024 ))
awk -v r="$maxrss_kib" -v s="$samples" -v j="$journal_kib" -v t="$seconds" 'BEGIN {
  printf "%d s at 10 ms: %d samples in the report, journal %d KiB, peak RSS %.1f MiB (target < 16 MiB)\n",
         t, s, j, r / 1024 }'
