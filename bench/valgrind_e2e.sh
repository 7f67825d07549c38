#!/usr/bin/env bash
# Runs the release binary end to end under valgrind's memcheck: one `run` that
# intervenes on a checkpoint client and one `observe` of a command that ends by
# itself. Each must end with the outcome's own exit status and a clean
# memcheck: no invalid access, no use of uninitialised memory, no leak.
#
#   bash bench/valgrind_e2e.sh [BUILD_DIR]      (default build/release)
#
# Too slow for the test command; run by hand after changes to the runtime.
# The build directory is configured and built (vek-guard and the helper
# programs) when it lacks them.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-"$root/build/release"}

if ! command -v valgrind >/dev/null; then
  echo "valgrind_e2e: valgrind is not installed (Debian package valgrind)" >&2
  exit 2
fi
if [ ! -x "$build/cli/vek-guard" ] || [ ! -x "$build/tests/vek-guard-test-actor" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target vek-guard vek-guard-test-actor
fi

binary="$build/cli/vek-guard"
actor="$build/tests/vek-guard-test-actor"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0

# memcheck NAME EXPECTED_STATUS ARGS...: runs vek-guard ARGS under memcheck in
# a fresh private report directory (REPORT_DIR in ARGS is replaced by it).
memcheck() {
  local name=$1 expected=$2
  shift 2
  local dir="$work/$name"
  mkdir -m 0700 "$dir"
  local args=()
  for arg in "$@"; do args+=("${arg//REPORT_DIR/$dir}"); done
  local log="$work/$name.memcheck"
  local status=0
  # 99 stands for "memcheck found something", apart from any status of ours.
  valgrind --tool=memcheck --leak-check=full --show-leak-kinds=all \
    --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=99 \
    --trace-children=no --log-file="$log" "$binary" "${args[@]}" \
    >"$dir/stdout" 2>"$dir/stderr" || status=$?
  local errors leaks
  errors=$(sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' "$log" | tail -1)
  leaks=$(grep -E 'definitely lost|indirectly lost|possibly lost|still reachable|All heap blocks' "$log" |
          sed 's/^==[0-9]*== *//' | tr '\n' ';' || true)
  echo "valgrind_e2e: $name: exit status $status (expected $expected), memcheck errors ${errors:-?}; ${leaks}"
  echo "valgrind_e2e: $name: $(tr '\n' ' ' <"$dir/stdout")"
  if [ "$status" -ne "$expected" ] || [ "${errors:-1}" -ne 0 ] || [ ! -s "$dir/report.json" ]; then
    echo "valgrind_e2e: $name FAILED; memcheck log follows" >&2
    cat "$log" >&2
    cat "$dir/stderr" >&2
    failures=$((failures + 1))
  fi
}

# A checkpoint client that grows past 256 MiB but stays inside the emergency
# band: the run negotiates, asks for a checkpoint, takes the acknowledgement
# and terminates the client (75), which exercises the whole enforcing path.
memcheck run 75 run --max-footprint 256MiB --sample-interval 10ms --report REPORT_DIR/report.json \
  -- "$actor" grow --allocate 201326592 --step 8388608 --max 274726912 --hold-ms 60000 \
  --client accept
# Grows to 16 MiB, holds briefly and exits 0 by itself.
memcheck observe 0 observe --sample-interval 10ms --report REPORT_DIR/report.json \
  -- "$actor" grow --step 1048576 --interval-ms 10 --max 16777216 --hold-ms 200

if [ "$failures" -ne 0 ]; then
  echo "valgrind_e2e: $failures run(s) failed" >&2
  exit 1
fi
echo "valgrind_e2e: both runs clean"
