% MATLAB's architecture names (build_shim.arch) for computer("arch").
function result = computer (varargin)
  global build_shim
  if (nargin == 1 && strcmp (varargin{1}, "arch"))
    result = build_shim.arch;
  else
    result = __octave_config_info__ ("canonical_host_type");
  end
end
