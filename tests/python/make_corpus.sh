#!/usr/bin/env bash
# Makes the stored corpus that the Python package is checked against: calls
# of the MEX modules from tests/make_calls (worked examples, unsafe calls
# and random problems with awkward values), and the Octave modules' results
# on them, one line per call as tests/octave/run_calls.m writes them.
#   tests/python/make_corpus.sh BUILD      (after make build)
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
out=$here/corpus
mkdir -p "$out"
# Calls of at most 20,000 characters keep the corpus small.
"$build/tests/make_calls" 400 31 | awk 'length($0) <= 20000' > "$out/single.calls"
"$build/tests/make_calls" 60 32 batch | awk 'length($0) <= 20000' > "$out/batch.calls"
for name in single batch; do
    module=tarvenloch
    [[ $name == batch ]] && module=tarvenloch_batch
    (cd "$build/octave" && octave-cli --norc --no-history --eval \
        "addpath('$here/../octave'); run_calls('$module', '$out/$name.calls', '$out/$name.results')")
done
wc -l "$out"/*
