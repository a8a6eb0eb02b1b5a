#!/usr/bin/env bash
# Installs what is missing, builds the release, starts the reference server with demo data, and
# points the clients at it: the first start seeds the demo companies and signs in as the demo
# manager. With a display, the desktop client starts with the demo manager's company and user
# filled in (press Sign In), and the server stops when the client quits. Without one, the
# command-line client shows the demo and the server keeps running (its data is kept) until Ctrl-C.
#
# NORVANE_SERVER_DATA  the server's data folder   (default: $XDG_DATA_HOME/norvane-server)
# NORVANE_HOME         the client's data folder   (default: the server's folder + /client)
# NORVANE_PORT         the port to listen on      (default: 0, any free port)
set -euo pipefail
cd "$(dirname "$0")"

./scripts/deps
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DNORVANE_TESTS=OFF -DNORVANE_BENCH=OFF
cmake --build build-release -j "$(nproc)" --target norvane-server norvane-cli norvane

data=${NORVANE_SERVER_DATA:-${XDG_DATA_HOME:-$HOME/.local/share}/norvane-server}
export NORVANE_HOME=${NORVANE_HOME:-$data/client}
mkdir -p "$data" "$NORVANE_HOME"
chmod 700 "$data"
accounts="$data/demo-accounts.txt"
announce="$data/server.out"
cli=build-release/cli/norvane-cli

build-release/server/norvane-server --data "$data" --listen "127.0.0.1:${NORVANE_PORT:-0}" --demo >"$announce" &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null' EXIT INT TERM

url=
for _ in $(seq 1 600); do
    url=$(sed -n 's/^listening //p' "$announce")
    [ -n "$url" ] && break
    kill -0 "$server" 2>/dev/null || { echo "norvane-server did not start" >&2; exit 1; }
    sleep 0.1
done
[ -n "$url" ] || { echo "norvane-server did not announce its address" >&2; exit 1; }

# The demo passwords are random and only announced when the server seeds a fresh folder.
if grep -q '^demo ' "$announce"; then
    (umask 077 && grep '^demo ' "$announce" >"$accounts")
fi
echo "norvane-server: $url (data in $data)"
[ -f "$accounts" ] && sed 's/^demo /  account: /' "$accounts"

hostport=${url#http://}
"$cli" config --server "$hostport" --login-server "$hostport" --http --no-proxy
if [ -f "$accounts" ]; then
    read -r _ company user password < <(grep '^demo demo manager ' "$accounts")
    printf '%s\n' "$password" | "$cli" login "$company" "$user" --password-stdin
    "$cli" info
    "$cli" ls my:/
fi
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "Starting the desktop client (its data in $NORVANE_HOME); the server stops when it quits."
    build-release/app/ui/norvane || echo "norvane ended with status $?" >&2
    exit 0
fi
echo "No display (neither DISPLAY nor WAYLAND_DISPLAY is set): the desktop client is not started."
echo "The client is set up in $NORVANE_HOME; try: NORVANE_HOME=$NORVANE_HOME $cli ls shared:/"
echo "Press Ctrl-C to stop the server."
wait "$server"
