% tarvenloch_build.m's decisions, with stand-ins for the tools it drives
% (build_shims/): its MATLAB branch with a mex that reports GCC on Linux,
% MinGW-w64 or MSVC on Windows, and its Octave branch's commands. Nothing is
% compiled. Run with test("build_script_test").
function build_script_test ()
end

%!function calls = matlab_build (shortName, arch, old)
%!  global build_shim
%!  warning ("off", "Octave:shadowed-function", "local");
%!  here = fileparts (which ("build_script_test"));
%!  shims = fullfile (here, "build_shims");
%!  addpath (shims, fileparts (fileparts (here)));
%!  build_shim = struct ("matlab", true, "arch", arch, "old", old, "calls", {{}},
%!                       "config", struct ("ShortName", shortName, "Name", "C++ compiler"));
%!  out = tempname ();
%!  unwind_protect
%!    evalc ("tarvenloch_build (out);");
%!    assert (exist (fullfile (out, "tarvenloch.m"), "file"), 2);
%!    assert (exist (fullfile (out, "tarvenloch_batch.m"), "file"), 2);
%!    calls = build_shim.calls;
%!  unwind_protect_cleanup
%!    build_shim.matlab = false;
%!    clear -global build_shim;
%!    rmpath (shims);
%!    confirm_recursive_rmdir (false, "local");
%!    rmdir (out, "s");
%!  end_unwind_protect
%!endfunction

## The mex call that compiles this file (by name), or {} when none does.
%!function call = compiling (calls, file)
%!  call = {};
%!  for i = 1:numel (calls)
%!    [~, name, extension] = fileparts (calls{i}{end});
%!    if (any (strcmp (calls{i}, "-c")) && strcmp ([name extension], file))
%!      call = calls{i};
%!    end
%!  end
%!endfunction

%!function yes = has (call, text)
%!  yes = ! isempty (strfind (strjoin (call, " "), text));
%!endfunction

## What every configuration must do: no fused multiply-add in any file, a
## link of each module with its gateway as a source so that it is a C++
## link, and no interface-version function of the project's own.
%!function check_common (calls, fpFlag)
%!  links = calls(! cellfun (@(call) any (strcmp (call, "-c")), calls));
%!  assert (numel (links), 2);
%!  modules = {"tarvenloch", "gateway.cpp"; "tarvenloch_batch", "batch_gateway.cpp"};
%!  for m = 1:rows (modules)
%!    link = links{m};
%!    assert (link{find (strcmp (link, "-output")) + 1}, modules{m, 1});
%!    [~, name, extension] = cellfun (@fileparts, link, "uniformoutput", false);
%!    assert (any (strcmp (strcat (name, extension), modules{m, 2})), "a link has no C++ source");
%!    assert (isempty (compiling (calls, modules{m, 2})), "a gateway is compiled twice");
%!  endfor
%!  for i = 1:numel (calls)
%!    assert (any (strcmp (calls{i}, "-R2017b")));
%!    assert (has (calls{i}, fpFlag));
%!    assert (! has (calls{i}, "api_version"));
%!  end
%!endfunction

%!test  # GCC on Linux: every vector scan, with no Windows-only flag
%! calls = matlab_build ("g++", "glnxa64", false);
%! check_common (calls, "-ffp-contract=off");
%! assert (has (compiling (calls, "scan_avx2.cpp"), "-mavx2"));
%! assert (has (compiling (calls, "scan_avx512.cpp"), "-mavx512f"));
%! assert (has (compiling (calls, "scan.cpp"), "-DTARVENLOCH_X86_SCANS"));
%! assert (! any (cellfun (@(call) has (call, "unaligned") || has (call, "SSE2_SCAN_ONLY"), calls)));

%!test  # MinGW-w64: the wide scans only with unaligned vector moves
%! calls = matlab_build ("mingw64", "win64", false);
%! check_common (calls, "-ffp-contract=off");
%! unaligned = "-Wa,-muse-unaligned-vector-move";
%! assert (has (compiling (calls, "scan_avx2.cpp"), ["-mavx2 " unaligned]));
%! assert (has (compiling (calls, "scan_avx512.cpp"), ["-mavx512f " unaligned]));
%! for file = {"scan_sse2.cpp", "scan.cpp", "minimize.cpp"}
%!   assert (! has (compiling (calls, file{1}), unaligned), file{1});
%! end
%! assert (! any (cellfun (@(call) has (call, "SSE2_SCAN_ONLY"), calls)));

%!test  # MinGW-w64 whose assembler lacks the option: the SSE2 scan only
%! calls = matlab_build ("mingw64", "win64", true);
%! check_common (calls, "-ffp-contract=off");
%! assert (isempty (compiling (calls, "scan_avx2.cpp")) && isempty (compiling (calls, "scan_avx512.cpp")));
%! assert (has (compiling (calls, "scan_sse2.cpp"), "-DSCAN_NAME=scanSse2"));
%! assert (has (compiling (calls, "scan.cpp"), "-DTARVENLOCH_X86_SCANS -DTARVENLOCH_SSE2_SCAN_ONLY"));
%! assert (has (calls{end}, "-DTARVENLOCH_SSE2_SCAN_ONLY"));

%!test  # MSVC: precise floating point, no vector scans (they need GCC or Clang)
%! calls = matlab_build ("MSVCPP170", "win64", false);
%! check_common (calls, "COMPFLAGS=$COMPFLAGS /fp:precise");
%! assert (isempty (compiling (calls, "scan_sse2.cpp")));
%! assert (! any (cellfun (@(call) has (call, "CXXFLAGS") || has (call, "X86_SCANS"), calls)));

%!test  # Octave: the flags go through the environment (cmd.exe, which runs
%!      # system() on Windows, knows no VAR=value prefix) and are put back
%! global build_shim
%! warning ("off", "Octave:shadowed-function", "local");
%! here = fileparts (which ("build_script_test"));
%! shims = fullfile (here, "build_shims");
%! addpath (shims, fileparts (fileparts (here)));
%! build_shim = struct ("matlab", false, "commands", {cell(0, 3)});
%! before = {getenv("CXXFLAGS"), getenv("CFLAGS")};
%! out = tempname ();
%! unwind_protect
%!   evalc ("tarvenloch_build (out);");
%!   commands = build_shim.commands;
%! unwind_protect_cleanup
%!   clear -global build_shim;
%!   rmpath (shims);
%!   confirm_recursive_rmdir (false, "local");
%!   rmdir (out, "s");
%! end_unwind_protect
%! assert ({getenv("CXXFLAGS"), getenv("CFLAGS")}, before);
%! assert (all (strncmp (commands(:, 1), '"', 1)), "a command does not start with the program");
%! compiles = commands(! cellfun ("isempty", strfind (commands(:, 1), " -c ")), :);
%! assert (rows (compiles), 14);  # two gateways, eight solver files, api_version.c, three scans
%! for i = 1:rows (compiles)
%!   column = 2 + ! isempty (regexp (compiles{i, 1}, '\.c" -o', "once"));
%!   assert (! isempty (strfind (compiles{i, column}, "-ffp-contract=off")), compiles{i, 1});
%! end
