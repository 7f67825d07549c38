#!/usr/bin/env bash
# Time from a footprint jump far above the emergency band to the command's
# death: the command stamps the moment just before it maps 8 MiB in one call,
# a watcher (pidfd) stamps its exit. The jump comes at a random point of the
# sampling period (a fixed delay would lock it to one phase). The limit and
# the jump are small so that the kernel's own work (faulting the pages in,
# freeing them at death) stays within a few milliseconds of the figure. Ten
# runs at each interval. Target: at most one sample interval plus 5 ms.
source "$(dirname "${BASH_SOURCE[0]}")/run_common.sh"

runs=${RUNS:-10}
for interval_ms in 10 50; do
  latencies=()
  for i in $(seq "$runs"); do
    stamp=$scratch/jump$interval_ms-$i
    "$guard" run --max-footprint 4MiB --sample-interval "${interval_ms}ms" \
      --report "$scratch/j$interval_ms-$i.json" \
      -- "$actor" jump --bytes $((8 << 20)) --delay-ms $((300 + RANDOM % interval_ms)) --stamp "$stamp" > /dev/null 2>&1 &
    guard_pid=$!
    wait_for_file "$stamp.pid"
    exited_ns=$("$probe" wait-exit --pid "$(cat "$stamp.pid")" --timeout-ms 10000)
    wait "$guard_pid" || true
    if [ ! -s "$stamp" ]; then
      echo "run $i: the command died before its jump;" \
        "signals: $(grep -o '"signal": [0-9]*' "$scratch/j$interval_ms-$i.json" | tr '\n' ' ')" >&2
      continue
    fi
    jumped_ns=$(cat "$stamp")
    latencies+=($(((exited_ns - jumped_ns) / 1000)))
  done
  echo "${interval_ms} ms interval: jump to death median" \
    "$(awk -v u="$(median "${latencies[@]}")" 'BEGIN { printf "%.2f", u / 1000 }') ms," \
    "max $(awk -v u="$(maximum "${latencies[@]}")" 'BEGIN { printf "%.2f", u / 1000 }') ms" \
    "(target <= $((interval_ms + 5)) ms)"
done
