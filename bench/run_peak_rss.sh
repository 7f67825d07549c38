#!/usr/bin/env bash
# The supervisor's own peak RSS over a run of more than 4096 samples (10 ms
# interval, 46 s: a pass takes a little over its interval), when both sample
# rings are full and the journal has written the history twice; and how much
# of it the end of the run (finalize: reading the journal back, rebuilding,
# validating and writing the report) adds to the peak reached while the
# command was watched. Targets: peak under 16 MiB, finalize adding at most
# 1 MiB.
#
# MEMBERS=N (default 1) makes the command a group of N idle processes: a
# shell that starts N-1 `sleep`s and then sleeps itself. The supervisor's
# memory must not grow with the group. With many members a pass takes longer
# than the interval (each member's own /proc reads), so raise
# SECONDS_WATCHED until the run passes 4096 samples: 2,000 members need
# about 200 s.
source "$(dirname "${BASH_SOURCE[0]}")/run_common.sh"

seconds=${SECONDS_WATCHED:-46}
members=${MEMBERS:-1}
command=(sleep "$seconds")
if [ "$members" -gt 1 ]; then
  command=(/bin/sh -c 'i=1; while [ $i -lt "$1" ]; do sleep "$2" & i=$((i + 1)); done; sleep "$2"'
    sh "$members" "$seconds")
fi
"$probe" rusage -- "$guard" run --max-footprint 1GiB --sample-interval 10ms \
  --report "$scratch/rss.json" -- "${command[@]}" > "$scratch/rusage" 2> /dev/null &
probe_pid=$!
# The supervisor is the probe's child, the watched command the supervisor's.
guard_pid=
while [ -z "$guard_pid" ]; do guard_pid=$(pgrep -P "$probe_pid" || true); done
watching_kib=0
while kill -0 "$guard_pid" 2> /dev/null; do
  command_pid=$(pgrep -P "$guard_pid" || true)
  [ -n "$command_pid" ] || break
  # The high-water mark so far, read while the command still runs.
  hwm=$(awk '/^VmHWM:/ { print $2 }' "/proc/$guard_pid/status" 2> /dev/null || echo 0)
  [ "${hwm:-0}" -gt "$watching_kib" ] && watching_kib=$hwm
  sleep 0.2
done
wait "$probe_pid"
line=$(grep '^user_us=' "$scratch/rusage")
maxrss_kib=$(sed 's/.*maxrss_kib=\([0-9]*\).*/\1/' <<< "$line")
samples=$(grep -c '"processed_at_ms"' "$scratch/rss.json")
journal_kib=$(( $(stat -c %s "$scratch/.rss.json.journal") / 1024 ))
# The history reset is written only once the sampler has dropped samples.
if ! grep -q 'sample_history_reset' "$scratch/.rss.json.journal"; then
  echo "the run made no more than 4096 passes; raise SECONDS_WATCHED" >&2
  exit 1
fi
awk -v r="$maxrss_kib" -v w="$watching_kib" -v s="$samples" -v j="$journal_kib" -v t="$seconds" \
  -v m="$members" 'BEGIN {
  printf "%d s at 10 ms, %d members: %d samples in the report, journal %d KiB, peak RSS %.1f MiB (target < 16 MiB)\n",
         t, m, s, j, r / 1024
  printf "peak while watching %.2f MiB; the end of the run adds %.2f MiB (target <= 1 MiB)\n",
         w / 1024, (r - w) / 1024 }'
