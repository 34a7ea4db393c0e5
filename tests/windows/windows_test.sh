#!/usr/bin/env bash
# windows_test.sh exports OBJDUMP MODULE [FILE...]
#   The module exports exactly mexFunction and mexfilerequiredapiversion;
#   the module and the other files (libmx, libmex, the loader) import
#   nothing but Windows' own DLLs, libmx and libmex (but for those two
#   themselves) and the DLLs named in ALLOWED_DLLS (space-separated, for
#   example a host's C++ runtime). Modules are run under Wine by
#   ../release_test.sh run.
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
                libmx.dll | libmex.dll) [[ $(basename "$file") != lib*.dll ]] || status=1 ;;
                *) [[ $allowed == *" $dll "* ]] && continue
                   echo "FAIL: $(basename "$file") needs $dll" >&2; status=1 ;;
            esac
        done
    done
    exit $status
fi
