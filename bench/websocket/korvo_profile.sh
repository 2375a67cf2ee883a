#!/usr/bin/env bash
# korvo_profile.sh: korvo's instructions per message and per connection (callgrind, deterministic
# where timings on a shared machine are not) and its resident memory per idle connection.
#
#   unshare -n sh -c 'ip link set lo up; bash bench/websocket/korvo_profile.sh [BUILD_DIR] [OUT_DIR]'
#
# Runs in a private network namespace (korvo listens on ports 2001 and 80). For each scenario
# (10 connections x 16 in flight x 1 KiB, 100 x 1 x 32 B, churn with 10 connections) korvo runs
# under callgrind with instrumentation off; a one-second wsload run warms it up (threads, arenas,
# objects made on first use), then instrumentation is switched on for a measured wsload run and
# the counts are dumped. Instructions are divided by wsload's `total` (echoes or churn cycles,
# warm-up and drain included) and split by layer (callgrind_layers.py). Then korvo runs natively
# for IDLE_CONNECTIONS (10000) greeted idle connections: resident memory before and while they
# are held, per connection, and the CPU ticks korvo used while they sat idle.
#
# Environment: DURATION (5 s per callgrind scenario), IDLE_CONNECTIONS, HOLD (15 s), SKIP_IDLE.
# Needs valgrind (apt-get install valgrind) and a descriptor limit above IDLE_CONNECTIONS.
set -euo pipefail

Root=$(cd "$(dirname "$0")/../.." && pwd)
Build=${1:-$Root/build/release}
Out=${2:-$(mktemp -d)}
Duration=${DURATION:-5}
IdleConnections=${IDLE_CONNECTIONS:-10000}
Hold=${HOLD:-15}
mkdir -p "$Out"
command -v valgrind >/dev/null || { echo "valgrind is missing (apt-get install valgrind)" >&2; exit 1; }

port_open() { (exec 9<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
field() { tr ' ' '\n' <<<"$1" | sed -n "s/^$2=//p"; }
wait_port() { for _ in $(seq 600); do port_open 2001 && return 0; sleep 0.1; done; return 1; }

profile() { # NAME wsload-arguments...
    local Name=$1
    shift
    rm -f "$Out/$Name".cg.*
    valgrind --tool=callgrind --callgrind-out-file="$Out/$Name.cg.%p" --instr-atstart=no \
        "$Build/bin/korvo" >"$Out/$Name.korvo.log" 2>&1 &
    local Pid=$!
    wait_port
    "$Build/bin/wsload" "$@" --duration 1 --warmup 1 >/dev/null 2>&1 || true
    callgrind_control -i on "$Pid" >/dev/null
    local Result
    Result=$("$Build/bin/wsload" "$@" --duration "$Duration" --warmup 1 | grep '^result')
    callgrind_control -d "$Pid" >/dev/null
    kill -9 "$Pid"
    wait "$Pid" 2>/dev/null || true
    local Total File
    Total=$(field "$Result" total)
    File=$(ls -t "$Out/$Name".cg.*.1 | head -1)
    echo "== $Name: $Total operations, errors=$(field "$Result" errors)"
    python3 "$Root/bench/websocket/callgrind_layers.py" "$File" "$Total" 12
}

profile m10x16 --expect-greeting --connections 10 --inflight 16 --size 1024
profile m100x1 --expect-greeting --connections 100 --inflight 1 --size 32
profile churn --churn --connections 10

[[ -n ${SKIP_IDLE:-} ]] && exit 0
ulimit -n "$(ulimit -Hn)"
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
"$Build/bin/korvo" >"$Out/idle.korvo.log" 2>&1 &
Pid=$!
trap 'kill $Pid 2>/dev/null || true' EXIT
wait_port
# Every worker thread and arena in use first, as in service.
"$Build/bin/wsload" --expect-greeting --connections 100 --duration 1 --warmup 1 >/dev/null
sleep 1
Before=$(rss_kib $Pid)
"$Build/bin/wsload" --idle --expect-greeting --connections "$IdleConnections" --duration "$Hold" \
    >"$Out/idle.wsload.log" 2>&1 &
Load=$!
for _ in $(seq 600); do grep -q ready "$Out/idle.wsload.log" && break; sleep 0.1; done
sleep 3
Held=$(rss_kib $Pid)
T0=$(ticks $Pid)
sleep 5
T1=$(ticks $Pid)
wait $Load || true
echo "== idle: $IdleConnections connections, RSS ${Before} KiB before, ${Held} KiB held:" \
    "$(((Held - Before) * 1024 / IdleConnections)) B per connection;" \
    "$((T1 - T0)) CPU ticks in 5 s while idle ($(getconf CLK_TCK) per second)"
