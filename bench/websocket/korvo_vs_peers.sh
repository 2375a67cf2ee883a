#!/usr/bin/env bash
# korvo_vs_peers.sh: korvo against Node's `ws` and a Boost.Beast echo server, measured with
# wsload in one run, one server after the other.
#
#   bench/websocket/korvo_vs_peers.sh [BUILD_DIR]     (default build/release)
#
# Each server runs pinned to SERVER_CORE (0), wsload to CLIENT_CORE (1). Scenarios: 100
# connections x 1 message in flight x 32 B; 10 x 16 x 1 KiB; 1 x 1 x 32 B (latency); churn
# (connect, handshake, greeting, close handshake, repeat) with CHURN_CONNECTIONS loops. Every
# echo is validated. Before the scenarios, IDLE_CONNECTIONS idle connections are opened to the
# fresh server and its resident memory growth per connection is reported.
#
# korvo also registers http://127.0.0.1:80/, so it needs root (or CAP_NET_BIND_SERVICE);
# without it korvo is skipped with a note. It always listens on port 2001.
#
# Environment: DURATION (5 s per scenario), WARMUP (1 s), IDLE_CONNECTIONS (5000),
# CHURN_CONNECTIONS (10), SERVERS ("korvo node beast"; "wsecho" may be added), NO_BUILD (set:
# use the build as it is), SERVER_CORE, CLIENT_CORE, WSLOAD_THREADS (1), WSECHO_ARGS (extra
# flags for wsecho, e.g. "--threads 1").
# About 3 minutes with the defaults (plus the build).
set -euo pipefail

Root=$(cd "$(dirname "$0")/../.." && pwd)
Build=${1:-$Root/build/release}
Duration=${DURATION:-5}
Warmup=${WARMUP:-1}
IdleConnections=${IDLE_CONNECTIONS:-5000}
ChurnConnections=${CHURN_CONNECTIONS:-10}
Servers=${SERVERS:-korvo node beast}
ServerCore=${SERVER_CORE:-0}
ClientCore=${CLIENT_CORE:-1}
LoadThreads=${WSLOAD_THREADS:-1}
export NODE_PATH=$Root/interop/node/node_modules${NODE_PATH:+:$NODE_PATH}

if [[ -z ${NO_BUILD:-} ]]; then
    if [[ $Build == "$Root/build/release" ]]; then
        bash "$Root/scripts/build.sh" release
    else
        cmake --build "$Build" --target korvo wsload beast_echo
    fi
fi
for Program in wsload beast_echo; do
    [[ -x $Build/bin/$Program ]] || { echo "no $Build/bin/$Program: build it first" >&2; exit 1; }
done
command -v node >/dev/null || { echo "node is missing (scripts/setup.sh --tests installs it)" >&2; exit 1; }
[[ -d $Root/interop/node/node_modules/ws ]] ||
    { echo "Node's ws is missing (scripts/setup.sh --tests installs it)" >&2; exit 1; }

# Thousands of idle connections need descriptors on both sides.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
if (($(ulimit -n) < IdleConnections + 200)); then
    IdleConnections=$(($(ulimit -n) - 200))
    echo "note: descriptor limit $(ulimit -n): idle test with $IdleConnections connections" >&2
fi

Work=$(mktemp -d)
ServerPid=
LoadPid=
cleanup() {
    [[ -n $LoadPid ]] && kill "$LoadPid" 2>/dev/null || true
    [[ -n $ServerPid ]] && kill "$ServerPid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$Work"
}
trap cleanup EXIT

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

port_open() { (exec 9<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# Context switches of all threads of process $1 (voluntary and involuntary).
context_switches() { cat /proc/"$1"/task/*/status 2>/dev/null | awk '/ctxt_switches/ {S += $2} END {print S + 0}'; }
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }

# key=value field of wsload's result line
field() { tr ' ' '\n' <<<"$1" | sed -n "s/^$2=//p"; }

declare -A Result    # "server|scenario" -> "rate p50 p99 per-cpu errors switches-per-message"
declare -A IdleBytes # server -> bytes per idle connection
declare -A Note      # server -> why it was skipped

# Starts server $1 pinned to the server core; sets ServerPid and Url, or returns 1.
start_server() {
    local Name=$1 Port Command Pattern
    case $Name in
    korvo)
        if [[ $(id -u) -ne 0 ]]; then
            Note[korvo]="not run: korvo registers port 80 and needs root (run this script as root)"
            return 1
        fi
        Port=2001
        Command=("$Build/bin/korvo")
        Pattern="started at"
        Url=ws://127.0.0.1:2001/ws/
        ;;
    wsecho)
        Port=$(free_port)
        # shellcheck disable=SC2206
        Command=("$Build/bin/wsecho" --port "$Port" ${WSECHO_ARGS:-})
        Pattern="wsecho listening on"
        Url=ws://127.0.0.1:$Port/ws/
        ;;
    node)
        Port=$(free_port)
        Command=(node "$Root/bench/websocket/node_ws_echo.js" --port "$Port")
        Pattern="listening on"
        Url=ws://127.0.0.1:$Port/
        ;;
    beast)
        Port=$(free_port)
        Command=("$Build/bin/beast_echo" --port "$Port")
        Pattern="listening on"
        Url=ws://127.0.0.1:$Port/
        ;;
    *)
        Note[$Name]="unknown server"
        return 1
        ;;
    esac
    if [[ ! -x ${Command[0]} ]] && ! command -v "${Command[0]}" >/dev/null; then
        Note[$Name]="not run: ${Command[0]} is missing"
        return 1
    fi
    for _ in $(seq 300); do # Up to 30 s for the port to be free (other runs may hold it).
        port_open "$Port" || break
        sleep 0.1
    done
    if port_open "$Port"; then
        Note[$Name]="not run: port $Port is busy"
        return 1
    fi
    taskset -c "$ServerCore" "${Command[@]}" >"$Work/$Name.out" 2>&1 &
    ServerPid=$!
    for _ in $(seq 200); do
        if grep -q "$Pattern" "$Work/$Name.out" || port_open "$Port"; then
            if kill -0 "$ServerPid" 2>/dev/null; then
                return 0
            fi
        fi
        if ! kill -0 "$ServerPid" 2>/dev/null; then
            break
        fi
        sleep 0.1
    done
    Note[$Name]="did not start: $(head -c 300 "$Work/$Name.out" | tr '\n' ' ')"
    kill "$ServerPid" 2>/dev/null || true
    wait "$ServerPid" 2>/dev/null || true
    ServerPid=
    return 1
}

stop_server() {
    kill "$ServerPid" 2>/dev/null || true
    wait "$ServerPid" 2>/dev/null || true
    ServerPid=
}

wsload() {
    taskset -c "$ClientCore" "$Build/bin/wsload" "$Url" --expect-greeting --threads "$LoadThreads" "$@"
}

# Resident memory added by IdleConnections idle (greeted) connections, per connection.
measure_idle() {
    local Name=$1 Before After
    sleep 0.5
    Before=$(rss_kib "$ServerPid")
    # Started directly (not through the wsload function) so that LoadPid is wsload itself.
    taskset -c "$ClientCore" "$Build/bin/wsload" "$Url" --expect-greeting --threads "$LoadThreads" \
        --idle --connections "$IdleConnections" --duration 300 >"$Work/idle.out" 2>&1 &
    LoadPid=$!
    for _ in $(seq 1200); do # Up to 120 s to open them all.
        grep -q '^ready' "$Work/idle.out" && break
        kill -0 "$LoadPid" 2>/dev/null || break
        sleep 0.1
    done
    if grep -q '^ready' "$Work/idle.out"; then
        sleep 1 # Let the server finish the greetings' bookkeeping.
        After=$(rss_kib "$ServerPid")
        IdleBytes[$Name]=$(((After - Before) * 1024 / IdleConnections))
        echo "  idle: $IdleConnections connections, RSS ${Before} KiB -> ${After} KiB"
    else
        IdleBytes[$Name]=failed
        echo "  idle: failed: $(grep -m3 'error' "$Work/idle.out" | tr '\n' ' ')"
    fi
    kill "$LoadPid" 2>/dev/null || true
    wait "$LoadPid" 2>/dev/null || true
    LoadPid=
    sleep 2 # The server releases the closed connections before the next scenario.
}

Scenarios=(conn100x1x32B conn10x16x1KiB latency1x1x32B churn)
scenario_args() {
    case $1 in
    conn100x1x32B) echo "--connections 100 --inflight 1 --size 32" ;;
    conn10x16x1KiB) echo "--connections 10 --inflight 16 --size 1024" ;;
    latency1x1x32B) echo "--connections 1 --inflight 1 --size 32" ;;
    churn) echo "--churn --connections $ChurnConnections" ;;
    esac
}

run_scenario() {
    local Name=$1 Scenario=$2 Before After Out Line Rc=0 SwitchesBefore SwitchesAfter
    Before=$(cpu_ticks "$ServerPid")
    SwitchesBefore=$(context_switches "$ServerPid")
    # shellcheck disable=SC2046
    Out=$(wsload $(scenario_args "$Scenario") --warmup "$Warmup" --duration "$Duration" 2>&1) || Rc=$?
    After=$(cpu_ticks "$ServerPid")
    SwitchesAfter=$(context_switches "$ServerPid")
    Line=$(grep '^result ' <<<"$Out" || true)
    echo "$Out" | sed 's/^/    /'
    if [[ -z $Line ]]; then
        Result[$Name|$Scenario]="0 0 0 0 wsload-failed($Rc) 0"
        return
    fi
    local PerCpu Switches
    Switches=$(awk -v N="$(field "$Line" total)" -v S=$((SwitchesAfter - SwitchesBefore)) \
        'BEGIN { printf "%.2f", (N > 0 ? S / N : 0) }')
    PerCpu=$(awk -v N="$(field "$Line" total)" -v T=$((After - Before)) -v H="$(getconf CLK_TCK)" \
        'BEGIN { printf "%.0f", (T > 0 ? N / (T / H) : 0) }')
    Result[$Name|$Scenario]="$(field "$Line" rate) $(field "$Line" p50_us) $(field "$Line" p99_us) $PerCpu $(field "$Line" errors) $Switches"
}

LoadBefore=$(cut -d' ' -f1-3 /proc/loadavg)
for Name in $Servers; do
    echo "== $Name"
    if ! start_server "$Name"; then
        echo "  ${Note[$Name]}"
        continue
    fi
    echo "  $Url (pid $ServerPid, core $ServerCore)"
    measure_idle "$Name"
    for Scenario in "${Scenarios[@]}"; do
        echo "  $Scenario"
        run_scenario "$Name" "$Scenario"
    done
    stop_server
done
LoadAfter=$(cut -d' ' -f1-3 /proc/loadavg)

echo
echo "wsload on core $ClientCore, servers on core $ServerCore; ${Warmup} s warm-up + ${Duration} s per scenario"
echo "load average before: $LoadBefore, after: $LoadAfter"
printf '%-16s %-7s %12s %10s %10s %14s %9s %7s\n' scenario server "msg/s" "p50 us" "p99 us" "msg/CPU-s" "csw/msg" errors
for Scenario in "${Scenarios[@]}"; do
    for Name in $Servers; do
        [[ -n ${Result[$Name|$Scenario]:-} ]] || continue
        read -r Rate P50 P99 PerCpu Errors Switches <<<"${Result[$Name|$Scenario]}"
        printf '%-16s %-7s %12s %10s %10s %14s %9s %7s\n' "$Scenario" "$Name" "$Rate" "$P50" "$P99" "$PerCpu" "$Switches" "$Errors"
    done
done
echo "(churn: msg/s is connections/s and the latency is one whole cycle; msg/CPU-s: per CPU second"
echo " of the server process; csw/msg: the server's context switches per message or cycle)"
echo
printf '%-16s' "idle memory"
for Name in $Servers; do
    [[ -n ${IdleBytes[$Name]:-} ]] && printf '  %s %s B/conn' "$Name" "${IdleBytes[$Name]}"
done
echo
for Name in $Servers; do
    [[ -n ${Note[$Name]:-} ]] && echo "$Name: ${Note[$Name]}"
done

# Ratios of korvo to each peer: throughput (msg/s and msg per server CPU second) and p50.
if [[ -n ${Result[korvo|churn]:-} ]]; then
    echo
    for Peer in node beast; do
        [[ -n ${Result[$Peer|churn]:-} ]] || continue
        Aim="ahead (>= 1.00)"
        [[ $Peer == beast ]] && Aim=">= 0.80"
        echo "korvo / $Peer (aim: $Aim)"
        for Scenario in "${Scenarios[@]}"; do
            read -r KR KP50 _ KC _ _ <<<"${Result[korvo|$Scenario]}"
            read -r PR PP50 _ PC _ _ <<<"${Result[$Peer|$Scenario]}"
            awk -v S="$Scenario" -v KR="$KR" -v PR="$PR" -v KC="$KC" -v PC="$PC" -v KP="$KP50" -v PP="$PP50" \
                'BEGIN { printf "  %-16s msg/s %.2f   msg/CPU-s %.2f   p50 latency %.2f (peer/korvo)\n",
                         S, (PR > 0 ? KR / PR : 0), (PC > 0 ? KC / PC : 0), (KP > 0 ? PP / KP : 0) }'
        done
    done
fi

Failed=0
for Key in "${!Result[@]}"; do
    read -r _ _ _ _ Errors _ <<<"${Result[$Key]}"
    [[ $Errors == 0 ]] || Failed=1
done
exit $Failed
