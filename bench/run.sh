#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench/) and runs the HTTP throughput benchmark: the
# engine against the curl command line on one loopback nginx. Arguments go to the benchmark
# (--rounds N). Prints BENCH lines; exits 1 when a figure misses its target, 2 when the run failed.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

"$root/scripts/deps"
cmake -S "$root" -B "$root/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNORVANE_TESTS=OFF -DNORVANE_BENCH=ON >/dev/null
cmake --build "$root/build-bench" --target http_throughput -j "$(nproc)"
exec "$root/build-bench/bench/http_throughput" "$@"
