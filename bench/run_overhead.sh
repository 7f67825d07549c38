#!/usr/bin/env bash
# Start-up and shut-down cost of supervision: `vek-guard run --sample-interval
# 10s ... -- true` against `true` alone, ten runs of each interleaved, medians
# compared. Target: the supervised run takes at most 30 ms longer.
source "$(dirname "${BASH_SOURCE[0]}")/run_common.sh"

runs=${RUNS:-10}
bare=()
supervised=()
for i in $(seq "$runs"); do
  t0=$(now_us)
  /bin/true
  t1=$(now_us)
  bare+=($((t1 - t0)))

  t0=$(now_us)
  "$guard" run --max-footprint 1GiB --sample-interval 10s --report "$scratch/r$i.json" \
    -- /bin/true > /dev/null 2>&1
  t1=$(now_us)
  supervised+=($((t1 - t0)))
done

bare_median=$(median "${bare[@]}")
supervised_median=$(median "${supervised[@]}")
echo "true alone:        median $(awk -v u="$bare_median" 'BEGIN { printf "%.2f", u / 1000 }') ms"
echo "under vek-guard:   median $(awk -v u="$supervised_median" 'BEGIN { printf "%.2f", u / 1000 }') ms" \
  "(max $(awk -v u="$(maximum "${supervised[@]}")" 'BEGIN { printf "%.2f", u / 1000 }') ms)"
awk -v a="$supervised_median" -v b="$bare_median" \
  'BEGIN { d = (a - b) / 1000; printf "overhead:          %.2f ms (target <= 30 ms): %s\n", d, d <= 30 ? "ok" : "OVER" }'
