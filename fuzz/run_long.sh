#!/usr/bin/env bash
# run_long.sh [seconds] [--build-dir DIR] [--only unit,unit,...]
# Builds the fuzz flavour and runs every fuzz target for the given seconds (600 by default),
# one after another, network-facing parsers first. New inputs go to a scratch corpus under
# <build>/fuzz-long/<unit>/ (the seeds in fuzz/corpus stay untouched), crash inputs beside it.
# Prints one summary line per target and exits non-zero when any target found a crash.
#   --build-dir DIR  use an already configured fuzz build (only rebuilt, not configured)
#   --only LIST      run just these units, in this order
set -uo pipefail
Root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
Seconds=600
Build="$Root/build/fuzz"
OwnBuild=0
Only=""
while [ $# -gt 0 ]; do
    case "$1" in
    --build-dir)
        Build=$(cd "$2" && pwd)
        OwnBuild=1
        shift 2
        ;;
    --only)
        Only="$2"
        shift 2
        ;;
    [0-9]*)
        Seconds="$1"
        shift
        ;;
    *)
        echo "run_long.sh: unknown argument '$1'" >&2
        exit 2
        ;;
    esac
done

if [ "$OwnBuild" = 0 ] && ! "$Root/scripts/build.sh" fuzz; then
    echo "run_long.sh: the whole fuzz build failed; building the fuzz targets alone" >&2
fi
# Only the fuzz targets must build; a fault elsewhere in the tree does not stop the run.
mapfile -t Targets < <(ninja -C "$Build" -t targets all | sed -n 's/^\([^:]*_fuzz\): .*/\1/p')
[ "${#Targets[@]}" -gt 0 ] || { echo "run_long.sh: no fuzz targets in $Build" >&2; exit 2; }
cmake --build "$Build" --target "${Targets[@]}" || exit 2

# Parsers of network input first, then the rest, then any target not named here.
Preferred=(httpapi_RequestParser zefWebSocket_Classes_Stream zefWebSocket_Extensions
    zefWebSocket_Server_Base Pylon.HttpServer.Dispatcher Pylon.Http.Headers Pylon.Uri
    Pylon.Utils Nexa.Utils httpapi_UrlPrefix)
Units=()
if [ -n "$Only" ]; then
    IFS=, read -r -a Units <<<"$Only"
else
    Units=("${Preferred[@]}")
    for Binary in "$Build"/bin/*_fuzz; do
        Unit=$(basename "$Binary" _fuzz)
        case " ${Preferred[*]} " in
        *" $Unit "*) ;;
        *) Units+=("$Unit") ;;
        esac
    done
fi

Failed=0
printf '%-30s %8s %12s %8s %8s %s\n' target seconds executions cov features findings
for Unit in "${Units[@]}"; do
    Binary="$Build/bin/${Unit}_fuzz"
    if [ ! -x "$Binary" ]; then
        printf '%-30s missing (not built)\n' "$Unit"
        Failed=1
        continue
    fi
    Work="$Build/fuzz-long/$Unit"
    mkdir -p "$Work/corpus" "$Work/findings"
    Log="$Work/run.log"
    Start=$(date +%s)
    "$Binary" -max_total_time="$Seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$Work/findings/" "$Work/corpus" "$Root/fuzz/corpus/$Unit" >"$Log" 2>&1
    Status=$?
    Elapsed=$(($(date +%s) - Start))
    Executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$Log" | tail -1)
    Last=$(grep -E '^#[0-9]+.* cov: ' "$Log" | tail -1)
    Cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$Last")
    Features=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$Last")
    Findings=$(find "$Work/findings" -type f | wc -l)
    Result="none"
    if [ "$Status" -ne 0 ] || [ "$Findings" -ne 0 ]; then
        Result="$Findings file(s) in $Work/findings (exit $Status; log $Log)"
        Failed=1
    fi
    printf '%-30s %8s %12s %8s %8s %s\n' "$Unit" "$Elapsed" "${Executions:-?}" "${Cov:-?}" \
        "${Features:-?}" "$Result"
done
exit "$Failed"
