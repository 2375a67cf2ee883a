#!/usr/bin/env bash
# wsload_smoke.sh WSLOAD BEAST_ECHO: one second of validated echoes (text, binary-free, several
# in flight, a fragment-sized message) and a churn run against the Beast peer on a free port.
set -euo pipefail
Wsload=$1
Beast=$2
Out=$(mktemp)
"$Beast" --port 0 >"$Out" 2>&1 &
Pid=$!
trap 'kill "$Pid" 2>/dev/null || true; wait "$Pid" 2>/dev/null || true; rm -f "$Out"' EXIT
for _ in $(seq 100); do
    grep -q "listening on" "$Out" && break
    sleep 0.1
done
Url=$(sed -n 's/^beast_echo listening on \(ws:\/\/.*\)$/\1/p' "$Out")
[[ -n $Url ]] || { echo "beast_echo did not start: $(cat "$Out")" >&2; exit 1; }
"$Wsload" "$Url" --expect-greeting --connections 4 --inflight 8 --size 70000 --warmup 0.2 --duration 1
"$Wsload" "$Url" --expect-greeting --connections 8 --inflight 4 --size 32 --threads 2 --warmup 0.2 --duration 1
"$Wsload" "$Url" --expect-greeting --connections 2 --churn --warmup 0.2 --duration 1
