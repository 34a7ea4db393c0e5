#!/usr/bin/env bash
# windows_test.sh exports OBJDUMP MODULE [FILE...]
#   The module exports exactly mexFunction and mexfilerequiredapiversion;
#   the module and the other files (libmx, the loader) import nothing but
#   Windows' own DLLs, libmx (but for libmx itself) and the DLLs named in
#   ALLOWED_DLLS (space-separated, for example a host's C++ runtime).
# windows_test.sh wine HOST_BUILD MODULE LIBMX LOADER [BATCH_MODULE]
#   Runs the same calls of the module (and of the batch module, when given)
#   with the Linux build and, under Wine, with the Windows build at every
#   scan level; the results must agree to the bit.
#   Exits 77 (skipped) when Wine cannot start.
set -euo pipefail
mode=$1
shift

if [[ $mode == exports ]]; then
    objdump=$1 module=$2
    exports=$("$objdump" -p "$module" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
              sed 1d | grep -o '\] [A-Za-z_][A-Za-z0-9_]*' | cut -c3- | sort | tr '\n' ' ')
    echo "exports of $(basename "$module"): $exports"
    [[ $exports == "mexFunction mexfilerequiredapiversion " ]] || { echo "FAIL: unexpected exports" >&2; exit 1; }
    status=0
    allowed=" ${ALLOWED_DLLS-} "
    for file in "${@:2}"; do
        imports=$("$objdump" -p "$file" | awk '/DLL Name:/ { print $3 }' | sort -u | tr '\n' ' ')
        echo "imports of $(basename "$file"): $imports"
        for dll in $imports; do
            case "${dll,,}" in
                kernel32.dll | msvcrt.dll | user32.dll | advapi32.dll | api-ms-win-*.dll) ;;
                libmx.dll) [[ $(basename "$file") != libmx.dll ]] || status=1 ;;
                *) [[ $allowed == *" $dll "* ]] && continue
                   echo "FAIL: $(basename "$file") needs $dll" >&2; status=1 ;;
            esac
        done
    done
    exit $status
fi

host=$1 module=$2 loader=$4 batch=${5:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export WINEPREFIX=${WINEPREFIX:-$work/wineprefix} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=$(command -v wine64 || command -v wine || ls /usr/lib/wine/wine64 2>/dev/null || true)
if [[ -z $wine ]]; then
    echo "SKIPPED: Wine is not installed"
    exit 77
fi
if ! probe=$(timeout 300 "$wine" "$loader" 2>&1 </dev/null; echo "exit=$?") || [[ $probe != *usage:* ]]; then
    echo "SKIPPED: Wine cannot start the loader: $probe"
    exit 77
fi

status=0
# compare NAME WINDOWS_MODULE LINUX_MODULE CALLS
compare() {
    local name=$1 windows=$2 linux=$3 calls=$4
    "$host/mexhost/mexhost-run" "$linux" --calls "$calls" > "$work/linux.txt"
    echo "$name: $(wc -l < "$calls") calls; the Linux build: $(grep -c '^ok' "$work/linux.txt") results, $(grep -c '^error' "$work/linux.txt") errors"
    for level in default portable sse2 avx2 avx512; do
        if [[ $level == default ]]; then unset TARVENLOCH_SCAN_LEVEL; else export TARVENLOCH_SCAN_LEVEL=$level; fi
        "$wine" "$loader" "$windows" --calls "$calls" 2>"$work/wine.err" | tr -d '\r' > "$work/windows.txt" || true
        if cmp -s "$work/linux.txt" "$work/windows.txt"; then
            echo "$name, level $level: the Windows build under Wine agrees on every call"
        else
            echo "FAIL: $name, level $level: the Windows build differs:" >&2
            diff "$work/linux.txt" "$work/windows.txt" | head -n 10 | cut -c1-200 >&2 || true
            head -n 5 "$work/wine.err" >&2
            status=1
        fi
    done
    unset TARVENLOCH_SCAN_LEVEL
}

"$host/tests/make_calls" 3000 7 > "$work/calls.txt"
compare tarvenloch "$module" "$host/standin/tarvenloch.mexa64" "$work/calls.txt"
if [[ -n $batch ]]; then
    # Some batches are large enough to start threads (CreateThread under Wine).
    "$host/tests/make_calls" 200 8 batch > "$work/batch_calls.txt"
    compare tarvenloch_batch "$batch" "$host/standin/tarvenloch_batch.mexa64" "$work/batch_calls.txt"
fi
exit $status
