% Stands in for MATLAB's mex command and mex.getCompilerConfigurations, so
% that tarvenloch_build.m's MATLAB branch can run in Octave: records every
% call in the global build_shim.calls and makes the file it would have
% made, named as MATLAB names it on build_shim.arch. With build_shim.old
% set, fails as an assembler that lacks -muse-unaligned-vector-move does.
classdef mex
  methods
    function self = mex (varargin)
      global build_shim
      build_shim.calls{end + 1} = varargin;
      if (build_shim.old && any (! cellfun ("isempty", strfind (varargin, "-muse-unaligned-vector-move"))))
        error ("mex:compileFailed", "as: unrecognized option '-muse-unaligned-vector-move'");
      end
      outdir = varargin{find (strcmp (varargin, "-outdir")) + 1};
      if (any (strcmp (varargin, "-c")))
        [~, name] = fileparts (varargin{end});
        if (strcmp (build_shim.arch, "win64"))
          file = [name ".obj"];
        else
          file = [name ".o"];
        end
      else
        extensions = struct ("glnxa64", "mexa64", "win64", "mexw64", "maci64", "mexmaci64");
        file = [varargin{find(strcmp (varargin, "-output")) + 1} "." extensions.(build_shim.arch)];
      end
      fclose (fopen (fullfile (outdir, file), "w"));
    end
  end
  methods (Static)
    function config = getCompilerConfigurations (language, which)
      global build_shim
      assert (strcmp (language, "C++") && strcmp (which, "Selected"));
      config = build_shim.config;
    end
  end
end
