#!/usr/bin/env bash
# run.sh [halden|korvo]: installs what is missing, builds the release flavour and runs one
# server in the foreground.
set -euo pipefail
Root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$Root"
Program=${1:-halden}
case "$Program" in
halden | korvo) ;;
*)
    echo "run.sh: unknown program '$Program' (halden or korvo)" >&2
    exit 2
    ;;
esac

bash scripts/setup.sh
bash scripts/build.sh release
Binary=build/release/bin/$Program
if [[ ! -x $Binary ]]; then
    echo "run.sh: $Program is not built yet in this version of the tree" >&2
    exit 1
fi
exec "$Binary"
