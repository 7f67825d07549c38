#!/usr/bin/env bash
# The supervisor's CPU while it watches `sleep`, as a share of one core, at a
# 10 ms and a 50 ms interval. Targets: at most 2 % of a core at 10 ms and
# 0.5 % at 50 ms, on a quiet machine (about 150 processes). Shown beside it:
# the bare sampling floor for the same number of passes at the same
# interval, one getdents64 listing of /proc plus one member's own reads
# (stat, status, stat), and the ratio of the two per pass. The supervisor
# lists /proc again only after the machine created a task, so it can come
# in under that floor; how many tasks the machine created during the window
# is shown, since it decides how often the supervisor lists.
#
# Both are measured in the same stretch of time: the probe launches the
# supervisor, skips its start-up, and then runs the floor loop beside it for
# a window, reading both CPU clocks at the window's ends (nanosecond
# clocks, not the tick-sampled rusage). The supervisor's passes in the
# window are its samples stamped inside it. Start-up and the final
# publication fall outside the window; the whole run's CPU is shown as well.
source "$(dirname "${BASH_SOURCE[0]}")/run_common.sh"

seconds=${SECONDS_WATCHED:-10}
rounds=${ROUNDS:-3}
skip_ms=1000
window_ms=$(((seconds - 2) * 1000))

field() { tr ' ' '\n' <<< "$1" | awk -F= -v k="$2" '$1 == k { print $2 }'; }

for interval_ms in 10 50; do
  ratios=()
  shares=()
  for round in $(seq "$rounds"); do
    report=$scratch/cpu$interval_ms-$round.json
    line=$("$probe" watch-cpu --interval-ms "$interval_ms" --skip-ms "$skip_ms" \
      --window-ms "$window_ms" -- "$guard" run --max-footprint 1GiB \
      --sample-interval "${interval_ms}ms" --report "$report" -- sleep "$seconds" 2> /dev/null |
      grep '^guard_cpu_us=')
    from_ms=$(field "$line" from_ms)
    to_ms=$(field "$line" to_ms)
    passes=$(awk -v a="$from_ms" -v b="$to_ms" '/"processed_at_ms"/ {
      v = $2; sub(",", "", v); if (v + 0 >= a && v + 0 < b) n++ } END { print n + 0 }' "$report")
    all_passes=$(grep -c '"processed_at_ms"' "$report")
    awk -v g="$(field "$line" guard_cpu_us)" -v f="$(field "$line" floor_cpu_us)" \
      -v n="$passes" -v fn="$(field "$line" floor_passes)" -v w="$window_ms" \
      -v i="$interval_ms" -v p="$(field "$line" processes)" -v r="$round" \
      -v run="$(field "$line" run_cpu_us)" -v all="$all_passes" -v s="$seconds" \
      -v c="$(field "$line" created)" 'BEGIN {
        printf "round %d, %d ms interval, %d processes, window %d ms: supervisor %d passes, %.2f%% of a core (%.0f us/pass); floor %d passes, %.2f%% (%.0f us/pass); ratio %.2f",
               r, i, p, w, n, 100 * g / (w * 1000), g / n, fn, 100 * f / (w * 1000), f / fn, (g / n) / (f / fn)
        printf "; whole run %d passes, %.2f%% of a core (%.0f us/pass); %d tasks created in the window\n",
               all, 100 * run / (s * 1e6), run / all, c }'
    ratios+=("$(awk -v g="$(field "$line" guard_cpu_us)" -v f="$(field "$line" floor_cpu_us)" \
      -v n="$passes" -v fn="$(field "$line" floor_passes)" 'BEGIN { printf "%.3f", (g / n) / (f / fn) }')")
    shares+=("$(awk -v g="$(field "$line" guard_cpu_us)" -v w="$window_ms" \
      'BEGIN { printf "%.3f", 100 * g / (w * 1000) }')")
  done
  target=$([ "$interval_ms" = 10 ] && echo 2 || echo 0.5)
  share=$(median "${shares[@]}")
  echo "$interval_ms ms interval: supervisor median $share% of a core over $rounds rounds" \
    "(target <= $target%: $(awk -v s="$share" -v t="$target" 'BEGIN { print s <= t ? "ok" : "OVER" }'));" \
    "median ratio to the floor $(median "${ratios[@]}")"
done
