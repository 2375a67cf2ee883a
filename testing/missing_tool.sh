#!/usr/bin/env bash
# missing_tool.sh WHAT: stands in for a test whose tool (WHAT) was not found. It skips (exit 77,
# the suite's skip code) on a developer's machine and fails when REQUIRE_TEST_TOOLS is set, as
# scripts/test.sh (and so CI) sets it: there every tool is installed, so a missing one is a fault.
echo "$1 is missing"
if [[ -n ${REQUIRE_TEST_TOOLS:-} ]]; then
    echo "REQUIRE_TEST_TOOLS is set: a missing tool fails the test" >&2
    exit 1
fi
exit 77
