#!/usr/bin/env bash
# Time from a footprint jump far above the emergency band to the command being
# killed. The command maps 8 MiB populated in one call and stamps the moments
# that call starts and returns; the jump is complete when it returns (faulting
# in and zeroing the pages takes this virtual machine's kernel 3 to 4 ms, and
# a sample taken meanwhile sees part of it). A watcher spinning on the
# command's stat file stamps the moment it begins to exit: the SIGKILL has
# landed. Latency is kill minus the call's return, or minus its start when
# the kill came before the call returned. The moment the exit is complete
# (pidfd) adds the kernel's teardown and the watcher's wake-up, which vary
# with the machine; it is shown for information. The jump comes at a random
# point of the sampling period (a fixed delay would lock it to one phase).
# Twenty runs at each interval. Target: killed within one sample interval
# plus 5 ms.
source "$(dirname "${BASH_SOURCE[0]}")/run_common.sh"

runs=${RUNS:-20}
for interval_ms in 10 50; do
  latencies=()
  deaths=()
  for i in $(seq "$runs"); do
    stamp=$scratch/jump$interval_ms-$i
    "$guard" run --max-footprint 4MiB --sample-interval "${interval_ms}ms" \
      --report "$scratch/j$interval_ms-$i.json" \
      -- "$actor" jump --bytes $((8 << 20)) --delay-ms $((300 + RANDOM % interval_ms)) --stamp "$stamp" > /dev/null 2>&1 &
    guard_pid=$!
    wait_for_file "$stamp.pid"
    read -r exiting_ns exited_ns < <("$probe" wait-exit --pid "$(cat "$stamp.pid")" --timeout-ms 10000)
    wait "$guard_pid" || true
    if [ ! -s "$stamp" ]; then
      echo "run $i: the command died before its jump;" \
        "signals: $(grep -o '"signal": [0-9]*' "$scratch/j$interval_ms-$i.json" | tr '\n' ' ')" >&2
      continue
    fi
    jumped_ns=$(cat "$stamp")
    if [ -s "$stamp.done" ] && [ "$(cat "$stamp.done")" -lt "$exiting_ns" ]; then
      jumped_ns=$(cat "$stamp.done")
    fi
    latencies+=($(((exiting_ns - jumped_ns) / 1000)))
    deaths+=($(((exited_ns - jumped_ns) / 1000)))
  done
  ms() { awk -v u="$1" 'BEGIN { printf "%.2f", u / 1000 }'; }
  echo "${interval_ms} ms interval: jump to kill median $(ms "$(median "${latencies[@]}")") ms," \
    "max $(ms "$(maximum "${latencies[@]}")") ms (target <= $((interval_ms + 5)) ms);" \
    "to exit complete median $(ms "$(median "${deaths[@]}")") ms, max $(ms "$(maximum "${deaths[@]}")") ms"
done
