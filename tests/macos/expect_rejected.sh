#!/usr/bin/env bash
# expect_rejected.sh RELEASE_TEST MODULE MESSAGE...
#   Passes when the table test fails on MODULE with every MESSAGE among its
#   FAIL lines.
set -uo pipefail
release_test=$1 module=$2
shift 2
if output=$(bash "$release_test" tables - "$module" 2>&1); then
    echo "FAIL: the table test accepted $module:" >&2
    echo "$output" >&2
    exit 1
fi
status=0
for message in "$@"; do
    if grep -q "^FAIL: .*$message" <<< "$output"; then
        echo "rejected as expected: $(grep -m 1 "^FAIL: .*$message" <<< "$output" | cut -c1-100)"
    else
        echo "FAIL: no failure for '$message':" >&2
        status=1
    fi
done
[[ $status == 0 ]] || echo "$output" >&2
exit $status
