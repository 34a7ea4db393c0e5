% Octave shows the help of a compiled function only from a .m file in the
% same folder, but pkg install puts compiled files in a folder of their own.
% This puts the help files there, beside the modules.
function post_install (desc)
  modules = find_module (desc.archprefix);
  if (isempty (modules))
    modules = find_module (desc.dir);
  end
  if (isempty (modules))
    error ("tarvenloch: the installed module was not found under %s", desc.archprefix);
  end
  for help = {"tarvenloch.m", "tarvenloch_batch.m"}
    [status, message] = copyfile (help{1}, modules);
    if (! status)
      error ("tarvenloch: could not install the help file %s: %s", help{1}, message);
    end
  end
end

% The folder under root that holds tarvenloch.mex, or "".
function folder = find_module (root)
  folder = "";
  if (exist (fullfile (root, "tarvenloch.mex"), "file"))
    folder = root;
    return;
  end
  entries = dir (root);
  for i = 1:numel (entries)
    if (entries(i).isdir && ! any (strcmp (entries(i).name, {".", ".."})))
      folder = find_module (fullfile (root, entries(i).name));
      if (! isempty (folder))
        return;
      end
    end
  end
end
