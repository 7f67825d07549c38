#!/usr/bin/env bash
# The supervisor's CPU while it watches `sleep 10`, against the bare sampling
# floor for the same number of passes at the same interval: one read of every
# /proc/PID/stat plus one /proc/PID/status read per member (one here), measured
# right after in the same run. Target: at most 1.3 times the floor.
source "$(dirname "${BASH_SOURCE[0]}")/run_common.sh"

seconds=${SECONDS_WATCHED:-10}
for interval_ms in 10 50; do
  report=$scratch/cpu$interval_ms.json
  line=$("$probe" rusage -- "$guard" run --max-footprint 1GiB --sample-interval "${interval_ms}ms" \
    --report "$report" -- sleep "$seconds" 2> /dev/null | grep '^user_us=')
  guard_us=$(awk '{ split($1, u, "="); split($2, s, "="); print u[2] + s[2] }' <<< "$line")
  # Samples in the report: one per pass (at most 4096 are kept).
  passes=$(grep -c '"processed_at_ms"' "$report")
  floor_line=$("$probe" proc-floor --passes "$passes" --interval-ms "$interval_ms" --members 1)
  floor_us=$(awk '{ split($1, u, "="); split($2, s, "="); print u[2] + s[2] }' <<< "$floor_line")
  processes=$(awk '{ split($4, p, "="); print p[2] }' <<< "$floor_line")
  awk -v g="$guard_us" -v f="$floor_us" -v n="$passes" -v i="$interval_ms" -v p="$processes" \
    -v s="$seconds" 'BEGIN {
      printf "%d ms interval, %d passes, %d processes: supervisor %.2f%% of a core (%.0f us/pass),",
             i, n, p, 100 * g / (s * 1e6), g / n
      printf " floor %.2f%% (%.0f us/pass), ratio %.2f (target <= 1.3)\n",
             100 * f / (n * i * 1000), f / n, g / f }'
done
