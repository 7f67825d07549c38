#!/usr/bin/env bash
# The supervisor's CPU while it watches `sleep 10`, against the bare sampling
# floor for the same number of passes at the same interval: one read of every
# /proc/PID/stat plus one /proc/PID/status read per member (one here), measured
# right after in the same run. Target: at most 1.3 times the floor.
source "$(dirname "${BASH_SOURCE[0]}")/run_common.sh"

seconds=${SECONDS_WATCHED:-10}
rounds=${ROUNDS:-3}
# Supervisor and floor are measured alternately, several rounds, and the
# median ratio is reported: a single pair measured one after the other swings
# by a fifth either way with whatever else the machine does meanwhile.
for interval_ms in 10 50; do
  ratios=()
  for round in $(seq "$rounds"); do
    report=$scratch/cpu$interval_ms-$round.json
    line=$("$probe" rusage -- "$guard" run --max-footprint 1GiB --sample-interval "${interval_ms}ms" \
      --report "$report" -- sleep "$seconds" 2> /dev/null | grep '^user_us=')
    guard_us=$(awk '{ split($1, u, "="); split($2, s, "="); print u[2] + s[2] }' <<< "$line")
    # Samples in the report: one per pass (at most 4096 are kept).
    passes=$(grep -c '"processed_at_ms"' "$report")
    floor_line=$("$probe" proc-floor --passes "$passes" --interval-ms "$interval_ms" --members 1)
    floor_us=$(awk '{ split($1, u, "="); split($2, s, "="); print u[2] + s[2] }' <<< "$floor_line")
    processes=$(awk '{ split($4, p, "="); print p[2] }' <<< "$floor_line")
    awk -v g="$guard_us" -v f="$floor_us" -v n="$passes" -v i="$interval_ms" -v p="$processes" \
      -v s="$seconds" -v r="$round" 'BEGIN {
        printf "round %d, %d ms interval, %d passes, %d processes: supervisor %.2f%% of a core",
               r, i, n, p, 100 * g / (s * 1e6)
        printf " (%.0f us/pass), floor %.2f%% (%.0f us/pass), ratio %.2f\n",
               g / n, 100 * f / (n * i * 1000), f / n, g / f }'
    ratios+=("$(awk -v g="$guard_us" -v f="$floor_us" 'BEGIN { printf "%.3f", g / f }')")
  done
  median=$(printf '%s\n' "${ratios[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
  echo "$interval_ms ms interval: median ratio $median over $rounds rounds (target <= 1.3)"
done
