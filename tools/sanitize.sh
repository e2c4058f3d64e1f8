#!/usr/bin/env bash
# Builds the engine and its C++ tests twice, once with AddressSanitizer and
# UndefinedBehaviorSanitizer and once with ThreadSanitizer, each in a build
# directory of its own, and runs the tests under them. Any report fails the run.
# Usage: tools/sanitize.sh [asan|tsan]...  (default: both)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
supp="$root/tools/sanitize"

# Optimised enough to be quick, with asserts left on and frames kept for
# readable reports.
common="-O1 -g -fno-omit-frame-pointer"
declare -A flags=(
  # float-cast-overflow (a double outside int's range cast to int) is not
  # part of gcc's "undefined" group.
  [asan]="-fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all"
  [tsan]="-fsanitize=thread"
)

run() {
  local kind=$1 build="$root/build-$1"
  echo "== $kind: $build"
  # Configured every time, so that changed flags reach an existing build.
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DVEXOLIN_BUILD_MODULE=OFF -DVEXOLIN_BUILD_TESTS=ON \
    -DCMAKE_C_FLAGS_DEBUG="$common" -DCMAKE_CXX_FLAGS_DEBUG="$common" \
    -DCMAKE_C_FLAGS="${flags[$kind]}" -DCMAKE_CXX_FLAGS="${flags[$kind]}" \
    -DCMAKE_EXE_LINKER_FLAGS="${flags[$kind]}" >/dev/null
  cmake --build "$build"
  # The tests pass their thread counts to the engine themselves.
  (
    # FFT setups are kept for the life of the process on purpose; the
    # deliberate huge allocations must come back as bad_alloc, not abort.
    export ASAN_OPTIONS="allocator_may_return_null=1:detect_leaks=1"
    export LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    export TSAN_OPTIONS="allocator_may_return_null=1:halt_on_error=1:second_deadlock_stack=1"
    ctest --test-dir "$build" --output-on-failure -j 2
  )
}

kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(asan tsan)
for kind in "${kinds[@]}"; do
  [ -n "${flags[$kind]:-}" ] || { echo "unknown sanitizer: $kind (asan, tsan)" >&2; exit 2; }
  run "$kind"
done
