#!/usr/bin/env bash
# Sets up a fresh machine, checks the formatting, builds every configuration
# and runs every test:
#   format   every tracked C++ source as .clang-format says (clang-format 14)
#   release  -Werror, with the benchmarks compiled (not run)
#   asan     AddressSanitizer + UndefinedBehaviorSanitizer, the whole suite
#   tsan     ThreadSanitizer, only the tests that run background threads
# and then the release binary end to end under valgrind's memcheck.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/setup.sh"

jobs=$(nproc 2>/dev/null || echo 2)

# First, as it takes a second: a formatting slip fails here, not after the
# builds. --Werror turns each difference into an error naming the file.
git -C "$root" ls-files -z '*.cc' '*.h' |
  (cd "$root" && xargs -0 clang-format --dry-run --Werror)

configure_and_build() {
  local name=$1
  shift
  cmake -S "$root" -B "$root/build/$name" -DVEK_GUARD_WERROR=ON "$@"
  cmake --build "$root/build/$name" -j "$jobs"
}

configure_and_build release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEK_GUARD_BENCH=ON
configure_and_build asan -DCMAKE_BUILD_TYPE=Debug -DVEK_GUARD_SANITIZE=address,undefined
# Only the core test binary is needed for the threaded tests.
cmake -S "$root" -B "$root/build/tsan" -DVEK_GUARD_WERROR=ON -DCMAKE_BUILD_TYPE=Debug \
  -DVEK_GUARD_SANITIZE=thread
cmake --build "$root/build/tsan" -j "$jobs" --target vek_guard_core_tests

ctest --test-dir "$root/build/release" --output-on-failure -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$root/build/asan" --output-on-failure -j "$jobs"
# The pressure watcher's thread and the snapshots that race with it.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir "$root/build/tsan" --output-on-failure -j "$jobs" \
  -R '^(Pressure|Advisory)[A-Za-z]*\.'

# One run and one observe of the release binary under valgrind's memcheck.
bash "$root/bench/valgrind_e2e.sh" "$root/build/release"

echo "test.sh: every configuration built and every test passed"
