#!/usr/bin/env bash
# Makes the release archive for MATLAB users, OUTDIR/tarvenloch-<version>-mex.zip:
# the Linux, Windows and macOS (Apple silicon and Intel) modules exactly as
# built, their help files beside them, a short README and the licence, in
# one folder. The modules' tables are checked first, so that no module with
# a wrong import or export is packed.
#   tools/make_dist.sh LINUX_BUILD WINDOWS_BUILD MACOS_ARM64_BUILD MACOS_X86_64_BUILD OUTDIR
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
linux=$(cd "$1" && pwd)
windows=$(cd "$2" && pwd)
mac_arm=$(cd "$3" && pwd)
mac_intel=$(cd "$4" && pwd)
out=$(mkdir -p "$5" && cd "$5" && pwd)
version=$(head -n 1 "$top/VERSION")
name=tarvenloch-$version-mex
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
folder=$stage/$name
mkdir -p "$folder"

for module in tarvenloch tarvenloch_batch; do
    cp "$linux/standin/$module.mexa64" "$windows/standin/$module.mexw64" \
       "$mac_arm/standin/$module.mexmaca64" "$mac_intel/standin/$module.mexmaci64" "$folder/"
    sed -e "s/@TARVENLOCH_VERSION@/$version/" "$top/mex/$module.m.in" > "$folder/$module.m"
done
sed -e "s/@VERSION@/$version/" "$top/packaging/mex/README.md" > "$folder/README.md"
cp "$top/LICENSE" "$folder/"
bash "$top/tests/release_test.sh" tables "$linux" "$folder"/*.mex{a64,w64,maca64,maci64}

rm -f "$out/$name.zip"
(cd "$stage" && cmake -E tar cf "$out/$name.zip" --format=zip "$name")
echo "$out/$name.zip"
