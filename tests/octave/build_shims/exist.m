% Hides Octave from tarvenloch_build.m while build_shim.matlab is set.
function result = exist (varargin)
  global build_shim
  if (! isempty (build_shim) && build_shim.matlab && strcmp (varargin{1}, "OCTAVE_VERSION"))
    result = 0;
  else
    result = builtin ("exist", varargin{:});
  end
end
