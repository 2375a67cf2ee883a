#!/usr/bin/env bash
# wsload_smoke.sh WSLOAD BEAST_ECHO|node: one second each of validated echoes (large messages,
# several in flight, two loop threads) and a churn run, then both without a warm-up (they must
# still count what they measured), against a peer on a free port: the Boost peer, or with "node"
# the Node ws peer (exit 77, skipped, when node or ws is missing).
set -euo pipefail
Wsload=$1
Peer=$2
Here=$(cd "$(dirname "$0")" && pwd)
Out=$(mktemp)
if [[ $Peer == node ]]; then
    Modules=$Here/../../interop/node/node_modules
    if ! command -v node >/dev/null || [[ ! -d $Modules/ws ]]; then
        echo "node or its ws package is missing: skipped"
        exit 77
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
# Without a warm-up the load starts with the measurement, and its echoes and cycles are counted.
for Scenario in "--connections 2 --inflight 4" "--connections 2 --churn"; do
    # shellcheck disable=SC2086
    Line=$("$Wsload" "$Url" --expect-greeting $Scenario --warmup 0 --duration 0.5 | grep '^result ')
    Count=$(sed -n 's/.* count=\([0-9]*\) .*/\1/p' <<<"$Line")
    if [[ -z $Count || $Count -eq 0 ]]; then
        echo "wsload $Scenario --warmup 0 counted nothing: $Line" >&2
        exit 1
    fi
done
