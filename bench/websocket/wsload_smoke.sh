#!/usr/bin/env bash
# wsload_smoke.sh WSLOAD BEAST_ECHO|node: one second each of validated echoes (large messages,
# several in flight, two loop threads) and a churn run against a peer on a free port: the Boost
# peer, or with "node" the Node ws peer (exit 77, skipped, when node or ws is missing; a failure
# when REQUIRE_TEST_TOOLS is set, as scripts/test.sh sets it).
set -euo pipefail
Wsload=$1
Peer=$2
Here=$(cd "$(dirname "$0")" && pwd)
Out=$(mktemp)
if [[ $Peer == node ]]; then
    Modules=$Here/../../interop/node/node_modules
    if ! command -v node >/dev/null || [[ ! -d $Modules/ws ]]; then
        exec "$Here/../../testing/missing_tool.sh" "node or its ws package"
    fi
    NODE_PATH=$Modules node "$Here/node_ws_echo.js" --port 0 >"$Out" 2>&1 &
else
    "$Peer" --port 0 >"$Out" 2>&1 &
fi
Pid=$!
trap 'kill "$Pid" 2>/dev/null || true; wait "$Pid" 2>/dev/null || true; rm -f "$Out"' EXIT
for _ in $(seq 100); do
    grep -q "listening on" "$Out" && break
    sleep 0.1
done
Url=$(sed -n 's/^[a-z_]* listening on \(ws:\/\/.*\)$/\1/p' "$Out")
[[ -n $Url ]] || { echo "the peer did not start: $(cat "$Out")" >&2; exit 1; }
"$Wsload" "$Url" --expect-greeting --connections 4 --inflight 8 --size 70000 --warmup 0.2 --duration 1
"$Wsload" "$Url" --expect-greeting --connections 8 --inflight 4 --size 32 --threads 2 --warmup 0.2 --duration 1
"$Wsload" "$Url" --expect-greeting --connections 2 --churn --warmup 0.2 --duration 1
