#!/usr/bin/env bash
# Makes tarvenloch-<version>.tar.gz in Octave's package layout in OUTDIR.
#   tools/make_octave_package.sh OUTDIR
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "$1" && cd "$1" && pwd)
version=$(head -n 1 "$top/VERSION")
name=tarvenloch-$version
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
package=$stage/$name
mkdir -p "$package/src"

sed -e "s/@VERSION@/$version/" -e "s/@DATE@/$(date -u +%Y-%m-%d)/" \
    "$top/packaging/octave/DESCRIPTION.in" > "$package/DESCRIPTION"
cp "$top/packaging/octave/INDEX" "$top/packaging/octave/post_install.m" "$top/COPYING" "$package/"
# The help files stay out of inst/: post_install puts them beside the modules.
for module in tarvenloch tarvenloch_batch; do
    sed -e "s/@TARVENLOCH_VERSION@/$version/" "$top/mex/$module.m.in" > "$package/$module.m"
done
cp "$top/packaging/octave/Makefile" \
   "$top"/mex/{gateway.cpp,batch_gateway.cpp,inputs.h,api_version.c,export.h,exports.map} \
   "$top"/solver/{tarvenloch.h,internal.h,grid.h,bound.h,minimize.cpp,sort.cpp,drop.cpp,prune.cpp,settled.cpp,scan.cpp,scan_vector.cpp} \
   "$top"/solver/{batch.h,batch.cpp,threads.h,threads.cpp} \
   "$package/src/"
tar -C "$stage" -czf "$out/$name.tar.gz" "$name"
echo "$out/$name.tar.gz"
