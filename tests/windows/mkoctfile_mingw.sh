#!/usr/bin/env bash
# Stands in for Octave for Windows' mkoctfile, so that the Octave package's
# Makefile can be run here: compiles with the MinGW-w64 cross compiler
# against the stand-in mex.h, and links as Octave's MinGW build links a
# module (a DLL, every symbol exported, the C++ runtime as shared DLLs)
# against the stand-in libraries instead of Octave's.
#   mkoctfile_mingw.sh -p VARIABLE
#   mkoctfile_mingw.sh --mex -c [OPTIONS] SOURCE -o OBJECT
#   mkoctfile_mingw.sh --mex -o MODULE OBJECTS... [OPTIONS]
# Set by the caller: MKOCTFILE_SHIM_INCLUDE (the stand-in mex.h's folder),
# MKOCTFILE_SHIM_LIBS (the stand-in import libraries); optionally
# MKOCTFILE_SHIM_LOG (a file that receives every command run) and
# MKOCTFILE_SHIM_OLD_ASSEMBLER=1 (fail as an assembler older than binutils
# 2.38 does on -muse-unaligned-vector-move).
set -euo pipefail
cxx=x86_64-w64-mingw32-g++-posix
cc=x86_64-w64-mingw32-gcc-posix
defaultFlags="-g -O2"

if [[ ${1-} == -p ]]; then
    case ${2-} in
        CXX) echo "$cxx" ;;
        CC) echo "$cc" ;;
        CXXFLAGS | CFLAGS) echo "$defaultFlags" ;;
        *) echo ;;
    esac
    exit 0
fi
if [[ ${1-} != --mex ]]; then
    echo "mkoctfile_mingw.sh: only --mex builds are supported" >&2
    exit 1
fi
shift

compileOnly=no output= source= arguments=()
while (($#)); do
    case $1 in
        -c) compileOnly=yes ;;
        -o) output=$2; shift ;;
        *.c | *.cpp) source=$1; arguments+=("$1") ;;
        *) arguments+=("$1") ;;
    esac
    shift
done

if [[ $compileOnly == yes ]]; then
    if [[ $source == *.c ]]; then
        read -ra command <<< "$cc ${CFLAGS:-$defaultFlags}"
    else
        read -ra command <<< "$cxx ${CXXFLAGS:-$defaultFlags}"
    fi
    command+=("-I$MKOCTFILE_SHIM_INCLUDE" -c "${arguments[@]}" -o "$output")
else
    read -ra libraries <<< "$MKOCTFILE_SHIM_LIBS"
    command=("$cxx" -shared -Wl,--export-all-symbols -Wl,--enable-auto-import
             -Wl,--enable-runtime-pseudo-reloc -o "$output" "${arguments[@]}" "${libraries[@]}")
fi
[[ -z ${MKOCTFILE_SHIM_LOG-} ]] || echo "${command[*]}" >> "$MKOCTFILE_SHIM_LOG"
if [[ ${MKOCTFILE_SHIM_OLD_ASSEMBLER-} == 1 && " ${command[*]} " == *-muse-unaligned-vector-move* ]]; then
    echo "as: unrecognized option '-muse-unaligned-vector-move'" >&2
    exit 1
fi
exec "${command[@]}"
