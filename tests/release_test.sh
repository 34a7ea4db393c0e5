#!/usr/bin/env bash
# Checks the release modules, the very files that are shipped.
#
# release_test.sh tables HOST_BUILD MODULE...
#   Reads each module's tables symbol by symbol: it exports exactly
#   mexFunction and mexfilerequiredapiversion, and imports exactly the
#   (library, function) pairs listed below. A Linux module (.mexa64) needs no
#   library but libmx.so, libmex.so, libc.so.6 and libm.so.6, no glibc
#   symbol version newer than GLIBC_2.28, and no library search path; a
#   Windows module (.mexw64) imports from no DLL but KERNEL32.dll,
#   msvcrt.dll, libmx.dll and libmex.dll.
#   A macOS module (.mexmaca64 for Apple silicon, .mexmaci64 for Intel
#   Macs), read with llvm-objdump --macho, is a 64-bit bundle (the file type
#   MATLAB's mex makes) of its processor for macOS 11.0 on, loads no library but @rpath/libmx.dylib,
#   @rpath/libmex.dylib and /usr/lib/libSystem.B.dylib, has no search path
#   of its own, has no fused multiply-add instruction and, for Apple
#   silicon, which runs no unsigned code, carries a code signature.
#   HOST_BUILD is the Linux build, whose stand-in libmx.so and libmex.so
#   tell which library an unversioned Linux import comes from.
#
# release_test.sh run HOST_BUILD LOADER MODULE...
#   Runs the calls of make_calls with each module at every scan level: with
#   LOADER "-", Linux modules in the stand-in host; otherwise Windows
#   modules under Wine through the stand-in's Windows LOADER. Every result
#   and error must be, bit for bit, the Octave module's of the same name
#   (in HOST_BUILD/octave) on the same calls. Exits 77 (skipped) when Wine
#   cannot start.
set -euo pipefail
mode=$1
host=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)

# The imports each module may have: "library function", one a line. "-"
# marks the C runtime's weak hooks, which no library defines and which stay
# unresolved.
expected_imports() {
    local mx="mxCreateDoubleMatrix_730 mxGetNumberOfElements mxGetPr mxGetScalar mxIsComplex
              mxIsDouble mxIsLogical mxIsNumeric mxIsSparse"
    local batch_mx="mxDestroyArray mxGetClassID mxGetData mxGetM mxGetN"
    local libc="__cxa_finalize free getenv madvise malloc memcpy memmove memset strcmp"
    local kernel32="DeleteCriticalSection EnterCriticalSection GetLastError
                    InitializeCriticalSection LeaveCriticalSection Sleep TlsGetValue
                    VirtualProtect VirtualQuery"
    local msvcrt="__iob_func _amsg_exit _initterm _lock _unlock abort calloc free fwrite getenv
                  malloc memcpy memmove memset realloc strcmp strlen strncmp vfprintf"
    # (dyld_stub_binder, which resolves the lazy bindings, has no underscore.
    # On Intel, sysctlbyname tells which vector instructions the processor
    # has, and trunc and floor are calls, not instructions.)
    local macos_system="free getenv malloc memcpy memmove strcmp"
    if [[ $1 == *.mexmaci64 ]]; then
        macos_system+=" __bzero sysctlbyname trunc"
        [[ $1 != tarvenloch_batch.* ]] || macos_system+=" floor"
    else
        macos_system+=" bzero"
    fi
    case $1 in
        tarvenloch.mexa64)
            list libmx.so $mx mxIsEmpty
            list libmex.so mexErrMsgIdAndTxt
            list libc.so.6 $libc
            list - __gmon_start__ _ITM_deregisterTMCloneTable _ITM_registerTMCloneTable ;;
        tarvenloch_batch.mexa64)
            list libmx.so $mx $batch_mx
            list libmex.so mexErrMsgIdAndTxt
            list libc.so.6 $libc nanosleep pthread_create pthread_join sched_getaffinity sched_yield __sched_cpucount sysconf
            list - __gmon_start__ _ITM_deregisterTMCloneTable _ITM_registerTMCloneTable ;;
        tarvenloch.mexw64)
            list libmx.dll $mx mxIsEmpty
            list libmex.dll mexErrMsgIdAndTxt
            list KERNEL32.dll $kernel32
            list msvcrt.dll $msvcrt ;;
        tarvenloch_batch.mexw64)
            list libmx.dll $mx $batch_mx
            list libmex.dll mexErrMsgIdAndTxt
            list KERNEL32.dll $kernel32 CreateThread WaitForSingleObject CloseHandle \
                 GetCurrentProcess GetProcessAffinityMask GetSystemInfo
            list msvcrt.dll $msvcrt ;;
        tarvenloch.mexmaca64 | tarvenloch.mexmaci64)
            list libmx $(underscored $mx mxIsEmpty)
            list libmex _mexErrMsgIdAndTxt
            list libSystem dyld_stub_binder $(underscored $macos_system) ;;
        tarvenloch_batch.mexmaca64 | tarvenloch_batch.mexmaci64)
            list libmx $(underscored $mx $batch_mx)
            list libmex _mexErrMsgIdAndTxt
            list libSystem dyld_stub_binder $(underscored $macos_system nanosleep pthread_create pthread_join sched_yield sysconf) ;;
        *) echo "FAIL: no expected imports for $1" >&2; return 1 ;;
    esac
}
list() {
    local library=$1
    shift
    for name in "$@"; do echo "$library $name"; done
}

underscored() { printf '_%s ' "$@"; }

# "version library" for each symbol version a Linux module needs.
needed_versions() {
    readelf -V --wide "$1" | awk '/\.gnu\.version_r/ { r = 1 } r && /File:/ { file = $5 }
        r && /Name:/ { print $3, file }'
}

# "library function" for each import of a Linux module. A versioned name
# comes from the file its version is needed from; an unversioned one from
# the stand-in library that defines it.
linux_imports() {
    local module=$1 versions
    versions=$(needed_versions "$module")
    objdump -T "$module" | awk '/\*UND\*/ { print $(NF - 1), $NF }' | while read -r version name; do
        version=${version#(}
        version=${version%)}
        if [[ $version != Base ]]; then
            echo "$(awk -v v="$version" '$1 == v { print $2 }' <<< "$versions") $name"
        elif nm -D --defined-only "$host/mexhost/libmx.so" | grep -qw "$name"; then
            echo "libmx.so $name"
        elif nm -D --defined-only "$host/mexhost/libmex.so" | grep -qw "$name"; then
            echo "libmex.so $name"
        else
            echo "- $name"
        fi
    done
}

check_linux() {
    local module=$1 status=0 needed versions newest
    needed=$(readelf -d "$module" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
    echo "needed: $needed"
    for library in $needed; do
        case $library in
            libmx.so | libmex.so | libc.so.6 | libm.so.6) ;;
            *) echo "FAIL: needs $library" >&2; status=1 ;;
        esac
    done
    if readelf -d "$module" | grep -qE '\((RPATH|RUNPATH)\)'; then
        echo "FAIL: has a library search path: $(readelf -d "$module" | grep -E 'R(UN)?PATH')" >&2
        status=1
    fi
    versions=$(needed_versions "$module" | awk '{ print $1 }' | sort -u)
    newest=$(grep '^GLIBC_[0-9.]*$' <<< "$versions" | sort -V | tail -n 1 || true)
    echo "newest glibc version: ${newest:-none}"
    for version in $versions; do
        if [[ $version != GLIBC_[0-9]* ]] || [[ $(printf '%s\n' "$version" GLIBC_2.28 | sort -V | tail -n 1) != GLIBC_2.28 ]]; then
            echo "FAIL: needs symbol version $version" >&2
            status=1
        fi
    done
    bash "$here/check_exports.sh" "$module" || status=1
    linux_imports "$module" > "$work/imports"
    return $status
}

check_windows() {
    local module=$1 objdump
    objdump=$(command -v x86_64-w64-mingw32-objdump || command -v objdump)
    "$objdump" -p "$module" | awk '/DLL Name:/ { dll = $3; next } /^$/ { dll = "" }
        dll != "" && $1 ~ /^[0-9a-f]+$/ && NF >= 3 { print dll, $3 }' > "$work/imports"
    bash "$here/windows/windows_test.sh" exports "$objdump" "$module"
}

check_macos() {
    local module=$1 status=0 cpu=X86_64 headers header loaded minos exported
    [[ $module != *.mexmaca64 ]] || cpu=ARM64
    headers=$(llvm-objdump --macho --private-headers "$module")
    header=$(awk '$1 == "MH_MAGIC_64" { print $2, $5; exit }' <<< "$headers")
    echo "processor and file type: $header"
    [[ $header == "$cpu BUNDLE" ]] || { echo "FAIL: not a $cpu bundle: $header" >&2; status=1; }
    loaded=$(awk '$2 ~ /^LC_(LOAD|LOAD_WEAK|REEXPORT|LAZY_LOAD|LOAD_UPWARD)_DYLIB$/ { load = 1 }
                  load && $1 == "name" { print $2; load = 0 }' <<< "$headers" | sort | tr '\n' ' ')
    echo "loads: $loaded"
    if [[ $loaded != "/usr/lib/libSystem.B.dylib @rpath/libmex.dylib @rpath/libmx.dylib " ]]; then
        echo "FAIL: loads $loaded" >&2
        status=1
    fi
    if grep -q 'cmd LC_RPATH' <<< "$headers"; then
        echo "FAIL: has a library search path" >&2
        status=1
    fi
    minos=$(awk '$2 == "LC_BUILD_VERSION" || $2 == "LC_VERSION_MIN_MACOSX" { b = 1 }
                 b && ($1 == "minos" || $1 == "version") { print $2; exit }' <<< "$headers")
    echo "oldest macOS: ${minos:-none}"
    [[ $minos == 11.0 ]] || { echo "FAIL: needs macOS ${minos:-(unknown)}, not 11.0" >&2; status=1; }
    if [[ $cpu == ARM64 ]]; then
        if grep -q 'cmd LC_CODE_SIGNATURE' <<< "$headers"; then
            echo "code signature: present"
        else
            echo "FAIL: no code signature: Apple silicon refuses to load it" >&2
            status=1
        fi
    fi
    # A file compiled without -ffp-contract=off: Clang fuses a * b + c into
    # one instruction where it may (on arm64 always, on x86-64 in the
    # AVX-512 scan), and the result changes in the last bit.
    local fused
    fused=$(llvm-objdump -d --no-show-raw-insn "$module" |
            grep -E $'\t(fn?m(add|sub)|fml[as]|vfn?m(add|sub)[0-9a-z]*)\t' || true)
    if [[ -n $fused ]]; then
        echo "FAIL: $(wc -l <<< "$fused") fused multiply-add instructions, such as:" >&2
        head -n 3 <<< "$fused" >&2
        status=1
    fi
    exported=$(llvm-objdump --macho --exports-trie "$module" | awk '$1 ~ /^0x/ { print $2 }' | sort | tr '\n' ' ')
    echo "exports: $exported"
    if [[ $exported != "_mexFunction _mexfilerequiredapiversion " ]]; then
        echo "FAIL: exports $exported" >&2
        status=1
    fi
    # "library symbol" for every binding: libmx, libmex or libSystem.
    llvm-objdump --macho --bind --lazy-bind --weak-bind "$module" |
        awk '/^(Bind|Lazy bind|Weak bind) table:/ { t = 1; next } t && NF >= 5 && $1 != "segment" { print $(NF - 1), $NF }' > "$work/imports"
    return $status
}

work=$(mktemp -d)
# Wine's server for the prefix below outlives its last program by a few
# seconds and writes the prefix as it exits: wait for it before removing.
cleanup() {
    if [[ -d $work/wineprefix ]] && command -v wineserver >/dev/null; then
        WINEPREFIX=$work/wineprefix wineserver -w || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

if [[ $mode == tables ]]; then
    status=0
    for module in "$@"; do
        echo "== $module"
        case $module in
            *.mexa64) check_linux "$module" || status=1 ;;
            *.mexw64) check_windows "$module" || status=1 ;;
            *.mexmaca64 | *.mexmaci64) check_macos "$module" || status=1 ;;
            *) echo "FAIL: not a release module: $module" >&2; status=1; continue ;;
        esac
        expected_imports "$(basename "$module")" | sort > "$work/expected" || { status=1; continue; }
        sort "$work/imports" > "$work/found"
        if cmp -s "$work/expected" "$work/found"; then
            echo "imports: $(awk '{ print $1 }' "$work/found" | uniq -c | awk '{ printf "%s %s, ", $1, $2 }')as expected"
        else
            echo "FAIL: imports differ from the expected list (< expected, > found):" >&2
            diff "$work/expected" "$work/found" | grep '^[<>]' >&2 || true
            status=1
        fi
    done
    exit $status
fi

# run: the Octave module's results on the same calls are the reference.
loader=$1
shift
if [[ $loader != - ]]; then
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
    run() { "$wine" "$loader" "$1" --calls "$2" 2>"$work/run.err" | tr -d '\r'; }
    what="under Wine"
else
    run() { "$host/mexhost/mexhost-run" "$1" --calls "$2" 2>"$work/run.err"; }
    what="in the stand-in host"
fi

status=0
for module in "$@"; do
    name=$(basename "${module%.*}")
    calls=$work/$name.calls
    if [[ $name == tarvenloch_batch ]]; then
        "$host/tests/make_calls" 200 8 batch > "$calls"  # some large enough to start threads
    else
        "$host/tests/make_calls" 3000 7 > "$calls"
    fi
    (cd "$host/octave" && octave-cli --norc --no-history --eval \
        "addpath('$here/octave'); run_calls('$name', '$calls', '$work/octave.txt')")
    echo "$name: $(wc -l < "$calls") calls; the Octave module: $(grep -c '^ok' "$work/octave.txt") results, $(grep -c '^error' "$work/octave.txt") errors"
    for level in default portable sse2 avx2 avx512; do
        if [[ $level == default ]]; then unset TARVENLOCH_SCAN_LEVEL; else export TARVENLOCH_SCAN_LEVEL=$level; fi
        run "$module" "$calls" > "$work/module.txt" || true
        if cmp -s "$work/octave.txt" "$work/module.txt"; then
            echo "level $level: $(basename "$module") $what agrees with the Octave module on every call"
        else
            echo "FAIL: level $level: $(basename "$module") $what differs from the Octave module:" >&2
            diff "$work/octave.txt" "$work/module.txt" | head -n 10 | cut -c1-200 >&2 || true
            head -n 5 "$work/run.err" >&2
            status=1
        fi
    done
    unset TARVENLOCH_SCAN_LEVEL
done
exit $status
