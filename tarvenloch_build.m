function out = tarvenloch_build(out)
% TARVENLOCH_BUILD  Build the tarvenloch module with MATLAB's or Octave's mex.
%
%   tarvenloch_build          builds into build/module beside this file
%   tarvenloch_build(folder)  builds into folder
%   folder = tarvenloch_build(...) returns the folder
%
%   The folder then holds the module and its help file tarvenloch.m; add it
%   to the path with addpath(folder). Everything is compiled without fused
%   multiply-add contraction, so results agree to the bit with every other
%   build. In MATLAB the module uses the R2017b (64-bit array) interface, and
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

msvc = false;
if ~isOctave
    config = mex.getCompilerConfigurations('C++', 'Selected');
    msvc = ~isempty(config) && strncmpi(config.ShortName, 'MSVC', 4);
end
% The vector scans need GCC or Clang on x86-64.
if isOctave
    x86 = ~isempty(strfind(computer(), 'x86_64'));
else
    x86 = any(strcmp(computer('arch'), {'glnxa64', 'win64', 'maci64'}));
end
vectorScans = x86 && ~msvc;

sources = {fullfile(gatewayDir, 'gateway.cpp'), fullfile(solver, 'minimize.cpp'), ...
           fullfile(solver, 'sort.cpp'), fullfile(solver, 'scan.cpp')};
if isOctave
    % Octave's mex adds no interface-version function of its own.
    sources{end + 1} = fullfile(gatewayDir, 'api_version.c');
end
defines = {};
if vectorScans
    defines = {'-DTARVENLOCH_X86_SCANS'};
end

built = {};
for i = 1:numel(sources)
    built{end + 1} = compile(sources{i}, {}, '', objects, defines, isOctave, msvc, solver, gatewayDir); %#ok<AGROW>
end
if vectorScans
    levels = {'Sse2', '16', ''; 'Avx2', '32', '-mavx2'; 'Avx512', '64', '-mavx512f'};
    for i = 1:size(levels, 1)
        copy = fullfile(objects, ['scan_' lower(levels{i, 1}) '.cpp']);
        copyfile(fullfile(solver, 'scan_vector.cpp'), copy);
        built{end + 1} = compile(copy, {['-DSCAN_NAME=scan' levels{i, 1}], ['-DSCAN_BYTES=' levels{i, 2}]}, ...
                                 levels{i, 3}, objects, defines, isOctave, msvc, solver, gatewayDir); %#ok<AGROW>
    end
end

if isOctave
    status = system(sprintf('"%s" --mex -o "%s" %s', mkoctfile_path(), fullfile(out, 'tarvenloch.mex'), ...
                            sprintf('"%s" ', built{:})));
    if status ~= 0
        error('tarvenloch:buildFailed', 'tarvenloch_build: linking failed');
    end
else
    mex('-R2017b', '-output', 'tarvenloch', '-outdir', out, built{:});
end

% The help file, with the version filled in, beside the module.
help = fileread(fullfile(gatewayDir, 'tarvenloch.m.in'));
help = strrep(help, '@TARVENLOCH_VERSION@', version);
file = fopen(fullfile(out, 'tarvenloch.m'), 'w');
fwrite(file, help);
fclose(file);
fprintf('tarvenloch %s built in %s\nadd it to the path with: addpath(''%s'')\n', version, out, out);
end

function object = compile(source, extraDefines, extraFlag, objects, defines, isOctave, msvc, solver, gatewayDir)
[~, name, extension] = fileparts(source);
if isOctave
    object = fullfile(objects, [name '.o']);
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
    command = sprintf('%s="%s" "%s" --mex -c -I"%s" -I"%s" %s "%s" -o "%s"', variable, flags, ...
                      mkoctfile_path(), solver, gatewayDir, strjoin([defines, extraDefines], ' '), ...
                      source, object);
    if system(command) ~= 0
        error('tarvenloch:buildFailed', 'tarvenloch_build: compiling %s failed', source);
    end
else
    if msvc
        flags = {'COMPFLAGS=$COMPFLAGS /fp:precise /std:c++17'};
    else
        flags = {['CXXFLAGS=$CXXFLAGS -std=c++17 -ffp-contract=off -fvisibility=hidden ' extraFlag], ...
                 'CFLAGS=$CFLAGS -ffp-contract=off -fvisibility=hidden'};
    end
    mex('-c', '-R2017b', '-outdir', objects, ['-I' solver], ['-I' gatewayDir], flags{:}, ...
        defines{:}, extraDefines{:}, source);
    listing = dir(fullfile(objects, [name '.o*']));
    object = fullfile(objects, listing(1).name);
end
end

function path = mkoctfile_path()
% The mkoctfile that belongs to the running Octave.
path = fullfile(OCTAVE_HOME(), 'bin', 'mkoctfile');
if ~exist(path, 'file')
    path = 'mkoctfile';
end
end
