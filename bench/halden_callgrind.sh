#!/usr/bin/env bash
# halden's instructions and heap allocations per request, counted by callgrind (deterministic,
# unlike timings on a loaded machine).
#
#   bench/halden_callgrind.sh [path/to/halden] [seconds] [connections]
#
# Runs halden under callgrind in a private network namespace, zeroes the counters once it
# serves, drives it with wrk (keep-alive, one thread) on /vek/orbis/hello, dumps the counters,
# and divides the instructions (Ir) and the calls of malloc by the requests wrk reports. The
# start and the stop of the server are not counted. Leaves callgrind.out.halden and the
# annotations (exclusive and inclusive) in the output folder ($OUT, default a temporary one)
# and prints the top functions. The counts vary by a few hundred instructions from run to run
# (how many requests one poll finds depends on timing).
#
# Zeroing the counters mid-run charges the work of the threads' entry functions, which never
# return, to them as their own: read the inclusive annotation, or set WHOLE_RUN=1 to count the
# whole run (start and stop included; their share shrinks with longer runs) for an exact
# exclusive profile. Build with -g (CMAKE_CXX_FLAGS_RELEASE="-O3 -DNDEBUG -g") for lines.
set -euo pipefail

if [[ ${1:-} != --inside ]]; then
    Root=$(cd "$(dirname "$0")/.." && pwd)
    Halden=$(realpath "${1:-$Root/build/release/bin/halden}")
    [[ -x $Halden ]] || { echo "no halden at $Halden (build it first)" >&2; exit 1; }
    for Tool in valgrind wrk callgrind_annotate callgrind_control python3; do
        command -v "$Tool" >/dev/null || { echo "needs $Tool" >&2; exit 1; }
    done
    Out=${OUT:-$(mktemp -d)}
    mkdir -p "$Out"
    exec unshare -n bash "$0" --inside "$Halden" "${2:-10}" "${3:-20}" "$(realpath "$Out")"
fi

Halden=$2
Seconds=$3
Connections=$4
Out=$5
ip link set lo up
Url=http://127.0.0.1:2001/vek/orbis/hello

mkfifo "$Out/stdin"
valgrind --tool=callgrind --callgrind-out-file="$Out/callgrind.out.%p" "$Halden" \
    <"$Out/stdin" >"$Out/halden.out" 2>"$Out/valgrind.log" &
Pid=$!
exec 3>"$Out/stdin" # Holding the fifo open keeps halden waiting for its line.
cleanup() {
    kill "$Pid" 2>/dev/null || true
    exec 3>&- 2>/dev/null || true
}
trap cleanup EXIT

for _ in $(seq 600); do # valgrind starts slowly: up to 60 s
    grep -q "Press Enter" "$Out/halden.out" 2>/dev/null && break
    sleep 0.1
done
grep -q "Press Enter" "$Out/halden.out" || { echo "halden did not start" >&2; exit 1; }
curl -fsS "$Url" >/dev/null # warm: the first request's one-time work is not counted
[[ ${WHOLE_RUN:-0} == 1 ]] || callgrind_control -z "$Pid" >/dev/null
Wrk=$(wrk -t1 -c"$Connections" -d"${Seconds}s" "$Url")
[[ ${WHOLE_RUN:-0} == 1 ]] || callgrind_control -d "$Pid" >/dev/null
echo >&3
exec 3>&-
wait "$Pid" || true
trap - EXIT

Requests=$(awk '/requests in/ {print $1}' <<<"$Wrk")
echo "$Requests" >"$Out/requests"
if [[ ${WHOLE_RUN:-0} == 1 ]]; then
    Dump=$(ls -t "$Out"/callgrind.out.* 2>/dev/null | head -1)
else
    Dump=$(ls -t "$Out"/callgrind.out.*.1 2>/dev/null | head -1)
fi
[[ -n $Dump ]] || { echo "no callgrind dump" >&2; exit 1; }
mv "$Dump" "$Out/callgrind.out.halden"
rm -f "$Out"/callgrind.out.[0-9]*
callgrind_annotate "$Out/callgrind.out.halden" >"$Out/exclusive.txt"
callgrind_annotate --inclusive=yes "$Out/callgrind.out.halden" >"$Out/inclusive.txt"

python3 - "$Out/callgrind.out.halden" "$Requests" <<'PY'
import re, sys
path, requests = sys.argv[1], int(sys.argv[2])
names, total, allocs, frees = {}, 0, 0, 0
target = None
def name(text):
    m = re.match(r"\((\d+)\)(?: (.*))?", text)
    if not m:
        return text
    if m.group(2) is not None:
        names[m.group(1)] = m.group(2)
    return names.get(m.group(1), "")
with open(path) as f:
    for line in f:
        if line.startswith("summary:") or line.startswith("totals:"):
            total = int(line.split()[1])
        elif line.startswith("cfn="):
            target = name(line[4:].strip())
        elif line.startswith("fn="):
            name(line[3:].strip())
        elif line.startswith("calls=") and target is not None:
            count = int(line[6:].split()[0])
            if target in ("malloc", "calloc", "realloc", "memalign", "posix_memalign",
                          "aligned_alloc"):
                allocs += count
            elif target == "free":
                frees += count
            target = None
print(f"requests {requests}, instructions {total}")
print(f"instructions per request {total / requests:.0f}")
print(f"heap allocations per request {allocs / requests:.2f} (frees {frees / requests:.2f})")
PY
echo "--- top functions, exclusive (callgrind_annotate $Out/callgrind.out.halden)"
sed -n '/^Ir/,$p' "$Out/exclusive.txt" | sed -n 3,30p
