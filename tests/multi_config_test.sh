#!/usr/bin/env bash
# With a generator that builds several configurations in one tree (Ninja
# Multi-Config here; Visual Studio and Xcode do the same), each module still
# lands in its own folder, beside its help file, not in a Release/ below it.
#   tests/multi_config_test.sh SOURCE_DIR
set -euo pipefail
source=$(cd "$1" && pwd)
if ! command -v ninja >/dev/null; then
    echo "SKIPPED: ninja is not installed"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake -S "$source" -B "$work" -G "Ninja Multi-Config" -DTARVENLOCH_TESTS=OFF >/dev/null
outputs=$(ninja -C "$work" -f build-Release.ninja -t targets all | sed 's/:.*//')
status=0
for module in standin/tarvenloch.mexa64 octave/tarvenloch.mex; do
    if grep -qx "$module" <<< "$outputs"; then
        echo "ok: $module"
    else
        echo "FAIL: $module is not built where expected; built: $(grep -E 'tarvenloch\.mex' <<< "$outputs" | tr '\n' ' ')" >&2
        status=1
    fi
done
[[ -f $work/octave/tarvenloch.m ]] || { echo "FAIL: no octave/tarvenloch.m" >&2; status=1; }
exit $status
