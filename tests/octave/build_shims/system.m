% Records every mkoctfile command with the compiler flags in the
% environment, in build_shim.commands, and answers without compiling: the
% flags when asked for them, else the file after -o, made empty. Other
% commands (copyfile's, for example) run.
function [status, output] = system (command)
  global build_shim
  if (isempty (strfind (command, "mkoctfile")))
    [status, output] = builtin ("system", command);
    return;
  end
  build_shim.commands(end + 1, :) = {command, getenv("CXXFLAGS"), getenv("CFLAGS")};
  status = 0;
  output = "";
  if (isempty (strfind (command, " -p ")))
    file = regexp (command, '-o "([^"]+)"', "tokens", "once");
    fclose (fopen (file{1}, "w"));
  else
    output = "-O2";
  end
end
