#!/usr/bin/env bash
# setup.sh: installs every Debian package the build, the tests and the benchmarks need.
# Idempotent: apt-get runs only when something is missing. Needs root (or sudo).
set -euo pipefail

PACKAGES=(
    # toolchain and build
    g++ cmake ninja-build pkg-config git
    # libraries
    libgtest-dev libgmock-dev libbenchmark-dev libboost-dev zlib1g-dev libssl-dev
    # fuzzing (libFuzzer ships with clang's runtime)
    clang libclang-rt-14-dev
    # real clients and peers used by the tests and benchmarks
    curl python3 openssl procps iproute2 netcat-openbsd
    # load for the soak's halden half
    wrk
    # the C peer of the WebSocket benchmarks (bench/websocket/lws_echo.c)
    libwebsockets-dev
    # WebSocket interop clients: Debian's python3-websockets (for /usr/bin/python3) and Chromium
    python3-websockets chromium
)
# Node.js comes from Debian unless the machine already has a node and npm of its own.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    PACKAGES+=(nodejs npm)
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
if [[ ! -d $Root/interop/node/node_modules/ws ]]; then
    echo "setup: installing Node packages into interop/node"
    npm ci --prefix "$Root/interop/node" --no-audit --no-fund --loglevel=error
fi
