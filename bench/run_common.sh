# Shared set-up of the run-mode benchmark scripts (sourced, not run).
#
# Finds the build (VEK_GUARD_BUILD, default build/release under the
# repository), the vek-guard binary and the test helpers, and makes a private
# (0700) scratch directory that is removed on exit. Times come from bash's
# EPOCHREALTIME (microseconds).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VEK_GUARD_BUILD:-$repo/build/release}
guard=$build/cli/vek-guard
helpers=$build/tests
probe=$build/bench/vek-guard-bench-probe
actor=$helpers/vek-guard-test-actor

for program in "$guard" "$probe" "$actor"; do
  if [ ! -x "$program" ]; then
    echo "missing $program: build first (cmake --build $build) or set VEK_GUARD_BUILD" >&2
    exit 1
  fi
done

scratch=$(mktemp -d)
chmod 0700 "$scratch"
trap 'rm -rf "$scratch"' EXIT

# Microseconds since the epoch.
now_us() {
  local t=$EPOCHREALTIME
  echo $((10#${t%.*} * 1000000 + 10#${t#*.}))
}

# Median of the numbers given as arguments.
median() {
  printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END {
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Largest of the numbers given as arguments.
maximum() {
  printf '%s\n' "$@" | sort -n | tail -1
}

# Number of processes on the machine right now.
process_count() {
  ls -d /proc/[0-9]* | wc -l
}

# Waits up to 10 s for a file to exist.
wait_for_file() {
  local i
  for i in $(seq 1000); do
    [ -s "$1" ] && return 0
    sleep 0.01
  done
  echo "timed out waiting for $1" >&2
  return 1
}

echo "machine: $(nproc) cores, $(process_count) processes, load $(cut -d' ' -f1-3 /proc/loadavg)"
