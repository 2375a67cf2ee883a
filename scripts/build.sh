#!/usr/bin/env bash
# build.sh <release|debug|asan|tsan|fuzz>: configures and builds one flavour under build/<flavour>.
set -euo pipefail
Root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
Flavour=${1:-release}
shift || true

Args=(-G Ninja -S "$Root" -B "$Root/build/$Flavour")
case "$Flavour" in
release) Args+=(-DCMAKE_BUILD_TYPE=Release) ;;
debug) Args+=(-DCMAKE_BUILD_TYPE=Debug) ;;
asan) Args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=ON) ;;
tsan) Args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE_THREAD=ON) ;;
fuzz) Args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_FUZZERS=ON
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
*)
    echo "build.sh: unknown flavour '$Flavour' (release, debug, asan, tsan, fuzz)" >&2
    exit 2
    ;;
esac

cmake "${Args[@]}" "$@" >/dev/null
cmake --build "$Root/build/$Flavour"
