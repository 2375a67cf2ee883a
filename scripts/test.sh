#!/usr/bin/env bash
# test.sh: installs what is missing, then builds and runs every test in the normal (release)
# build, the AddressSanitizer+UndefinedBehaviorSanitizer build, the ThreadSanitizer build and the
# fuzz targets' smoke runs; after the release tests, a short soak of both servers.
# Exits non-zero on the first failing flavour.
set -euo pipefail
Root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$Root"

bash scripts/setup.sh --tests

Flavours=(${TEST_FLAVOURS:-release asan tsan fuzz})
Jobs=$(nproc)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
# setup.sh has installed every tool the tests use: a test that finds one missing fails here
# instead of skipping (testing/missing_tool.sh and the tests that read the variable).
export REQUIRE_TEST_TOOLS=1

for Flavour in "${Flavours[@]}"; do
    echo "== $Flavour: build"
    Start=$SECONDS
    bash scripts/build.sh "$Flavour"
    echo "== $Flavour: test (built in $((SECONDS - Start)) s)"
    Start=$SECONDS
    # The fuzz flavour's tests are the targets' smoke runs; they run one at a time, each with
    # the whole machine.
    Parallel=$Jobs
    [[ $Flavour == fuzz ]] && Parallel=1
    ctest --test-dir "build/$Flavour" --output-on-failure -j "$Parallel" --no-tests=error
    echo "== $Flavour: passed in $((SECONDS - Start)) s"
    if [[ $Flavour == release && ${SOAK:-short} == short ]]; then
        echo "== soak (short form)"
        bash bench/soak.sh --short --build build/release
    fi
done
