#!/usr/bin/env bash
# httpapi_vs_nginx.sh: requests/s and latency of the httpapi hello server against nginx.
#
# Both servers answer GET / with the same 13-byte body ("Hello, World!"), one worker each,
# pinned to core 0; wrk runs pinned to core 1 with 50 keep-alive connections for 10 seconds.
# Usage: bench/httpapi_vs_nginx.sh [BUILD_DIR]   (default: build/release; built if needed)
# Environment: SOURCE_DIR (default: this repository), DURATION (10s), CONNECTIONS (50),
# SERVER_CORE (0), CLIENT_CORE (1), THREADS (receiving threads of our server, 1).
set -euo pipefail

Root=$(cd "$(dirname "$0")/.." && pwd)
Source=${SOURCE_DIR:-$Root}
Build=${1:-$Root/build/release}
Duration=${DURATION:-10s}
Connections=${CONNECTIONS:-50}
ServerCore=${SERVER_CORE:-0}
ClientCore=${CLIENT_CORE:-1}
Threads=${THREADS:-1}

Sudo=()
if [[ $(id -u) -ne 0 ]]; then
    Sudo=(sudo)
fi
if ! command -v wrk >/dev/null || ! command -v nginx >/dev/null; then
    "${Sudo[@]}" apt-get update -q
    DEBIAN_FRONTEND=noninteractive "${Sudo[@]}" apt-get install -y -q --no-install-recommends \
        wrk nginx-light
fi

if [[ ! -x $Build/bin/httpapi_hello ]]; then
    cmake -G Ninja -S "$Source" -B "$Build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$Build" --target httpapi_hello
fi

Work=$(mktemp -d)
Pids=()
cleanup() {
    for Pid in "${Pids[@]}"; do
        kill "$Pid" 2>/dev/null || true
        wait "$Pid" 2>/dev/null || true
    done
    rm -rf "$Work"
}
trap cleanup EXIT

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

wait_port() {
    for _ in $(seq 1 100); do
        if curl -fs "http://127.0.0.1:$1/" >/dev/null 2>&1; then
            return 0
        fi
        sleep 0.1
    done
    echo "server on port $1 did not start" >&2
    return 1
}

# CPU time (user + system, all threads) of process $1, in clock ticks.
cpu_ticks() {
    awk '{print $14 + $15}' "/proc/$1/stat"
}

# Prints "requests/s p50 p99 requests-per-CPU-second" for the server on port $1, process $2.
# Requests per CPU second does not depend on how busy the machine is with other work.
measure() {
    local Out Before After
    Before=$(cpu_ticks "$2")
    Out=$(taskset -c "$ClientCore" wrk -t1 -c"$Connections" -d"$Duration" --latency \
        "http://127.0.0.1:$1/")
    After=$(cpu_ticks "$2")
    echo "$Out" >"$Work/wrk-$1.txt"
    local Rps P50 P99 Requests PerCpu
    Rps=$(awk '/^Requests\/sec:/ {print $2}' <<<"$Out")
    P50=$(awk '$1 == "50%" {print $2}' <<<"$Out")
    P99=$(awk '$1 == "99%" {print $2}' <<<"$Out")
    Requests=$(awk '/requests in/ {print $1}' <<<"$Out")
    PerCpu=$(python3 -c "print(round($Requests / max(1, $After - $Before) * $(getconf CLK_TCK)))")
    echo "$Rps $P50 $P99 $PerCpu"
}

# nginx: one worker, no logging, the same body.
NginxPort=$(free_port)
mkdir -p "$Work/nginx/logs"
cat >"$Work/nginx/nginx.conf" <<CONF
worker_processes 1;
master_process off;
daemon off;
pid $Work/nginx/nginx.pid;
error_log $Work/nginx/logs/error.log;
events { worker_connections 4096; }
http {
    access_log off;
    keepalive_requests 100000000;
    server {
        listen 127.0.0.1:$NginxPort;
        location / { default_type text/plain; return 200 "Hello, World!"; }
    }
}
CONF
taskset -c "$ServerCore" nginx -p "$Work/nginx" -c "$Work/nginx/nginx.conf" &
Pids+=($!)
wait_port "$NginxPort"
read -r NginxRps NginxP50 NginxP99 NginxCpu < <(measure "$NginxPort" "${Pids[-1]}")

OurPort=$(free_port)
taskset -c "$ServerCore" "$Build/bin/httpapi_hello" "$OurPort" "$Threads" >/dev/null &
Pids+=($!)
wait_port "$OurPort"
read -r OurRps OurP50 OurP99 OurCpu < <(measure "$OurPort" "${Pids[-1]}")

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-14s %14s %10s %10s %16s\n' server requests/s p50 p99 requests/CPU-s
printf '%-14s %14s %10s %10s %16s\n' nginx "$NginxRps" "$NginxP50" "$NginxP99" "$NginxCpu"
printf '%-14s %14s %10s %10s %16s\n' httpapi_hello "$OurRps" "$OurP50" "$OurP99" "$OurCpu"
python3 -c "print('ratio httpapi/nginx: %.2f requests/s, %.2f requests/CPU-s' % ($OurRps / $NginxRps, $OurCpu / $NginxCpu))"
