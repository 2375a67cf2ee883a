#!/usr/bin/env bash
# A bounded soak of both servers, one after the other (both listen on port 2001):
#   halden: keep-alive requests from wrk (50 connections) next to 16 connections that close
#           after every request;
#   korvo:  wsload churning connections (connect, handshake, greeting, close, repeat) next to
#           hundreds of connections echoing messages.
# While each runs, its resident memory, open descriptors and threads are sampled from /proc.
# A server passes when, under load, the mean of the last third of the samples stays within
# the tolerance of the mean of the first third, and it is still alive at the end. Sampling
# begins after a warm-up under the same load (half of each server's time, at most 20 s):
# buffers, allocator arenas and an elastic pool fill up first, and that climb is not growth.
#
#   bench/soak.sh [--minutes N (10) | --seconds N | --short] [--build DIR] [--interval S]
#                 [--rss-cap-mb M (2048)]
#
# A server whose resident memory passes the cap is stopped there and fails (the soak must not
# take the machine down with it).
# --short is the CI form: about 80 s in all. DIR holds bin/halden, bin/korvo and bin/wsload
# (default build/release). Exits 1 when a server grew, died, or its load generator failed.
set -uo pipefail

Root=$(cd "$(dirname "$0")/.." && pwd)
Build=$Root/build/release
Total=600
Interval=
RssCapMb=2048
while [ $# -gt 0 ]; do
    case "$1" in
    --minutes) Total=$(($2 * 60)); shift 2 ;;
    --seconds) Total=$2; shift 2 ;;
    --short) Total=80; shift ;;
    --build) Build=$(cd "$2" && pwd); shift 2 ;;
    --interval) Interval=$2; shift 2 ;;
    --rss-cap-mb) RssCapMb=$2; shift 2 ;;
    *) echo "soak.sh: unknown argument '$1'" >&2; exit 2 ;;
    esac
done
Half=$((Total / 2))
[ "$Half" -ge 10 ] || { echo "soak.sh: at least 20 seconds" >&2; exit 2; }
WarmUp=$((Half / 2 < 20 ? Half / 2 : 20))
Sampled=$((Half - WarmUp))
# About 30 samples per server, at most one a second.
[ -n "$Interval" ] || Interval=$(((Sampled + 29) / 30))
[ "$Interval" -ge 1 ] || Interval=1

Work=$(mktemp -d)
ServerPid=
LoadPids=()
cleanup() {
    for Pid in "${LoadPids[@]}" $ServerPid; do
        kill "$Pid" 2>/dev/null || true
    done
    exec 3>&- 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$Work"
}
trap cleanup EXIT

wait_port() { # up to 20 s for something to listen on 2001
    for _ in $(seq 200); do
        if (exec 9<>"/dev/tcp/127.0.0.1/2001") 2>/dev/null; then return 0; fi
        sleep 0.1
    done
    echo "nothing listens on port 2001" >&2
    return 1
}
port_free() { ! (exec 9<>"/dev/tcp/127.0.0.1/2001") 2>/dev/null; }

sample() { # pid -> "rss_kib fds threads", or nothing once the process is gone
    local Rss Threads Fds
    Rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null) || return 1
    Threads=$(awk '/^Threads:/ {print $2}' "/proc/$1/status" 2>/dev/null) || return 1
    Fds=$(ls "/proc/$1/fd" 2>/dev/null | wc -l)
    [ -n "$Rss" ] && echo "$Rss $Fds $Threads"
}

# Samples while the load runs; then judges the first and last thirds.
# Tolerances: memory +10 % + 2 MiB, descriptors +10 % + 16, threads +25 % + 4 (an elastic
# pool still warming up in the short form adds a few threads; a leak adds them per connection).
watch_server() { # name pid seconds -> prints the verdict, returns 1 on growth or death
    local Name=$1 Pid=$2 Seconds=$3 File=$Work/$1.samples
    : >"$File"
    local End=$(($(date +%s) + Seconds))
    local Line
    while [ "$(date +%s)" -lt "$End" ]; do
        Line=$(sample "$Pid") || break
        echo "$Line" >>"$File"
        if [ "${Line%% *}" -gt $((RssCapMb * 1024)) ]; then
            echo "$Name: resident memory passed ${RssCapMb} MiB after $((Seconds - End + $(date +%s))) s; stopped"
            return 1
        fi
        sleep "$Interval"
    done
    if ! kill -0 "$Pid" 2>/dev/null; then
        echo "$Name: died during the soak"
        return 1
    fi
    awk -v Name="$Name" '
        { Rss[NR] = $1; Fds[NR] = $2; Thr[NR] = $3 }
        function mean(A, From, To,   I, S) { S = 0; for (I = From; I <= To; ++I) S += A[I]; return S / (To - From + 1) }
        function peak(A,   I, M) { M = 0; for (I = 1; I <= NR; ++I) if (A[I] > M) M = A[I]; return M }
        END {
            if (NR < 6) { printf "%s: only %d samples\n", Name, NR; exit 1 }
            T = int(NR / 3)
            R1 = mean(Rss, 1, T); R3 = mean(Rss, NR - T + 1, NR)
            F1 = mean(Fds, 1, T); F3 = mean(Fds, NR - T + 1, NR)
            H1 = mean(Thr, 1, T); H3 = mean(Thr, NR - T + 1, NR)
            Flat = (R3 <= R1 * 1.10 + 2048) && (F3 <= F1 * 1.10 + 16) && (H3 <= H1 * 1.25 + 4)
            printf "%s: %d samples; RSS %.1f -> %.1f MiB (peak %.1f); fds %.0f -> %.0f (peak %d); threads %.0f -> %.0f (peak %d): %s\n",
                Name, NR, R1 / 1024, R3 / 1024, peak(Rss) / 1024, F1, F3, peak(Fds), H1, H3, peak(Thr),
                Flat ? "flat" : "GROWING"
            exit Flat ? 0 : 1
        }' "$File"
}

Failed=0
echo "soak: ${Total}s in all, ${Half}s per server (${WarmUp}s of warm-up), a sample every ${Interval}s"

# ---- halden ----
Halden=$Build/bin/halden
if [ ! -x "$Halden" ]; then
    echo "halden: not built at $Halden"; Failed=1
elif ! command -v wrk >/dev/null; then
    echo "halden: wrk is not installed"; Failed=1
elif ! port_free; then
    echo "halden: port 2001 is taken"; Failed=1
else
    mkfifo "$Work/stdin"
    "$Halden" <"$Work/stdin" >"$Work/halden.out" 2>&1 &
    ServerPid=$!
    exec 3>"$Work/stdin" # Holding the fifo open keeps halden waiting for its line.
    if wait_port; then
        Url=http://127.0.0.1:2001/vek/orbis/hello
        wrk -t1 -c50 -d"$((Half + 2))s" "$Url" >"$Work/keepalive.out" 2>&1 &
        LoadPids=($!)
        wrk -t1 -c16 -d"$((Half + 2))s" -H "Connection: close" "$Url" >"$Work/close.out" 2>&1 &
        LoadPids+=($!)
        sleep "$WarmUp"
        watch_server halden "$ServerPid" "$Sampled" || Failed=1
        wait "${LoadPids[@]}"
        for Kind in keepalive close; do
            Requests=$(awk '/requests in/ {print $1}' "$Work/$Kind.out")
            Errors=$(grep -E "Non-2xx|Socket errors" "$Work/$Kind.out" | tr -s ' ' | paste -sd';' -)
            echo "halden: wrk ($Kind) ${Requests:-?} requests${Errors:+ ($Errors)}"
            [ -z "$Errors" ] && [ -n "$Requests" ] || Failed=1
        done
        LoadPids=()
    else
        Failed=1
    fi
    echo >&3 # Enter stops halden.
    exec 3>&-
    for _ in $(seq 300); do kill -0 "$ServerPid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$ServerPid" 2>/dev/null; then
        echo "halden: still running 30 s after Enter"; Failed=1
    elif ! wait "$ServerPid"; then
        echo "halden: exit status not 0"; Failed=1
    fi
    ServerPid=
fi

# ---- korvo ----
Korvo=$Build/bin/korvo
Wsload=$Build/bin/wsload
if [ ! -x "$Korvo" ] || [ ! -x "$Wsload" ]; then
    echo "korvo: not built (needs $Korvo and $Wsload)"; Failed=1
else
    for _ in $(seq 100); do port_free && break; sleep 0.1; done
    "$Korvo" </dev/null >"$Work/korvo.out" 2>&1 &
    ServerPid=$!
    if wait_port; then
        Url=ws://127.0.0.1:2001/ws/
        "$Wsload" "$Url" --expect-greeting --churn --connections 32 --warmup 1 \
            --duration "$((Half - 1))" >"$Work/churn.out" 2>&1 &
        LoadPids=($!)
        "$Wsload" "$Url" --expect-greeting --connections 500 --inflight 2 --size 512 --warmup 1 \
            --duration "$((Half - 1))" >"$Work/echo.out" 2>&1 &
        LoadPids+=($!)
        sleep "$WarmUp"
        watch_server korvo "$ServerPid" "$Sampled" || Failed=1
        for I in 0 1; do
            Out=$Work/$([ "$I" = 0 ] && echo churn || echo echo).out
            if ! wait "${LoadPids[$I]}"; then
                echo "korvo: wsload failed: $(tail -3 "$Out" | tr '\n' ' ')"; Failed=1
            else
                echo "korvo: $(grep -v '^result' "$Out" | tail -1)"
            fi
        done
        LoadPids=()
    else
        Failed=1
    fi
    # SIGTERM is korvo's stop: every connection closed with 1001, then exit status 0.
    kill -TERM "$ServerPid" 2>/dev/null || true
    for _ in $(seq 300); do kill -0 "$ServerPid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$ServerPid" 2>/dev/null; then
        echo "korvo: still running 30 s after SIGTERM"; Failed=1
        kill -KILL "$ServerPid" 2>/dev/null || true
        wait "$ServerPid" 2>/dev/null || true
    elif ! wait "$ServerPid"; then
        echo "korvo: exit status not 0 after SIGTERM"; Failed=1
    fi
    ServerPid=
fi

[ "$Failed" = 0 ] && echo "soak: passed" || echo "soak: FAILED"
exit "$Failed"
