#!/usr/bin/env bash
# halden against nginx: the same 13-byte answer on the same path, measured with wrk in one run.
#
#   bench/halden_vs_nginx.sh [path/to/halden] [seconds]
#
# Each server is pinned to core 0 and wrk to core 1 (50 connections, keep-alive, one thread).
# nginx runs one worker. Prints requests/s and p50/p99 latency for both, and the ratio.
set -euo pipefail

Root=$(cd "$(dirname "$0")/.." && pwd)
Halden=${1:-$Root/build/release/bin/halden}
Seconds=${2:-10}
Connections=50
NginxPort=2081
Path=/vek/orbis/hello

if ! command -v wrk >/dev/null || ! command -v nginx >/dev/null; then
    apt-get install -y -q wrk nginx-light >/dev/null
fi
[[ -x $Halden ]] || { echo "no halden at $Halden (build it first)" >&2; exit 1; }

Work=$(mktemp -d)
HaldenPid=
NginxPid=
cleanup() {
    [[ -n $HaldenPid ]] && kill "$HaldenPid" 2>/dev/null || true
    [[ -n $NginxPid ]] && kill "$NginxPid" 2>/dev/null || true
    exec 3>&- 2>/dev/null || true
    rm -rf "$Work"
}
trap cleanup EXIT

wait_port() { # port: up to 10 s for something to listen
    for _ in $(seq 100); do
        if (exec 9<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
        sleep 0.1
    done
    echo "nothing listens on port $1" >&2
    return 1
}

run_wrk() { # url -> wrk output
    taskset -c 1 wrk -t1 -c"$Connections" -d"${Seconds}s" --latency "$1"
}

rps() { awk '/^Requests\/sec:/ {print $2}' <<<"$1"; }
summary() { # name, wrk output
    local P50 P99
    P50=$(awk '$1 == "50%" {print $2}' <<<"$2")
    P99=$(awk '$1 == "99%" {print $2}' <<<"$2")
    printf '%-8s %12s req/s   p50 %-9s p99 %-9s\n' "$1" "$(rps "$2")" "$P50" "$P99"
}

# ---- halden ----
mkfifo "$Work/stdin"
taskset -c 0 "$Halden" <"$Work/stdin" >"$Work/halden.out" 2>&1 &
HaldenPid=$!
exec 3>"$Work/stdin" # Holding the fifo open keeps halden waiting for its line.
wait_port 2001
curl -fsS "http://127.0.0.1:2001$Path" >/dev/null
HaldenOut=$(run_wrk "http://127.0.0.1:2001$Path")
echo >&3
exec 3>&-
wait "$HaldenPid" || true
HaldenPid=

# ---- nginx: one worker, the same answer ----
mkdir -p "$Work/nginx/logs"
cat >"$Work/nginx/nginx.conf" <<CONF
worker_processes 1;
daemon off;
master_process off;
error_log $Work/nginx/logs/error.log;
pid $Work/nginx/nginx.pid;
events { worker_connections 1024; }
http {
    access_log off;
    keepalive_requests 1000000;
    server {
        listen 127.0.0.1:$NginxPort;
        location $Path {
            default_type text/plain;
            return 200 "Hello, World!";
        }
    }
}
CONF
taskset -c 0 nginx -p "$Work/nginx" -c "$Work/nginx/nginx.conf" &
NginxPid=$!
wait_port "$NginxPort"
curl -fsS "http://127.0.0.1:$NginxPort$Path" >/dev/null
NginxOut=$(run_wrk "http://127.0.0.1:$NginxPort$Path")
kill "$NginxPid"
wait "$NginxPid" 2>/dev/null || true
NginxPid=

echo "wrk -t1 -c$Connections -d${Seconds}s --latency, server on core 0, wrk on core 1"
summary halden "$HaldenOut"
summary nginx "$NginxOut"
awk -v H="$(rps "$HaldenOut")" -v N="$(rps "$NginxOut")" 'BEGIN { printf "halden/nginx: %.1f%%\n", 100 * H / N }'
if grep -q "Non-2xx\|Socket errors" <<<"$HaldenOut$NginxOut"; then
    echo "--- wrk reported errors:" >&2
    grep "Non-2xx\|Socket errors" <<<"$HaldenOut$NginxOut" >&2
fi
