#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) into build/fuzz and
# runs each for a while. Not part of the test command: the regression tests
# replay fuzz/corpus/ and fuzz/regressions/ with the normal build.
#
#   bash fuzz/run.sh [SECONDS_PER_TARGET] [TARGET...]
#   FUZZ_PARALLEL=3 bash fuzz/run.sh 600      # three targets at a time
#
# Targets: journal_record journal_decoders journal_file checkpoint_ingest negotiation_reply
# cli_values command_line (all by default; 60 s each by default). Each runs on a working
# corpus in build/fuzz/corpus/<target>, seeded from fuzz/corpus/<target>;
# crashing or hanging inputs land in build/fuzz/artifacts/<target>/ and the
# log in build/fuzz/logs/<target>.log. Copy a finding to
# fuzz/regressions/<target>/ once it is fixed, so the tests keep replaying it.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-60}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(journal_record journal_decoders journal_file checkpoint_ingest negotiation_reply cli_values command_line)
fi
parallel=${FUZZ_PARALLEL:-1}
out="$root/build/fuzz"

clang=$(command -v clang++-14 || command -v clang++ || true)
if [ -z "$clang" ]; then
  echo "fuzz/run.sh: clang++ is needed (Debian: clang-14 and libclang-rt-14-dev)" >&2
  exit 1
fi

cmake -S "$root" -B "$out" -DCMAKE_CXX_COMPILER="$clang" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVEK_GUARD_FUZZ=ON -DVEK_GUARD_TESTS=OFF -DVEK_GUARD_WERROR=OFF >/dev/null
mkdir -p "$out/logs"
if ! cmake --build "$out" -j "$parallel" --target $(printf '%s_fuzz ' "${targets[@]}") \
    >"$out/logs/build.log" 2>&1; then
  tail -n 40 "$out/logs/build.log" >&2
  exit 1
fi

run_one() {
  local target=$1
  mkdir -p "$out/corpus/$target" "$out/artifacts/$target" "$out/logs"
  if [ -d "$root/fuzz/corpus/$target" ]; then
    cp -n "$root/fuzz/corpus/$target"/* "$out/corpus/$target/" 2>/dev/null || true
  fi
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$out/fuzz/${target}_fuzz" "$out/corpus/$target" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$out/artifacts/$target/" \
    >"$out/logs/$target.log" 2>&1
  local status=$?
  echo "$target: exit $status; $(grep -E '^#[0-9]+.*DONE|stat::number_of_executed_units' \
    "$out/logs/$target.log" | tr '\n' ' ')"
  return $status
}
export -f run_one
export out seconds root

printf '%s\n' "${targets[@]}" | xargs -P "$parallel" -I{} bash -c 'run_one "$1"' _ {}
