#!/usr/bin/env bash
# The Octave package's Makefile as Octave for Windows runs it, through the
# MinGW-w64 mkoctfile stand-in (mkoctfile_mingw.sh), and its decisions for
# the other platforms.
# package_test.sh build OBJDUMP SOURCE_DIR WORK STANDIN_INCLUDE IMPORT_LIBRARY...
#   Makes the package, builds its module into WORK/wide (all vector scans)
#   and, as with an assembler that cannot make vector moves unaligned, into
#   WORK/sse2-only; checks the commands, the export and import tables and
#   the vector moves of both, and the Linux and macOS link lines.
# package_test.sh wine HOST_BUILD WORK LIBMX LIBMEX LOADER
#   Runs both builds of both modules (tarvenloch, tarvenloch_batch) under
#   Wine at every scan level against the Octave modules
#   (../release_test.sh run), beside the MinGW C++ runtime DLLs, as in
#   Octave's folder. Exits 77 (skipped) when Wine cannot start.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mode=$1
shift
runtime="libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll"
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

if [[ $mode == wine ]]; then
    host=$1 work=$2 libmx=$3 libmex=$4 loader=$5
    for build in wide sse2-only; do
        run=$work/run-$build
        rm -rf "$run" && mkdir -p "$run"
        cp "$work/$build/tarvenloch.mex" "$work/$build/tarvenloch_batch.mex" "$libmx" "$libmex" \
           "$loader" "$run/"
        for dll in $runtime; do cp "$(x86_64-w64-mingw32-g++-posix -print-file-name="$dll")" "$run/"; done
        echo "== the package's module, $build"
        bash "$here/../release_test.sh" run "$host" "$run/$(basename "$loader")" \
            "$run/tarvenloch.mex" "$run/tarvenloch_batch.mex"
    done
    exit 0
fi

objdump=$1 source=$2 work=$3 include=$4
shift 4
export MKOCTFILE_SHIM_INCLUDE=$include MKOCTFILE_SHIM_LIBS="$*"
shim="bash $here/mkoctfile_mingw.sh"
rm -rf "$work" && mkdir -p "$work/dist"
tar -C "$work" -xzf "$(bash "$source/tools/make_octave_package.sh" "$work/dist")"
package=$(echo "$work"/tarvenloch-*/src)

# The link line for each platform, without building anything.
link() { make -s -n -C "$package" MKOCTFILE="$shim" TARGET="$1" | grep -- '-o tarvenloch.mex '; }
linux=$(link x86_64-pc-linux-gnu)
[[ $linux == *" scan_avx512.o -pthread -Wl,--version-script=exports.map" ]] || fail "Linux link line: $linux"
macos=$(link x86_64-apple-darwin21.6.0)
[[ $macos == *" -Wl,-exported_symbols_list,exports.txt" && $macos != *version-script* ]] ||
    fail "macOS link line: $macos"
make -s -C "$package" MKOCTFILE="$shim" TARGET=arm64-apple-darwin23 exports.txt
[[ $(cat "$package/exports.txt") == $'_mexFunction\n_mexfilerequiredapiversion' ]] ||
    fail "macOS export list: $(cat "$package/exports.txt")"
make -s -n -C "$package" MKOCTFILE="$shim" TARGET=arm64-apple-darwin23 | grep -q scan_vector &&
    fail "vector scans built for arm64"
echo "Linux and macOS link lines: ok"

# Builds the Windows module into WORK/NAME with the stand-in mkoctfile.
build() {
    local name=$1
    cp -r "$package" "$work/$name"
    rm -f "$work/$name/exports.txt"
    MKOCTFILE_SHIM_LOG=$work/$name.log make -s -C "$work/$name" MKOCTFILE="$shim" >/dev/null
    echo "== $name: $(grep -c ' -c ' "$work/$name.log") compiles, then: $(tail -n 1 "$work/$name.log")"
    for module in tarvenloch tarvenloch_batch; do
        ALLOWED_DLLS=$runtime bash "$here/windows_test.sh" exports "$objdump" "$work/$name/$module.mex"
    done
    "$objdump" -d "$work/$name/tarvenloch.mex" > "$work/$name.s"
}
# Aligned moves of 32- or 64-byte vectors: a crash whenever the address, on
# the 16-byte aligned stack for example, is not a multiple of 32 or 64.
aligned_wide_moves='vmov(aps|apd|dqa|dqa32|dqa64)[[:space:]].*%[yz]mm'

build wide
for level in avx2 avx512; do
    grep -- "-o scan_$level.o" "$work/wide.log" | grep -q -- '-Wa,-muse-unaligned-vector-move' ||
        fail "scan_$level.o is compiled without -Wa,-muse-unaligned-vector-move"
done
grep -q '%zmm' "$work/wide.s" || fail "the AVX-512 scan is missing"
if grep -E "$aligned_wide_moves" "$work/wide.s"; then
    fail "aligned moves of 32- or 64-byte vectors"
fi

MKOCTFILE_SHIM_OLD_ASSEMBLER=1 build sse2-only
grep -q -- '-DTARVENLOCH_SSE2_SCAN_ONLY' "$work/sse2-only.log" || fail "no SSE2-only define"
grep -qE 'scan_avx(2|512)\.o' "$work/sse2-only.log" && fail "AVX scans built without unaligned moves"
grep -qE '%[yz]mm' "$work/sse2-only.s" && fail "32- or 64-byte vectors in the SSE2-only module"
echo "octave package through the MinGW-w64 mkoctfile: ok"
