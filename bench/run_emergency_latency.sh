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
# Twenty runs (RUNS) at each interval (INTERVALS, in ms: 10 and 50). Target: killed within one sample interval
# plus 5 ms.
#
# To compare builds side by side on the same machine state, name other
# vek-guard binaries as arguments, each as LABEL=PATH (the build's own is
# "this"): the runs alternate between them, one run of each in turn, and
# each gets its own line. The command, the watcher and the scratch area stay
# those of this build.
#
#   bash bench/run_emergency_latency.sh
#   RUNS=10 bash bench/run_emergency_latency.sh before=/tmp/old/cli/vek-guard
source "$(dirname "${BASH_SOURCE[0]}")/run_common.sh"

runs=${RUNS:-20}
labels=(this)
guards=("$guard")
for named in "$@"; do
  if [[ "$named" != *=* || ! -x "${named#*=}" ]]; then
    echo "not LABEL=PATH of an executable: $named" >&2
    exit 1
  fi
  labels+=("${named%%=*}")
  guards+=("${named#*=}")
done

ms() { awk -v u="$1" 'BEGIN { printf "%.2f", u / 1000 }'; }

for interval_ms in ${INTERVALS:-10 50}; do
  declare -A latencies=() deaths=()
  for i in $(seq "$runs"); do
    for b in "${!guards[@]}"; do
      stamp=$scratch/jump$interval_ms-$i-$b
      report=$scratch/j$interval_ms-$i-$b.json
      "${guards[$b]}" run --max-footprint 4MiB --sample-interval "${interval_ms}ms" \
        --report "$report" \
        -- "$actor" jump --bytes $((8 << 20)) --delay-ms $((300 + RANDOM % interval_ms)) --stamp "$stamp" > /dev/null 2>&1 &
      guard_pid=$!
      wait_for_file "$stamp.pid"
      read -r exiting_ns exited_ns < <("$probe" wait-exit --pid "$(cat "$stamp.pid")" --timeout-ms 10000)
      wait "$guard_pid" || true
      if [ ! -s "$stamp" ]; then
        echo "${labels[$b]} run $i: the command died before its jump;" \
          "signals: $(grep -o '"signal": [0-9]*' "$report" | tr '\n' ' ')" >&2
        continue
      fi
      jumped_ns=$(cat "$stamp")
      if [ -s "$stamp.done" ] && [ "$(cat "$stamp.done")" -lt "$exiting_ns" ]; then
        jumped_ns=$(cat "$stamp.done")
      fi
      latencies[$b]+=" $(((exiting_ns - jumped_ns) / 1000))"
      deaths[$b]+=" $(((exited_ns - jumped_ns) / 1000))"
    done
  done
  for b in "${!guards[@]}"; do
    # shellcheck disable=SC2206  # the lists are numbers
    lat=(${latencies[$b]}) dead=(${deaths[$b]})
    label=""
    [ "${#guards[@]}" -gt 1 ] && label="${labels[$b]}: "
    echo "${label}${interval_ms} ms interval: jump to kill median $(ms "$(median "${lat[@]}")") ms," \
      "max $(ms "$(maximum "${lat[@]}")") ms (target <= $((interval_ms + 5)) ms);" \
      "to exit complete median $(ms "$(median "${dead[@]}")") ms, max $(ms "$(maximum "${dead[@]}")") ms"
  done
  unset latencies deaths
done
