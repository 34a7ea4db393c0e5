function out = tarvenloch_build(out)
% TARVENLOCH_BUILD  Build the tarvenloch module with MATLAB's or Octave's mex.
%
%   tarvenloch_build          builds into build/module beside this file
%   tarvenloch_build(folder)  builds into folder
%   folder = tarvenloch_build(...) returns the folder
%
%   The folder then holds the modules tarvenloch and tarvenloch_batch with
%   their help files; add it to the path with addpath(folder). Everything is
%   compiled without fused multiply-add contraction, so results agree to the
%   bit with every other build. In MATLAB the module uses the R2017b (64-bit array) interface, and
%   MATLAB's mex supplies mexfilerequiredapiversion itself.

root = fileparts(mfilename('fullpath'));
if nargin < 1
    out = fullfile(root, 'build', 'module');
end
if ~exist(out, 'dir')
    mkdir(out);
end
objects = fullfile(out, 'obj');
if ~exist(objects, 'dir')
    mkdir(objects);
end
version = strtrim(fileread(fullfile(root, 'VERSION')));
isOctave = exist('OCTAVE_VERSION', 'builtin') ~= 0;
solver = fullfile(root, 'solver');
gatewayDir = fullfile(root, 'mex');
% The modules, each with its gateway source (and its help file NAME.m.in in
% mex/); all link the same solver objects.
modules = {'tarvenloch', fullfile(gatewayDir, 'gateway.cpp'); ...
           'tarvenloch_batch', fullfile(gatewayDir, 'batch_gateway.cpp')};

% The toolchain. Octave for Windows is built with MinGW-w64. MATLAB names its
% MinGW-w64 configuration 'mingw64' or 'mingw64-g++' in ShortName, and
% 'MinGW64 Compiler (C++)' in Name: a match in either counts, and on win64
% every configuration that is not MSVC is MinGW-w64 in any case.
if isOctave
    msvc = false;
    mingw = ispc();
    x86 = ~isempty(strfind(computer(), 'x86_64'));
else
    arch = computer('arch');
    config = mex.getCompilerConfigurations('C++', 'Selected');
    msvc = ~isempty(config) && strncmpi(config.ShortName, 'MSVC', 4);
    mingw = ~msvc && (strcmp(arch, 'win64') || ...
                      (~isempty(config) && ~isempty(regexpi([config.ShortName ' ' config.Name], 'mingw', 'once'))));
    x86 = any(strcmp(arch, {'glnxa64', 'win64', 'maci64'}));
end
% The vector scans need GCC or Clang on x86-64.
vectorScans = x86 && ~msvc;
build = struct('objects', objects, 'isOctave', isOctave, 'msvc', msvc, 'solver', solver, ...
               'gatewayDir', gatewayDir, 'defines', {{}});

levels = {'Sse2', '16', ''; 'Avx2', '32', '-mavx2'; 'Avx512', '64', '-mavx512f'};
if vectorScans
    build.defines = {'-DTARVENLOCH_X86_SCANS'};
    if mingw
        % Windows aligns the stack to 16 bytes only, but GCC spills 32- and
        % 64-byte vectors with aligned moves (GCC bug 54412): the assembler
        % must make every vector move an unaligned one. Assemblers older than
        % binutils 2.38 do not know the option; with those only the SSE2 scan
        % is built.
        unaligned = '-Wa,-muse-unaligned-vector-move';
        if compiles(build, unaligned)
            levels(2:end, 3) = strcat(levels(2:end, 3), {[' ' unaligned]});
        else
            fprintf('tarvenloch_build: the assembler lacks %s: building the SSE2 scan only\n', unaligned);
            levels = levels(1, :);
            build.defines{end + 1} = '-DTARVENLOCH_SSE2_SCAN_ONLY';
        end
    end
end

sources = cellfun(@(file) fullfile(solver, file), ...
                  {'minimize.cpp', 'sort.cpp', 'drop.cpp', 'prune.cpp', 'settled.cpp', 'scan.cpp', ...
                   'batch.cpp', 'threads.cpp'}, 'UniformOutput', false);
if isOctave
    % Octave's mex adds no interface-version function of its own.
    sources{end + 1} = fullfile(gatewayDir, 'api_version.c');
end
built = {};
for i = 1:numel(sources)
    built{end + 1} = compile(build, sources{i}, {}, ''); %#ok<AGROW>
end
if vectorScans
    for i = 1:size(levels, 1)
        copy = fullfile(objects, ['scan_' lower(levels{i, 1}) '.cpp']);
        copyfile(fullfile(solver, 'scan_vector.cpp'), copy);
        built{end + 1} = compile(build, copy, {['-DSCAN_NAME=scan' levels{i, 1}], ...
                                               ['-DSCAN_BYTES=' levels{i, 2}]}, levels{i, 3}); %#ok<AGROW>
    end
end

for m = 1:size(modules, 1)
    [name, gateway] = modules{m, :};
    if isOctave
        % Octave's mkoctfile for MinGW-w64 links with --export-all-symbols;
        % --exclude-all-symbols leaves only the dllexport entry points. The
        % batch starts its threads with pthread_create, but on Windows with
        % CreateThread, which needs no library.
        linkFlags = '-pthread';
        if mingw
            linkFlags = '-Wl,--exclude-all-symbols';
        end
        linked = [{compile(build, gateway, {}, '')}, built];
        status = system(sprintf('"%s" --mex -o "%s" %s%s', mkoctfile_path(), fullfile(out, [name '.mex']), ...
                                sprintf('"%s" ', linked{:}), linkFlags));
        if status ~= 0
            error('tarvenloch:buildFailed', 'tarvenloch_build: linking %s failed', name);
        end
    else
        % The gateway goes in as a source, so that mex links with its C++
        % configuration and the C++ runtime; with objects only it may link as C.
        flags = matlab_flags(msvc, '');
        mex('-R2017b', ['-I' solver], ['-I' gatewayDir], flags{:}, build.defines{:}, '-output', name, ...
            '-outdir', out, gateway, built{:});
    end

    % The help file, with the version filled in, beside the module.
    help = fileread(fullfile(gatewayDir, [name '.m.in']));
    help = strrep(help, '@TARVENLOCH_VERSION@', version);
    file = fopen(fullfile(out, [name '.m']), 'w');
    fwrite(file, help);
    fclose(file);
end
fprintf('tarvenloch %s built in %s\nadd it to the path with: addpath(''%s'')\n', version, out, out);
end

function object = compile(build, source, extraDefines, extraFlag)
% Compiles one source into build.objects; raises tarvenloch:buildFailed.
[~, name, extension] = fileparts(source);
if build.isOctave
    object = fullfile(build.objects, [name '.o']);
    if strcmp(extension, '.c')
        variable = 'CFLAGS';
    else
        variable = 'CXXFLAGS';
    end
    [~, base] = system(sprintf('"%s" -p %s', mkoctfile_path(), variable));
    flags = [strtrim(base) ' -ffp-contract=off -fvisibility=hidden ' extraFlag];
    if strcmp(extension, '.cpp')
        flags = [flags ' -std=c++17'];
    end
    % Through the environment: Octave's system() runs cmd.exe on Windows,
    % which knows no VAR=value prefix.
    previous = getenv(variable);
    setenv(variable, flags);
    status = system(sprintf('"%s" --mex -c -I"%s" -I"%s" %s "%s" -o "%s"', mkoctfile_path(), build.solver, ...
                            build.gatewayDir, strjoin([build.defines, extraDefines], ' '), source, object));
    if isempty(previous)
        unsetenv(variable);
    else
        setenv(variable, previous);
    end
    if status ~= 0
        error('tarvenloch:buildFailed', 'tarvenloch_build: compiling %s failed', source);
    end
else
    flags = matlab_flags(build.msvc, extraFlag);
    try
        mex('-c', '-R2017b', '-outdir', build.objects, ['-I' build.solver], ['-I' build.gatewayDir], flags{:}, ...
            build.defines{:}, extraDefines{:}, source);
    catch cause
        error('tarvenloch:buildFailed', 'tarvenloch_build: compiling %s failed: %s', source, cause.message);
    end
    listing = dir(fullfile(build.objects, [name '.o*']));
    object = fullfile(build.objects, listing(1).name);
end
end

function flags = matlab_flags(msvc, extraFlag)
% The compiler flags for MATLAB's mex: no fused multiply-add, hidden symbols.
if msvc
    flags = {'COMPFLAGS=$COMPFLAGS /fp:precise /std:c++17'};
else
    flags = {['CXXFLAGS=$CXXFLAGS -std=c++17 -ffp-contract=off -fvisibility=hidden ' extraFlag], ...
             'CFLAGS=$CFLAGS -ffp-contract=off -fvisibility=hidden'};
end
end

function ok = compiles(build, flag)
% Whether a small C++ file compiles with this flag added.
probe = fullfile(build.objects, 'flag_probe.cpp');
file = fopen(probe, 'w');
fprintf(file, 'int flag_probe;\n');
fclose(file);
try
    compile(build, probe, {}, flag);
    ok = true;
catch
    ok = false;
end
end

function path = mkoctfile_path()
% The mkoctfile that belongs to the running Octave.
path = fullfile(OCTAVE_HOME(), 'bin', 'mkoctfile');
if ~exist(path, 'file') && ~exist([path '.exe'], 'file')
    path = 'mkoctfile';
end
end
