#!/usr/bin/env bash
# How fast a SIGINT sent to the supervisor reaches the command, with the
# longest sample interval (10 s), so only the wake-up on the signal pipe can
# make it prompt. The command stamps the arrival time; ten runs. Target: at
# most 20 ms.
source "$(dirname "${BASH_SOURCE[0]}")/run_common.sh"

runs=${RUNS:-10}
latencies=()
for i in $(seq "$runs"); do
  ready=$scratch/ready$i
  stamp=$scratch/stamp$i
  "$guard" run --max-footprint 1GiB --sample-interval 10s --report "$scratch/r$i.json" \
    -- "$actor" wait-signal --signal 2 --ready "$ready" --stamp "$stamp" > /dev/null 2>&1 &
  guard_pid=$!
  wait_for_file "$ready"
  # Let the supervisor settle into its 10 s sleep.
  sleep 0.2
  t0=$(now_us)
  kill -INT "$guard_pid"
  wait "$guard_pid" || true
  wait_for_file "$stamp"
  arrived_ns=$(cat "$stamp")
  latencies+=($((arrived_ns / 1000 - t0)))
done
echo "SIGINT to command: median $(awk -v u="$(median "${latencies[@]}")" 'BEGIN { printf "%.2f", u / 1000 }') ms," \
  "max $(awk -v u="$(maximum "${latencies[@]}")" 'BEGIN { printf "%.2f", u / 1000 }') ms (target <= 20 ms)"
