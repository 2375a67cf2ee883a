#!/usr/bin/env bash
# wsload_smoke.sh WSLOAD PEER|node: wsload against a real echo peer on a free port: the Boost or
# libwebsockets peer (PEER is its program), or with "node" the Node ws peer (exit 77, skipped,
# when node or ws is missing; a failure when REQUIRE_TEST_TOOLS is set, as scripts/test.sh sets
# it). One second each of validated echoes (large messages, several in flight, two loop threads) and a churn run; both without a warm-up (they must still count what
# they measured); an idle hold that ends with one echo per connection; then the peer restarted
# with permessage-deflate (compressed echoes; not the libwebsockets peer, which has none) and
# with TLS (wss:// echoes and churn).
set -euo pipefail
Wsload=$1
Peer=$2
Here=$(cd "$(dirname "$0")" && pwd)
Work=$(mktemp -d)
Pid=
stop_peer() {
    if [[ -n $Pid ]]; then
        kill "$Pid" 2>/dev/null || true
        wait "$Pid" 2>/dev/null || true
        Pid=
    fi
}
trap 'stop_peer; rm -rf "$Work"' EXIT

if [[ $Peer == node ]]; then
    Modules=$Here/../../interop/node/node_modules
    if ! command -v node >/dev/null || [[ ! -d $Modules/ws ]]; then
        exec "$Here/../../testing/missing_tool.sh" "node or its ws package"
    fi
    export NODE_PATH=$Modules
fi

# Starts the peer on a free port with extra flags; sets Pid and Url.
start_peer() {
    # Emptied here, not only by the background job's redirection, which may come after the
    # wait below has already found the previous peer's ready line.
    : >"$Work/peer.out"
    if [[ $Peer == node ]]; then
        node "$Here/node_ws_echo.js" --port 0 "$@" >"$Work/peer.out" 2>&1 &
    else
        "$Peer" --port 0 "$@" >"$Work/peer.out" 2>&1 &
    fi
    Pid=$!
    for _ in $(seq 100); do
        grep -q "listening on" "$Work/peer.out" && break
        sleep 0.1
    done
    Url=$(sed -n 's/^[a-z_]* listening on \(wss*:\/\/.*\)$/\1/p' "$Work/peer.out")
    [[ -n $Url ]] || { echo "the peer did not start: $(cat "$Work/peer.out")" >&2; exit 1; }
}

# Runs wsload; fails unless its result line counted something.
counted() {
    local Line Count
    Line=$("$Wsload" "$@" | tee /dev/stderr | grep '^result ')
    Count=$(sed -n 's/.* count=\([0-9]*\) .*/\1/p' <<<"$Line")
    if [[ -z $Count || $Count -eq 0 ]]; then
        echo "wsload $* counted nothing: $Line" >&2
        exit 1
    fi
}

start_peer
"$Wsload" "$Url" --expect-greeting --connections 4 --inflight 8 --size 70000 --warmup 0.2 --duration 1
"$Wsload" "$Url" --expect-greeting --connections 8 --inflight 4 --size 32 --threads 2 --warmup 0.2 --duration 1
"$Wsload" "$Url" --expect-greeting --connections 2 --churn --warmup 0.2 --duration 1
# Without a warm-up the load starts with the measurement, and its echoes and cycles are counted.
counted "$Url" --expect-greeting --connections 2 --inflight 4 --warmup 0 --duration 0.5
counted "$Url" --expect-greeting --connections 2 --churn --warmup 0 --duration 0.5
Line=$("$Wsload" "$Url" --expect-greeting --idle --connections 50 --duration 0.3 | grep '^result ')
grep -q ' count=50 ' <<<"$Line" || { echo "idle: not every connection echoed: $Line" >&2; exit 1; }
stop_peer

if [[ $Peer != *lws_echo ]]; then # The libwebsockets peer has no permessage-deflate.
    start_peer --permessage-deflate
    counted "$Url" --expect-greeting --permessage-deflate --connections 2 --inflight 4 --size 3000 --warmup 0.2 --duration 1
    counted "$Url" --expect-greeting --permessage-deflate --connections 2 --inflight 2 --size 200000 --warmup 0.2 --duration 1
    stop_peer
fi

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 \
    -subj /CN=localhost -keyout "$Work/key.pem" -out "$Work/cert.pem" 2>/dev/null
start_peer --tls-cert "$Work/cert.pem" --tls-key "$Work/key.pem"
[[ $Url == wss://* ]] || { echo "the peer did not name a wss:// URL: $Url" >&2; exit 1; }
counted "$Url" --expect-greeting --connections 4 --inflight 8 --size 70000 --warmup 0.2 --duration 1
counted "$Url" --expect-greeting --connections 2 --churn --warmup 0.2 --duration 1
stop_peer
