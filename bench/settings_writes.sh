#!/usr/bin/env bash
# How often the settings file is written while norvane-cli uploads an 8 MiB file to norvane-server,
# whose every answer carries the demo company's policy headers. Writes are counted as the renames
# that put "ConfigInfo.xml" in place, requests as the request lines the client writes, both
# traced with strace during the upload alone (after the sign-in of the first command).
#
#   bench/settings_writes.sh [BUILD_DIR]    (default build-bench, a Release build made here)
#
# Prints BENCH lines (see ARCHITECTURE.md); exits 1 when the figure misses its target, 2 when the
# run could not be made.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-bench}"

command -v strace >/dev/null || { echo "strace is needed" >&2; exit 2; }
if [[ $# -eq 0 ]]; then
    "$root/scripts/deps"
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNORVANE_TESTS=OFF -DNORVANE_BENCH=ON >/dev/null
    cmake --build "$build" --target norvane-server norvane-cli -j "$(nproc)" >&2
fi
server_bin="$build/server/norvane-server"
cli="$build/cli/norvane-cli"

work=$(mktemp -d)
server=
cleanup() {
    [[ -n "$server" ]] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

mkdir -p "$work/server" "$work/client"
chmod 700 "$work/server"
"$server_bin" --data "$work/server" --listen 127.0.0.1:0 --demo >"$work/server.out" 2>"$work/server.err" &
server=$!
url=
for _ in $(seq 1 600); do
    url=$(sed -n 's/^listening //p' "$work/server.out")
    [[ -n "$url" ]] && break
    kill -0 "$server" 2>/dev/null || { echo "norvane-server did not start" >&2; exit 2; }
    sleep 0.1
done
[[ -n "$url" ]] || { echo "norvane-server did not announce its address" >&2; exit 2; }
read -r _ company user password < <(grep '^demo demo manager ' "$work/server.out")

export NORVANE_HOME="$work/client"
hostport=${url#http://}
"$cli" config --server "$hostport" --login-server "$hostport" --http --no-proxy >/dev/null
printf '%s\n' "$password" | "$cli" login "$company" "$user" --password-stdin >/dev/null
head -c $((8 << 20)) /dev/urandom >"$work/upload.bin"

strace -f -qq -s 8 -e trace=rename,renameat,renameat2,write,sendto,sendmsg -o "$work/trace" \
    "$cli" put "$work/upload.bin" my:/ >/dev/null
writes=$(grep -c 'ConfigInfo\.xml' "$work/trace" || true)
requests=$(grep -cE '(write|sendto|sendmsg)\([0-9]+, "(GET|PUT|POST|DELETE) ' "$work/trace" || true)
[[ "$requests" -gt 0 ]] || { echo "no request was traced" >&2; exit 2; }

ratio=$(awk -v w="$writes" -v r="$requests" 'BEGIN { printf "%.2f", w / r }')
verdict=$(awk -v x="$ratio" 'BEGIN { print (x <= 1.0) ? "PASS" : "FAIL" }')
echo "settings file written $writes times in $requests requests" >&2
echo "BENCH settings_writes_per_request $ratio ratio target <= 1.00 $verdict"
[[ "$verdict" == PASS ]]
