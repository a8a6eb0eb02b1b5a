#!/usr/bin/env bash
# Installs what is missing, builds and runs every test.
#   ./test.sh          Debug build in build/
#   ./test.sh --asan   AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
set -euo pipefail
cd "$(dirname "$0")"

./scripts/deps

dir=build
flags=(-DCMAKE_BUILD_TYPE=Debug)
if [[ "${1:-}" == "--asan" ]]; then
    dir=build-asan
    # The benchmarks are built and checked by the plain pass; the sanitizer pass needs only the tests.
    flags+=(-DNORVANE_SANITIZE=ON -DNORVANE_BENCH=OFF)
    export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
fi

jobs=$(nproc)
cmake -S . -B "$dir" -G Ninja "${flags[@]}"
cmake --build "$dir" -j "$jobs"
ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600
