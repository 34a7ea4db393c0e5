#!/usr/bin/env bash
# Unpacks the release archive into an empty folder and calls the Linux
# modules from there in the stand-in host: a worked example and an error.
# The archive must hold exactly the expected files (the 8 modules: Linux,
# Windows, macOS on Apple silicon and on Intel, each tarvenloch and
# tarvenloch_batch), and its licence must be the repository's.
#   tests/dist_test.sh ARCHIVE HOST_BUILD SOURCE_DIR
set -euo pipefail
archive=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
host=$(cd "$2" && pwd)
source=$(cd "$3" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
cmake -E tar xf "$archive"
folder=$(basename "$archive" .zip)

found=$(find . -type f | LC_ALL=C sort | tr '\n' ' ')
expected=""
for file in LICENSE README.md tarvenloch.m tarvenloch.mexa64 tarvenloch.mexmaca64 \
    tarvenloch.mexmaci64 tarvenloch.mexw64 tarvenloch_batch.m tarvenloch_batch.mexa64 \
    tarvenloch_batch.mexmaca64 tarvenloch_batch.mexmaci64 tarvenloch_batch.mexw64; do
    expected+="./$folder/$file "
done
[[ $found == "$expected" ]] || { echo "FAIL: the archive holds $found" >&2; exit 1; }
cmp "$folder/LICENSE" "$source/LICENSE"
cmp "$source/LICENSE" "$source/COPYING"

# u = tarvenloch(0.3, 1, 1, -2, 1) is -0.7; four inputs are an error.
one="0 1 1 0 0 3ff0000000000000" minus_two="0 1 1 0 0 c000000000000000"
printf '%s\n' "1 5 0 1 1 0 0 3fd3333333333333 $one $one $minus_two $one" \
    "1 4 0 1 1 0 0 3fd3333333333333 $one $one $minus_two" > calls.txt
"$host/mexhost/mexhost-run" "$folder/tarvenloch.mexa64" --calls calls.txt > results.txt
printf 'ok bfe6666666666666\nerror tarvenloch:notEnoughInputs\n' | diff - results.txt
# U = tarvenloch_batch([0.3 0.3], 1, 1, -2, 1) is [-0.7 -0.7].
printf '%s\n' "1 5 0 1 2 0 0 3fd3333333333333 3fd3333333333333 $one $one $minus_two $one" > calls.txt
"$host/mexhost/mexhost-run" "$folder/tarvenloch_batch.mexa64" --calls calls.txt > results.txt
echo 'ok bfe6666666666666 bfe6666666666666' | diff - results.txt
echo "dist test passed: $(basename "$archive") unpacked and both modules called from $folder"
