#!/usr/bin/env bash
# setup.sh [--tests]: installs the Debian packages that are missing.
#   bash scripts/setup.sh           what building and running the programs need (scripts/run.sh)
#   bash scripts/setup.sh --tests   that, plus what the tests and benchmarks use (scripts/test.sh)
# Idempotent: apt-get runs only when something is missing. Needs root (or sudo).
set -euo pipefail

# Building and running: the toolchain and the libraries the programs are built with.
BUILD_PACKAGES=(
    g++ cmake ninja-build pkg-config
    libboost-dev zlib1g-dev libssl-dev
    # the WebSocket server component's cluster option talks to Redis through hiredis
    libhiredis-dev
)

# Tests and benchmarks only. Add a package to the group that uses it.
TEST_PACKAGES=(
    # test framework and microbenchmarks
    libgtest-dev libgmock-dev libbenchmark-dev
    # fuzzing (libFuzzer ships with clang's runtime)
    clang libclang-rt-14-dev
    # real clients and tools the tests drive
    curl python3 openssl procps iproute2 netcat-openbsd git
    # load for the soak's halden half
    wrk
    # the cluster's tests and benchmark: a real Redis, and nginx as the WebSocket load balancer
    redis-server nginx-light
    # the C peer of the WebSocket benchmarks (bench/websocket/lws_echo.c)
    libwebsockets-dev
    # WebSocket interop clients: Debian's python3-websockets (for /usr/bin/python3) and Chromium
    python3-websockets chromium
    # packaging tests: Debian packages (cpack, dpkg-shlibdeps), systemd unit checks, setpriv
    dpkg-dev file systemd util-linux
)

Tests=0
case "${1:-}" in
--tests) Tests=1 ;;
"") ;;
*)
    echo "setup.sh: unknown option '$1' (--tests)" >&2
    exit 2
    ;;
esac

PACKAGES=("${BUILD_PACKAGES[@]}")
if ((Tests)); then
    PACKAGES+=("${TEST_PACKAGES[@]}")
    # Node.js comes from Debian unless the machine already has a node and npm of its own.
    if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
        PACKAGES+=(nodejs npm)
    fi
fi
if [[ -n "${EXTRA_PACKAGES:-}" ]]; then
    read -r -a Extra <<<"$EXTRA_PACKAGES"
    PACKAGES+=("${Extra[@]}")
fi

Missing=()
for Package in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$Package" 2>/dev/null | grep -q 'install ok installed'; then
        Missing+=("$Package")
    fi
done

if ((${#Missing[@]} > 0)); then
    Sudo=()
    if [[ $(id -u) -ne 0 ]]; then
        Sudo=(sudo)
    fi
    echo "setup: installing ${Missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    "${Sudo[@]}" apt-get update -q
    "${Sudo[@]}" apt-get install -y -q --no-install-recommends "${Missing[@]}"
fi

# Node packages for the interop tests and the benchmark peers, pinned by interop/node's lock file.
Root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if ((Tests)) && [[ ! -d $Root/interop/node/node_modules/ws ]]; then
    echo "setup: installing Node packages into interop/node"
    npm ci --prefix "$Root/interop/node" --no-audit --no-fund --loglevel=error
fi
