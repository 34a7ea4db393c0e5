function built = check_modules(folder, corpus, source, out)
% CHECK_MODULES  The modules in a folder against a corpus, bit for bit.
%
%   check_modules(folder, corpus) puts folder on the path and checks that
%   tarvenloch and tarvenloch_batch are the compiled modules there, that
%   they give every problem of the corpus (written by `corpus_check write`,
%   with the x86-64 build's results) the same bits, one call at a time and
%   in batches, and that bad calls raise the documented error identifiers.
%   check_modules(folder, corpus, source, out) then builds both modules from
%   the sources in folder source with tarvenloch_build into folder out (a
%   new temporary folder when out is not given) and checks them the same
%   way; built is that folder.
%
%   Written in the language MATLAB and Octave share: the same file tests
%   the release modules in MATLAB and the Octave modules in Octave. Raises
%   an error on the first check that fails.

problems = read_corpus(corpus);
check_folder(folder, problems);
built = '';
if nargin >= 3
    if nargin < 4
        out = tempname();
    end
    addpath(source);
    built = tarvenloch_build(out);
    check_folder(built, problems);
end
end

function check_folder(folder, problems)
clear('tarvenloch');
clear('tarvenloch_batch');
addpath(folder);
% The compiled module, not its help file (which stands in when the module
% does not load on this platform).
for name = {'tarvenloch', 'tarvenloch_batch'}
    file = [name{1} '.' mexext()];
    found = which(name{1});
    if ~exist(fullfile(folder, file), 'file') || numel(found) < numel(file) || ...
            ~strcmp(found(end - numel(file) + 1:end), file)
        error('check_modules:notFound', '%s is %s, not %s in %s', name{1}, found, file, folder);
    end
end

count = numel(problems);
for i = 1:count
    problem = problems(i);
    u = tarvenloch(problem.a, problem.b, problem.p, problem.q, problem.n);
    expect_bits(u, problem.expected, sprintf('tarvenloch, problem %d', i));
end
chunk = 64;
for first = 1:chunk:count
    group = problems(first:min(first + chunk - 1, count));
    rows = max([group.n, 1]);
    P = zeros(rows, numel(group));
    Q = zeros(rows, numel(group));
    for j = 1:numel(group)
        P(1:group(j).n, j) = group(j).p;
        Q(1:group(j).n, j) = group(j).q;
    end
    U = tarvenloch_batch([group.a], [group.b], P, Q, [group.n]);
    for j = 1:numel(group)
        expect_bits(U(j), group(j).expected, sprintf('tarvenloch_batch, problem %d', first + j - 1));
    end
end

calls = {'tarvenloch:notEnoughInputs', @() tarvenloch(1, 1, 1, 1); ...
         'tarvenloch:invalidScalar', @() tarvenloch('a', 1, 1, 1, 1); ...
         'tarvenloch:invalidCoefficients', @() tarvenloch(1, 1, single(1), 1, 1); ...
         'tarvenloch:tooFewElements', @() tarvenloch(1, 1, [1 2], [1 2], 3); ...
         'tarvenloch:sizeMismatch', @() tarvenloch_batch([1 2], [1 2 3], 1, 1, 1); ...
         'tarvenloch:invalidThreads', @() tarvenloch_batch(1, 1, 1, 1, 1, 0)};
for i = 1:size(calls, 1)
    expect_error(calls{i, 2}, calls{i, 1});
end
expect_error(@two_outputs, 'tarvenloch:tooManyOutputs');
rmpath(folder);
fprintf('%s: %d problems agree bit for bit, one at a time and in batches; %d bad calls raise their errors\n', ...
        folder, count, size(calls, 1) + 1);
end

function two_outputs()
[u, v] = tarvenloch(0.3, 1, 1, -2, 1); %#ok<ASGLU>
end

function expect_bits(u, expected, what)
if ~isa(u, 'double') || ~isequal(size(u), [1 1]) || ...
        typecast(u, 'uint64') ~= typecast(expected, 'uint64')
    error('check_modules:differs', '%s: %s instead of %s', what, ...
          num2hex(u), num2hex(expected));
end
end

function expect_error(call, identifier)
try
    call();
catch err
    if ~strcmp(err.identifier, identifier)
        error('check_modules:wrongError', 'raised %s instead of %s', err.identifier, identifier);
    end
    return;
end
error('check_modules:noError', 'no error raised, expected %s', identifier);
end

% The corpus: for each problem, n (a 32-bit integer and 4 bytes of padding),
% then a, b and the expected result, then p(1:n) and q(1:n), all little-endian.
function problems = read_corpus(corpus)
file = fopen(corpus, 'r');
if file < 0
    error('check_modules:noCorpus', 'cannot open %s', corpus);
end
bytes = fread(file, Inf, '*uint8')';
fclose(file);
problems = struct('n', {}, 'a', {}, 'b', {}, 'expected', {}, 'p', {}, 'q', {});
at = 1;
while at <= numel(bytes)
    n = double(typecast(bytes(at:at + 3), 'int32'));
    values = typecast(bytes(at + 8:at + 31 + 16 * n), 'double');
    problems(end + 1) = struct('n', n, 'a', values(1), 'b', values(2), 'expected', values(3), ...
                               'p', values(4:3 + n), 'q', values(4 + n:3 + 2 * n)); %#ok<AGROW>
    at = at + 32 + 16 * n;
end
end
