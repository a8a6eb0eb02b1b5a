#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench/) and runs them: the HTTP engine against the curl
# command line on one loopback nginx (http_throughput), curl's downloads from norvane-server
# against nginx serving the same file (server_throughput), norvane-cli listing a folder of a
# million entries against curl fetching the same listing (cli_listing), the desktop client's start,
# login and event-loop stalls (ui_bench) and its browser on a folder of 20,000 photos
# (ui_browser_bench) and local trees of 1,000 and 20,000 files dropped onto it (ui_drop_bench),
# offscreen; the settings file's writes per request during an upload (settings_writes, a script
# of its own over the same Release build); and norvane-cli's downloads, uploads, listing and trees
# against curl on the same norvane-server, and that server against nginx (e2e).
#
#   bench/run.sh [http_throughput|server_throughput|cli_listing|ui|settings_writes|e2e] [--rounds N]
#
# Without a name both run, one after the other; the other arguments go to each benchmark. Prints
# BENCH lines; exits 1 when a figure misses its target, 2 when a run failed.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

benchmarks=(http_throughput server_throughput cli_listing ui_bench ui_browser_bench ui_drop_bench settings_writes e2e)
if [[ $# -gt 0 && "$1" != -* ]]; then
    benchmarks=("$1")
    [[ "$1" == ui ]] && benchmarks=(ui_bench ui_browser_bench ui_drop_bench)
    shift
fi
export QT_QPA_PLATFORM=offscreen

"$root/scripts/deps"
cmake -S "$root" -B "$root/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNORVANE_TESTS=OFF -DNORVANE_BENCH=ON >/dev/null
targets=("${benchmarks[@]/settings_writes/norvane-server norvane-cli}")
cmake --build "$root/build-bench" --target ${targets[@]} -j "$(nproc)"

worst=0
for name in "${benchmarks[@]}"; do
    status=0
    if [[ "$name" == settings_writes ]]; then
        "$root/bench/settings_writes.sh" "$root/build-bench" || status=$?
    else
        "$root/build-bench/bench/$name" "$@" || status=$?
    fi
    if [[ $status -gt $worst ]]; then
        worst=$status
    fi
done
exit "$worst"
