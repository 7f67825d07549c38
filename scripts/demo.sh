#!/usr/bin/env bash
# Sets up a fresh machine, builds vek-guard and shows its main job: a command
# whose memory grows past a 64 MiB limit is stopped under `run`; then the
# summary line, the exit status and the published report are shown.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/setup.sh"

build="$root/build/release"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target vek-guard vek-guard-test-actor

guard="$build/cli/vek-guard"
actor="$build/tests/vek-guard-test-actor"

# Reports live in an existing owner-only directory (mktemp -d makes one 0700).
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

# Shows a command line, then runs it and keeps its exit status in $status.
show_and_run() {
  echo "\$ $*" | sed "s|$build/cli/||; s|$build/tests/||g"
  set +e
  "$@"
  status=$?
  set -e
}

echo
echo "== run: a command that grows by 4 MiB every 20 ms, limited to 64 MiB"
show_and_run "$guard" run --max-footprint 64MiB --sample-interval 20ms --report "$dir/run.json" \
  -- "$actor" grow --step 4194304 --interval-ms 20 --max 536870912 --hold-ms 10000
echo "exit status: $status (75 = stopped by the policy)"
echo "report $dir/run.json:"
cat "$dir/run.json"

echo
echo "== observe: the same kind of command, only recorded"
show_and_run "$guard" observe --sample-interval 20ms --report "$dir/observe.json" \
  -- "$actor" grow --step 4194304 --interval-ms 20 --max 67108864 --hold-ms 200
echo "exit status: $status (the command's own status)"
echo "calibration of $dir/observe.json:"
sed -n '/"calibration"/,/^  }/p' "$dir/observe.json"
