#!/usr/bin/env bash
# floor.sh: halden and korvo against their peers, every row of the floor's benchmark in one run.
#
#   bash bench/floor.sh [--quick] [--rounds N] [--duration S] [--warmup S] [--only "SECTIONS"]
#                       [--build DIR] [--no-build] [--out FILE]
#
# As root. Installs what is missing (wrk, nginx-light, libwebsockets-dev, linux-perf, strace),
# builds the release flavour (unless --no-build or --build DIR), then runs everything inside a
# private network namespace (`unshare -n`, lo up), so that korvo's ports 2001 and 80 meet no
# test. Sections, in this order (--only picks some):
#
#   hello    HTTP hello, wrk -t1 -c50: halden, nginx (one worker), Node http, httpapi_hello
#            (the HTTP Server API alone, no framework above it)
#   many     HTTP hello, wrk -t1 -c5000 (keep-alive): halden, nginx; wrk's socket errors and
#            the server's peak thread count
#   ws       WebSocket (wsload): korvo, libwebsockets, Boost.Beast, Node ws. First the idle row
#            on fresh servers (IDLE connections greeted and held: memory per connection, the
#            server's CPU while they idle, then one echo on every one of them), then
#            100 x 1 x 32 B, 10 x 16 x 1 KiB, 1 x 1 x 32 B (latency), churn, and 4 x 2 x 1 MiB
#   deflate  permessage-deflate on, 10 x 16 x 1 KiB: wsecho --permessage-deflate (korvo's
#            component), Beast, Node ws, all three compressing at zlib level 1 (libwebsockets
#            4.1.6's permessage-deflate fails with two connections at once: left out)
#   tls      https hello (wrk -c50): httpapi_hello over https (halden cannot be given a
#            certificate) and nginx; wss echo 100 x 1 x 32 B and 10 x 16 x 1 KiB: wsecho
#            --tls-cert-hash (korvo's component; korvo itself has no TLS), libwebsockets,
#            Beast, Node ws
#
# Every server runs pinned to core 0 (taskset -c 0), the load tool to core 1; while one server
# is measured the others are stopped (SIGSTOP) so that they cannot take core 0. Each row runs
# ROUNDS rounds, the servers interleaved within a round, and reports medians. Server CPU per
# operation is the server's utime + stime (whole process, /proc/PID/stat) over the load run
# divided by the operations of the run (warm-up and drain included). After the rounds one more
# run per server is counted with `perf stat` attached to the server (task-clock, context
# switches, raw_syscalls:sys_enter), per operation; where perf cannot count here, `strace -c -f`
# counts the system calls of that run instead (and the table says so). The counting slows
# every server a little: its CPU per operation is higher than the uncounted rounds'.
#
# Output: one markdown table per row with the servers side by side, the exact load command,
# and a summary table; --out FILE writes the same markdown to FILE.
#
# Environment (flags win): ROUNDS (3), DURATION (3 s measured per run), WARMUP (1 s),
# COUNT_DURATION (3 s), IDLE (10000 connections), IDLE_SECONDS (10), MANY (5000 connections),
# CHURN (10 connection loops), SECTIONS. --quick: 1 round, 1 s runs, 0.3 s warm-ups, 1000 idle
# connections for 2 s: a smoke run of every row in about three minutes. The full run takes
# about fifteen.
set -euo pipefail

Root=$(cd "$(dirname "$0")/.." && pwd)
Self=$Root/bench/floor.sh
Build=
NoBuild=${NO_BUILD:-}
Out=
Quick=
Rounds=${ROUNDS:-}
Duration=${DURATION:-}
Warmup=${WARMUP:-}
CountDuration=${COUNT_DURATION:-}
Idle=${IDLE:-}
IdleSeconds=${IDLE_SECONDS:-}
Many=${MANY:-5000}
Churn=${CHURN:-10}
Sections=${SECTIONS:-hello many ws deflate tls}
Args=("$@")

usage() {
    sed -n '2,/^set -euo/p' "$Self" | sed '$d; s/^# \{0,1\}//'
    exit 2
}

while (($#)); do
    case $1 in
    --quick) Quick=1 ;;
    --rounds) Rounds=$2; shift ;;
    --duration) Duration=$2; shift ;;
    --warmup) Warmup=$2; shift ;;
    --only) Sections=$2; shift ;;
    --build) Build=$2; shift ;;
    --no-build) NoBuild=1 ;;
    --out) Out=$2; shift ;;
    -h | --help) usage ;;
    *) echo "floor.sh: unknown argument $1" >&2; usage ;;
    esac
    shift
done
if [[ -n $Quick ]]; then
    Rounds=${Rounds:-1} Duration=${Duration:-1} Warmup=${Warmup:-0.3} CountDuration=${CountDuration:-1}
    Idle=${Idle:-1000} IdleSeconds=${IdleSeconds:-2}
fi
Rounds=${Rounds:-3} Duration=${Duration:-3} Warmup=${Warmup:-1} CountDuration=${CountDuration:-3}
Idle=${Idle:-10000} IdleSeconds=${IdleSeconds:-10}
for Section in $Sections; do
    case $Section in
    hello | many | ws | deflate | tls) ;;
    *) echo "floor.sh: unknown section $Section" >&2; exit 2 ;;
    esac
done

# ---- outside the namespace: packages and the build, then the rest inside it ----
if [[ -z ${FLOOR_NETNS:-} ]]; then
    if [[ $(id -u) -ne 0 ]]; then
        echo "floor.sh: run as root (packages, a private network namespace, korvo's port 80)" >&2
        exit 1
    fi
    Missing=()
    for Package in wrk nginx-light libwebsockets-dev linux-perf strace; do
        dpkg-query -W -f='${Status}' "$Package" 2>/dev/null | grep -q 'install ok installed' ||
            Missing+=("$Package")
    done
    if ((${#Missing[@]})); then
        echo "floor.sh: installing ${Missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -q >/dev/null
        apt-get install -y -q --no-install-recommends "${Missing[@]}" >/dev/null
    fi
    [[ -d $Root/interop/node/node_modules/ws ]] || bash "$Root/scripts/setup.sh"
    if [[ -z $Build ]]; then
        Build=$Root/build/release
        [[ -n $NoBuild ]] || bash "$Root/scripts/build.sh" release
    elif [[ -z $NoBuild ]]; then
        cmake --build "$Build" --target korvo halden wsecho wsload beast_echo lws_echo httpapi_hello
    fi
    Build=$(cd "$Build" && pwd)
    # A session of its own: no hang-up from the caller's terminal or job control reaches the
    # servers (halden and Node end on SIGHUP, nginx reloads).
    exec setsid -w env FLOOR_NETNS=1 FLOOR_BUILD="$Build" FLOOR_COMMAND="bash bench/floor.sh ${Args[*]}" \
        unshare -n bash -c 'ip link set lo up && exec bash "$0" "$@"' "$Self" "${Args[@]}"
fi

# ---- inside the namespace ----
Build=$FLOOR_BUILD
Bin=$Build/bin
export NODE_PATH=$Root/interop/node/node_modules${NODE_PATH:+:$NODE_PATH}
ServerCore=0
ClientCore=1
Tick=$(getconf CLK_TCK)
for Program in korvo halden wsecho wsload beast_echo lws_echo httpapi_hello; do
    [[ -x $Bin/$Program ]] || { echo "floor.sh: no $Bin/$Program (build it first)" >&2; exit 1; }
done
# Thousands of connections: descriptors on both sides, ephemeral ports, backlogs. These settings
# belong to the namespace (and the process tree), not to the machine.
ulimit -n "$(ulimit -Hn)"
sysctl -qw net.ipv4.ip_local_port_range="1024 65000" net.ipv4.tcp_tw_reuse=1 \
    net.core.somaxconn=4096 net.ipv4.tcp_max_syn_backlog=8192 2>/dev/null || true

# This shell and its helpers (load tools, perf, samplers) stay off the server core.
taskset -p -c "$ClientCore" $$ >/dev/null

Work=$(mktemp -d)
Records=$Work/records.tsv
: >"$Records"
declare -A Pid Url Label Stdin
Running=()
Helpers=()
cleanup() {
    for Helper in "${Helpers[@]}"; do kill "$Helper" 2>/dev/null || true; done
    for Name in "${Running[@]}"; do
        kill -CONT "${Pid[$Name]}" 2>/dev/null || true
        kill "${Pid[$Name]}" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    if [[ -n ${FLOOR_KEEP:-} ]]; then
        log "kept $Work"
    else
        rm -rf "$Work"
    fi
}
trap cleanup EXIT

log() { echo "floor $(date +%T): $*" >&2; }
set -E
trap 'log "stopped by a failure at line $LINENO: $BASH_COMMAND"' ERR

# Counting with perf where it works here; strace otherwise.
Counter=perf
if ! perf stat -x, -e task-clock,context-switches,raw_syscalls:sys_enter -p $$ -- sleep 0.1 \
    >/dev/null 2>&1; then
    Counter=strace
    log "perf stat cannot count here: system calls are counted with strace -c -f instead"
fi

# A throw-away certificate for every TLS server; the HTTP Server API finds it by thumbprint.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj /CN=localhost -keyout "$Work/key.pem" -out "$Work/cert.pem" 2>/dev/null
mkdir -p "$Work/certstore/MY"
cat "$Work/cert.pem" "$Work/key.pem" >"$Work/certstore/MY/server.pem"
CertHash=$(openssl x509 -in "$Work/cert.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
export HTTPAPI_CERTSTORE=$Work/certstore

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}
port_open() { (exec 9<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
threads_of() { awk '/^Threads:/ {print $2}' "/proc/$1/status"; }
context_switches() { cat /proc/"$1"/task/*/status 2>/dev/null | awk '/ctxt_switches/ {S += $2} END {print S + 0}'; }
field() { tr ' ' '\n' <<<"$1" | sed -n "s/^$2=//p"; }

# Waits until the server's output has a "listening on URL" line (sets Url from it) or its port
# answers; 1 when it ended or took longer than 30 s.
await_ready() {
    local Name=$1 Port=$2 Pattern=$3
    for _ in $(seq 300); do
        kill -0 "${Pid[$Name]}" 2>/dev/null || return 1
        if [[ -n $Pattern ]] && grep -q "$Pattern" "$Work/$Name.out"; then
            Url[$Name]=$(sed -n "s/.*listening on \([a-z]*:\/\/[^ ]*\).*/\1/p" "$Work/$Name.out" | head -1)
            return 0
        fi
        if [[ -z $Pattern ]] && port_open "$Port"; then
            return 0
        fi
        sleep 0.1
    done
    return 1
}

write_nginx_conf() { # plain port, tls port
    mkdir -p "$Work/nginx/logs"
    cat >"$Work/nginx/nginx.conf" <<CONF
worker_processes 1;
master_process off;
daemon off;
worker_rlimit_nofile 65536;
error_log $Work/nginx/logs/error.log;
pid $Work/nginx/nginx.pid;
events { worker_connections 20000; }
http {
    access_log off;
    keepalive_requests 100000000;
    keepalive_timeout 120s;
    server {
        listen 127.0.0.1:$1 backlog=4096;
        location /vek/orbis/hello { default_type text/plain; return 200 "Hello, World!"; }
    }
    server {
        listen 127.0.0.1:$2 ssl backlog=4096;
        ssl_certificate $Work/cert.pem;
        ssl_certificate_key $Work/key.pem;
        location /vek/orbis/hello { default_type text/plain; return 200 "Hello, World!"; }
    }
}
CONF
}

# Starts server Name pinned to the server core; sets Pid, Url and Label. 1 when it cannot run.
start_server() {
    local Name=$1 Port Pattern= Command=()
    case $Name in
    halden)
        Label[$Name]=halden Port=2001 Url[$Name]=http://127.0.0.1:2001/vek/orbis/hello
        Command=("$Bin/halden")
        ;;
    nginx | nginx_tls)
        Label[$Name]=nginx Port=$(free_port)
        local TlsPort
        TlsPort=$(free_port)
        write_nginx_conf "$Port" "$TlsPort"
        Url[$Name]=http://127.0.0.1:$Port/vek/orbis/hello
        if [[ $Name == nginx_tls ]]; then
            Url[$Name]=https://127.0.0.1:$TlsPort/vek/orbis/hello
        fi
        Command=(nginx -p "$Work/nginx" -c "$Work/nginx/nginx.conf")
        ;;
    node_http)
        Label[$Name]="Node http" Pattern="listening on"
        Command=(node "$Root/bench/node_http_hello.js" --port 0)
        ;;
    httpapi | httpapi_tls)
        Label[$Name]=httpapi_hello Port=$(free_port)
        Command=("$Bin/httpapi_hello" "$Port" 1)
        Url[$Name]=http://127.0.0.1:$Port/vek/orbis/hello
        if [[ $Name == httpapi_tls ]]; then
            Command+=(--https "$CertHash")
            Url[$Name]=https://127.0.0.1:$Port/vek/orbis/hello
        fi
        ;;
    korvo)
        Label[$Name]=korvo Port=2001 Url[$Name]=ws://127.0.0.1:2001/ws/
        Command=("$Bin/korvo")
        ;;
    wsecho_deflate | wsecho_tls)
        Label[$Name]=wsecho Port=$(free_port) Pattern="listening on"
        Command=("$Bin/wsecho" --port "$Port")
        [[ $Name == wsecho_deflate ]] && Command+=(--permessage-deflate)
        if [[ $Name == wsecho_tls ]]; then
            if ! "$Bin/wsecho" --help | grep -q -- "--tls-cert-hash"; then
                echo "wsecho has no TLS flags" >"$Work/$Name.why"
                return 1
            fi
            Command+=(--tls-cert-hash "$CertHash")
        fi
        ;;
    lws | lws_tls)
        Label[$Name]=libwebsockets Pattern="listening on"
        Command=("$Bin/lws_echo" --port 0)
        ;;
    beast | beast_deflate | beast_tls)
        Label[$Name]=Boost.Beast Pattern="listening on"
        Command=("$Bin/beast_echo" --port 0)
        ;;
    node_ws | node_ws_deflate | node_ws_tls)
        Label[$Name]="Node ws" Pattern="listening on"
        Command=(node "$Root/bench/websocket/node_ws_echo.js" --port 0)
        ;;
    *) echo "unknown server" >"$Work/$Name.why"; return 1 ;;
    esac
    case $Name in
    *_deflate) [[ $Name == wsecho_deflate ]] || Command+=(--permessage-deflate) ;;
    lws_tls | beast_tls | node_ws_tls) Command+=(--tls-cert "$Work/cert.pem" --tls-key "$Work/key.pem") ;;
    esac
    if [[ -n ${Port:-} && -z $Pattern ]] && port_open "$Port"; then
        echo "port $Port is busy" >"$Work/$Name.why"
        return 1
    fi
    if [[ $Name == halden ]]; then
        # halden serves until a line arrives on its standard input: a fifo held open.
        mkfifo "$Work/halden.in"
        taskset -c "$ServerCore" "${Command[@]}" <"$Work/halden.in" >"$Work/$Name.out" 2>&1 &
        Pid[$Name]=$!
        exec 7>"$Work/halden.in"
    else
        taskset -c "$ServerCore" "${Command[@]}" >"$Work/$Name.out" 2>&1 &
        Pid[$Name]=$!
    fi
    Running+=("$Name")
    if ! await_ready "$Name" "${Port:-0}" "$Pattern"; then
        echo "did not start: $(head -c 300 "$Work/$Name.out" | tr '\n' ' ')" >"$Work/$Name.why"
        stop_server "$Name"
        return 1
    fi
    # The peers take any path: /ws/ like korvo. Node's hello answers on halden's path.
    case $Name in
    lws* | beast* | node_ws*) Url[$Name]=${Url[$Name]%/}/ws/ ;;
    node_http) Url[$Name]=${Url[$Name]%/}/vek/orbis/hello ;;
    esac
    printf 'server\t%s\t%s\n' "$Name" "${Label[$Name]}" >>"$Records"
    return 0
}

stop_server() {
    local Name=$1 Kept=()
    kill -CONT "${Pid[$Name]}" 2>/dev/null || true
    if [[ $Name == halden ]]; then
        echo >&7 || true
        exec 7>&-
        rm -f "$Work/halden.in"
    fi
    kill "${Pid[$Name]}" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "${Pid[$Name]}" 2>/dev/null || break; sleep 0.1; done
    kill -9 "${Pid[$Name]}" 2>/dev/null || true
    wait "${Pid[$Name]}" 2>/dev/null || true
    for Other in "${Running[@]}"; do [[ $Other == "$Name" ]] || Kept+=("$Other"); done
    Running=("${Kept[@]}")
}

stop_all() {
    local Names=("${Running[@]}")
    for Name in "${Names[@]}"; do stop_server "$Name"; done
}

# Starts the servers of a section; Servers names those that run.
start_servers() {
    local Started=()
    for Name in "$@"; do
        if start_server "$Name"; then
            Started+=("$Name")
            log "$Name (${Label[$Name]}) pid ${Pid[$Name]} at ${Url[$Name]}"
        else
            log "$Name not measured: $(cat "$Work/$Name.why")"
            printf 'note\t%s\t%s\n' "$Name" "$(cat "$Work/$Name.why")" >>"$Records"
        fi
    done
    Servers="${Started[*]}"
}

# False (and the server's end reported once) when it is no longer running.
alive() {
    local Name=$1 Rc=0
    kill -0 "${Pid[$Name]}" 2>/dev/null && return 0
    if [[ ! -e $Work/$Name.dead ]]; then
        wait "${Pid[$Name]}" 2>/dev/null || Rc=$?
        log "$Name (pid ${Pid[$Name]}) ended with status $Rc: $(tail -c 600 "$Work/$Name.out" | tr '\n' ' ')"
        printf 'note\t%s\t%s\n' "$Name" "ended during the run with status $Rc" >>"$Records"
        touch "$Work/$Name.dead"
    fi
    return 1
}

# Only the measured server may run on the server core.
focus() {
    for Other in "${Running[@]}"; do
        [[ $Other == "$1" ]] || kill -STOP "${Pid[$Other]}" 2>/dev/null || true
    done
}
unfocus() {
    for Other in "${Running[@]}"; do kill -CONT "${Pid[$Other]}" 2>/dev/null || true; done
}

# Peak thread count of process $1 until the file $2 exists; written to $2.peak.
sample_threads() {
    local Peak=0 Now
    while [[ ! -e $2 ]]; do
        Now=$(threads_of "$1" 2>/dev/null || echo 0)
        ((Now > Peak)) && Peak=$Now
        sleep 0.1
    done
    echo "$Peak" >"$2.peak"
}

# Converts wrk's latency ("812.00us", "1.23ms", "2.01s") to microseconds.
to_us() {
    awk -v V="$1" 'BEGIN { U = V; sub(/[0-9.]+/, "", U); N = V + 0;
        if (U == "ms") N *= 1000; else if (U == "s") N *= 1000000; printf "%.1f", N }'
}

# One load run against server Name. Kind: "round N" or "count" (perf or strace attached).
# Load: "wrk ARGS" or "wsload ARGS" (the URL is added). Appends one record.
measure() {
    local Section=$1 Scenario=$2 Name=$3 Kind=$4 Tool=$5
    shift 5
    local ServerPid=${Pid[$Name]} Command Stop=$Work/stop.$RANDOM CounterPid= Sampler
    if ! alive "$Name"; then
        printf 'run\t%s\t%s\t%s\t%s\t%s\t%s\n' "$Section" "$Scenario" "$Name" "$Kind" "-" \
            "ops=0 rate=0 failed=1 dead=1" >>"$Records"
        return 0
    fi
    if [[ $Tool == wrk ]]; then
        Command=(wrk "$@" "${Url[$Name]}")
    else
        Command=("$Bin/wsload" "${Url[$Name]}" --expect-greeting "$@")
    fi
    focus "$Name"
    sample_threads "$ServerPid" "$Stop" &
    Sampler=$!
    Helpers+=("$Sampler")
    local Ticks0 Switches0 Ticks1 Switches1 Times Rc=0
    if [[ $Kind == count ]]; then
        if [[ $Counter == perf ]]; then
            perf stat -x, -o "$Work/count.txt" -e task-clock,context-switches,raw_syscalls:sys_enter \
                -p "$ServerPid" &
        else
            strace -c -f -o "$Work/count.txt" -p "$ServerPid" 2>/dev/null &
        fi
        CounterPid=$!
        Helpers+=("$CounterPid")
        sleep 0.5 # Attached to every thread before the load starts.
    fi
    Ticks0=$(cpu_ticks "$ServerPid")
    Switches0=$(context_switches "$ServerPid")
    local TIMEFORMAT='%R %U %S'
    { time taskset -c "$ClientCore" "${Command[@]}" >"$Work/load.out" 2>"$Work/load.err" || Rc=$?; } 2>"$Work/time.txt"
    Ticks1=$(cpu_ticks "$ServerPid" 2>/dev/null || echo "$Ticks0")
    Switches1=$(context_switches "$ServerPid")
    alive "$Name" || Rc=99
    if [[ -n $CounterPid ]]; then
        kill -INT "$CounterPid" 2>/dev/null || true
        wait "$CounterPid" 2>/dev/null || true
    fi
    touch "$Stop"
    wait "$Sampler" 2>/dev/null || true
    unfocus
    read -r Wall User Sys <"$Work/time.txt" || true
    local Fields="load_cpu=$(awk -v W="$Wall" -v U="$User" -v S="$Sys" 'BEGIN { printf "%.3f", (W > 0 ? (U + S) / W : 0) }')"
    Fields+=" server_ticks=$((Ticks1 - Ticks0)) tick=$Tick switches_proc=$((Switches1 - Switches0))"
    Fields+=" threads_peak=$(cat "$Stop.peak" 2>/dev/null || echo 0) threads_after=$(threads_of "$ServerPid" 2>/dev/null || echo 0) rc=$Rc"
    if [[ $Tool == wrk ]]; then
        local W=$Work/load.out Requests Rate Errors
        Requests=$(awk '/requests in/ {print $1}' "$W")
        Rate=$(awk '/^Requests\/sec:/ {print $2}' "$W")
        Errors=$(awk '/Socket errors:/ {gsub(",", ""); print "connect=" $4 " read=" $6 " write=" $8 " timeout=" $10}' "$W")
        Fields+=" ops=${Requests:-0} rate=${Rate:-0} p50_us=$(to_us "$(awk '$1 == "50%" {print $2}' "$W")")"
        Fields+=" p99_us=$(to_us "$(awk '$1 == "99%" {print $2}' "$W")")"
        Fields+=" non2xx=$(awk '/Non-2xx/ {print $NF}' "$W" | head -1) ${Errors:-connect=0 read=0 write=0 timeout=0}"
        [[ -n $Requests ]] || Fields+=" failed=1"
    else
        local Line
        Line=$(grep '^result ' "$Work/load.out" || true)
        if [[ -z $Line ]]; then
            Fields+=" ops=0 rate=0 errors=1 failed=1"
        else
            Fields+=" ops=$(field "$Line" total) rate=$(field "$Line" rate) p50_us=$(field "$Line" p50_us)"
            Fields+=" p99_us=$(field "$Line" p99_us) errors=$(field "$Line" errors) lost=$(field "$Line" lost)"
            Fields+=" close_timeouts=$(field "$Line" close_timeouts)"
        fi
        if [[ -s $Work/load.err ]]; then
            log "$Name $Scenario: $(head -c 400 "$Work/load.err" | tr '\n' ' ')"
        fi
    fi
    if [[ $Kind == count ]]; then
        if [[ $Counter == perf ]]; then
            Fields+=" $(awk -F, '$3 == "task-clock" {printf "count_cpu_ms=%s ", $1}
                $3 == "context-switches" {printf "count_switches=%s ", $1}
                $3 == "raw_syscalls:sys_enter" {printf "count_syscalls=%s ", $1}' "$Work/count.txt")"
        else
            Fields+=" count_syscalls=$(awk '$NF == "total" {print $(NF - 2)}' "$Work/count.txt")"
            Fields+=" count_switches=$((Switches1 - Switches0)) count_cpu_ms=$(((Ticks1 - Ticks0) * 1000 / Tick))"
        fi
    fi
    printf 'run\t%s\t%s\t%s\t%s\t%s\t%s\n' "$Section" "$Scenario" "$Name" "$Kind" "${Command[*]}" "$Fields" >>"$Records"
    log "$Section $Scenario $Name $Kind: $(grep -o 'rate=[^ ]*' <<<"$Fields") $(grep -o 'ops=[^ ]*' <<<"$Fields") cpu ticks $((Ticks1 - Ticks0))"
}

# Rounds of one row over the given servers (interleaved), then one counted run each.
row() {
    local Section=$1 Scenario=$2 Tool=$3 Servers=$4 CountArgs=$5
    shift 5
    [[ -n $Servers ]] || return 0
    for Round in $(seq "$Rounds"); do
        for Name in $Servers; do
            measure "$Section" "$Scenario" "$Name" "round $Round" "$Tool" "$@"
        done
    done
    for Name in $Servers; do
        # shellcheck disable=SC2086
        measure "$Section" "$Scenario" "$Name" count "$Tool" $CountArgs
    done
}

# wrk warms every server once before its rows.
warm_http() {
    for Name in "$@"; do
        focus "$Name"
        taskset -c "$ClientCore" wrk -t1 -c50 -d"$(whole "$Warmup")s" "${Url[$Name]}" >/dev/null 2>&1 || true
        unfocus
    done
}

# Idle row on a fresh server: Idle greeted connections held, resident memory before and after,
# the server's CPU while they idle, then one echo on each.
idle_row() {
    local Name=$1 ServerPid=${Pid[$1]} Rss0 Rss1 Ticks0 Ticks1 Threads LoadPid Line Rc=0
    alive "$Name" || return 0
    focus "$Name"
    sleep 1
    Rss0=$(rss_kib "$ServerPid")
    taskset -c "$ClientCore" "$Bin/wsload" "${Url[$Name]}" --expect-greeting --idle \
        --connections "$Idle" --duration "$((IdleSeconds + 3))" --connect-timeout 240 \
        --drain-timeout 120 >"$Work/idle.out" 2>"$Work/idle.err" &
    LoadPid=$!
    Helpers+=("$LoadPid")
    for _ in $(seq 2400); do
        grep -q '^ready' "$Work/idle.out" && break
        kill -0 "$LoadPid" 2>/dev/null || break
        sleep 0.1
    done
    local Fields=
    if grep -q '^ready' "$Work/idle.out"; then
        sleep 1 # The greetings' bookkeeping settles.
        Rss1=$(rss_kib "$ServerPid")
        Threads=$(threads_of "$ServerPid")
        Ticks0=$(cpu_ticks "$ServerPid")
        sleep "$IdleSeconds"
        Ticks1=$(cpu_ticks "$ServerPid")
        Fields="rss_before_kib=$Rss0 rss_after_kib=$Rss1 threads=$Threads idle_ticks=$((Ticks1 - Ticks0))"
        Fields+=" tick=$Tick idle_seconds=$IdleSeconds"
    fi
    wait "$LoadPid" || Rc=$?
    unfocus
    Line=$(grep '^result ' "$Work/idle.out" || true)
    Fields+=" connections=$Idle echoed=$(field "$Line" count) errors=$(field "$Line" errors)"
    Fields+=" p50_us=$(field "$Line" p50_us) p99_us=$(field "$Line" p99_us) rc=$Rc"
    [[ -s $Work/idle.err ]] && log "$Name idle: $(head -c 400 "$Work/idle.err" | tr '\n' ' ')"
    printf 'run\tws\tidle\t%s\tidle\t%s\t%s\n' "$Name" \
        "$Bin/wsload ${Url[$Name]} --expect-greeting --idle --connections $Idle --duration $((IdleSeconds + 3)) --connect-timeout 240 --drain-timeout 120" \
        "$Fields" >>"$Records"
    log "ws idle $Name: $Fields"
    sleep 2 # The server lets the closed connections go before the next one is measured.
}

WsArgs() { echo "--warmup $Warmup --duration $Duration"; }
# wrk takes whole seconds.
whole() { awk -v S="$1" 'BEGIN { N = int(S); if (N < S) N++; if (N < 1) N = 1; print N }'; }
WrkSeconds=$(whole "$Duration")
WrkCount=$(whole "$CountDuration")
CountWs() { echo "--warmup 0.5 --duration $CountDuration"; }

Started=$(date -u '+%Y-%m-%d %H:%M UTC')
Load0=$(cut -d' ' -f1-3 /proc/loadavg)
Commit=$(git -C "$Root" rev-parse --short HEAD 2>/dev/null || echo unknown)
Dirty=$(git -C "$Root" status --porcelain --untracked-files=no 2>/dev/null | grep -q . && echo " (with uncommitted changes)" || true)
T0=$SECONDS

for Section in $Sections; do
    case $Section in
    hello)
        start_servers halden nginx node_http httpapi
        # shellcheck disable=SC2086
        warm_http $Servers
        row hello "HTTP hello, wrk 50 connections" wrk "$Servers" "-t1 -c50 -d${WrkCount}s --latency" \
            -t1 -c50 -d"${WrkSeconds}s" --latency
        stop_all
        ;;
    many)
        start_servers halden nginx
        # shellcheck disable=SC2086
        warm_http $Servers
        row many "HTTP hello, wrk $Many keep-alive connections" wrk "$Servers" \
            "-t1 -c$Many -d${WrkCount}s --latency" -t1 -c"$Many" -d"${WrkSeconds}s" --latency
        stop_all
        ;;
    ws)
        start_servers korvo lws beast node_ws
        for Name in $Servers; do idle_row "$Name"; done
        # shellcheck disable=SC2046
        {
            row ws "WS echo 100 x 1 x 32 B" wsload "$Servers" "--connections 100 --inflight 1 --size 32 $(CountWs)" \
                --connections 100 --inflight 1 --size 32 $(WsArgs)
            row ws "WS echo 10 x 16 x 1 KiB" wsload "$Servers" "--connections 10 --inflight 16 --size 1024 $(CountWs)" \
                --connections 10 --inflight 16 --size 1024 $(WsArgs)
            row ws "WS echo 1 x 1 x 32 B (latency)" wsload "$Servers" "--connections 1 --inflight 1 --size 32 $(CountWs)" \
                --connections 1 --inflight 1 --size 32 $(WsArgs)
            row ws "WS churn (connect, greeting, close)" wsload "$Servers" "--churn --connections $Churn $(CountWs)" \
                --churn --connections "$Churn" $(WsArgs)
            row ws "WS echo 4 x 2 x 1 MiB" wsload "$Servers" "--connections 4 --inflight 2 --size 1048576 $(CountWs)" \
                --connections 4 --inflight 2 --size 1048576 $(WsArgs)
        }
        stop_all
        ;;
    deflate)
        start_servers wsecho_deflate beast_deflate node_ws_deflate
        # shellcheck disable=SC2046
        row deflate "WS echo 10 x 16 x 1 KiB, permessage-deflate" wsload "$Servers" \
            "--permessage-deflate --connections 10 --inflight 16 --size 1024 $(CountWs)" \
            --permessage-deflate --connections 10 --inflight 16 --size 1024 $(WsArgs)
        stop_all
        ;;
    tls)
        start_servers httpapi_tls nginx_tls
        # shellcheck disable=SC2086
        warm_http $Servers
        row tls "HTTPS hello, wrk 50 connections" wrk "$Servers" "-t1 -c50 -d${WrkCount}s --latency" \
            -t1 -c50 -d"${WrkSeconds}s" --latency
        stop_all
        start_servers wsecho_tls lws_tls beast_tls node_ws_tls
        # shellcheck disable=SC2046
        {
            row tls "WSS echo 100 x 1 x 32 B" wsload "$Servers" "--connections 100 --inflight 1 --size 32 $(CountWs)" \
                --connections 100 --inflight 1 --size 32 $(WsArgs)
            row tls "WSS echo 10 x 16 x 1 KiB" wsload "$Servers" "--connections 10 --inflight 16 --size 1024 $(CountWs)" \
                --connections 10 --inflight 16 --size 1024 $(WsArgs)
        }
        stop_all
        ;;
    esac
done

Load1=$(cut -d' ' -f1-3 /proc/loadavg)
{
    printf 'meta\tstarted\t%s\n' "$Started"
    printf 'meta\tcommit\t%s%s\n' "$Commit" "$Dirty"
    printf 'meta\tcommand\t%s\n' "$FLOOR_COMMAND"
    printf 'meta\tload\t%s at the start, %s at the end\n' "$Load0" "$Load1"
    printf 'meta\tseconds\t%s\n' "$((SECONDS - T0))"
    printf 'meta\trounds\t%s\n' "$Rounds"
    printf 'meta\tcounter\t%s\n' "$Counter"
    printf 'meta\tmachine\t%s CPUs, %s, Linux %s\n' "$(getconf _NPROCESSORS_ONLN)" \
        "$(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1)" "$(uname -r)"
} >>"$Records"

python3 "$Root/bench/floor_report.py" "$Records" | tee "${Out:-/dev/null}"
[[ -z $Out ]] || cp "$Records" "$Out.tsv" # python3 bench/floor_report.py FILE.tsv renders it again
# Socket errors with 5,000 connections are a measured outcome; wrong answers and lost echoes are
# failures.
Failed=$(awk -F'\t' '$1 == "run" && ($7 ~ /failed=1/ || $7 ~ / errors=[1-9]/ || $7 ~ / rc=[1-9]/ ||
    $7 ~ / non2xx=[1-9]/)' "$Records" | wc -l)
if ((Failed > 0)); then
    log "$Failed run(s) had errors (see the tables)"
    exit 1
fi
