#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds and runs a small C
# program against it with find_package(tarvenloch), and checks that the
# module folder holds both modules and their help files.
#   tests/install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$source/tests/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/consumer"
modules="$work/prefix/share/tarvenloch/mex"
if command -v mkoctfile >/dev/null; then
    test -f "$modules/tarvenloch.mex" && test -f "$modules/tarvenloch.m"
    test -f "$modules/tarvenloch_batch.mex" && test -f "$modules/tarvenloch_batch.m"
    octave-cli --norc --no-history --eval "addpath('$modules'); assert(tarvenloch(2, 1, [1 1], [-1 1], 2), 4);
      assert(tarvenloch_batch([2 3], 1, [1; 1], [-1; 1], 2), [4 5])"
fi
echo "install test passed"
