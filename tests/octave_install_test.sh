#!/usr/bin/env bash
# The two ways an Octave user gets the modules without CMake:
#  - the Octave package, installed with pkg install into a fresh prefix,
#    loaded, called and asked for help;
#  - tarvenloch_build.m, run at the Octave prompt by the script that MATLAB
#    runs on the release modules (tests/matlab/check_modules.m): the Octave
#    modules of BUILD_DIR and then those of tarvenloch_build against a
#    corpus with the x86-64 build's results, and their errors.
#   tests/octave_install_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
version=$(head -n 1 "$source/VERSION")

tarball=$(bash "$source/tools/make_octave_package.sh" "$work/dist")
mkdir -p "$work/prefix"
octave-cli --norc --no-history --eval "
  pkg prefix '$work/prefix' '$work/prefix';
  pkg local_list '$work/prefix/octave_packages';
  pkg install '$tarball';
  pkg load tarvenloch;
  assert (tarvenloch (0.3, 1, 1, -2, 1), 0.3 - 1);
  assert (tarvenloch (2, 1, [1 1], [-1 1], 2), 4);
  [~, file] = fileparts (which ('tarvenloch'));
  text = evalc ('help tarvenloch');
  assert (! isempty (strfind (text, 'tarvenloch $version')), 'help text missing');
  assert (! isempty (strfind (text, 'tarvenloch:tooFewElements')), 'help text missing');
  try
    tarvenloch (1, 1, [1 2], [1 2], 3);
    error ('no error raised');
  catch err
    assert (err.identifier, 'tarvenloch:tooFewElements');
  end_try_catch
  assert (tarvenloch_batch ([2 3], 1, [1; 1], [-1; 1], 2), [4 5]);
  assert (! isempty (strfind (evalc ('help tarvenloch_batch'), 'tarvenloch:sizeMismatch')), ...
          'batch help text missing');
  printf ('package: installed, loaded, called, help shown\n');"
bash "$source/tests/check_exports.sh" "$(find "$work/prefix" -name tarvenloch.mex)" \
    "$(find "$work/prefix" -name tarvenloch_batch.mex)"

"$build/tests/corpus_check" write "$work/corpus.bin" 300 5
octave-cli --norc --no-history --eval "
  addpath ('$source/tests/matlab');
  folder = check_modules ('$build/octave', '$work/corpus.bin', '$source', '$work/module');
  addpath (folder);
  assert (! isempty (strfind (evalc ('help tarvenloch'), 'tarvenloch $version')));
  assert (tarvenloch_batch ([2 3], 1, [1; 1], [-1; 1], 2), [4 5]);
  assert (! isempty (strfind (evalc ('help tarvenloch_batch'), 'tarvenloch $version')));
  printf ('tarvenloch_build: built, called, help shown\n');"
bash "$source/tests/check_exports.sh" "$work/module/tarvenloch.mex" "$work/module/tarvenloch_batch.mex"
echo "octave install test passed"
