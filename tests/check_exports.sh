#!/usr/bin/env bash
# Fails unless each module file's dynamic symbol table defines exactly
# mexFunction and mexfilerequiredapiversion.
set -euo pipefail
status=0
for module in "$@"; do
    exported=$(nm -D --defined-only "$module" | awk '{print $NF}' | sort | tr '\n' ' ')
    if [[ "$exported" == "mexFunction mexfilerequiredapiversion " ]]; then
        echo "ok: $module exports $exported"
    else
        echo "FAIL: $module exports: $exported" >&2
        status=1
    fi
done
exit $status
