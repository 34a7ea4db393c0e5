% RUN_CALLS  Runs a file of module calls in Octave, as `mexhost-run MODULE
% --calls FILE` runs them in the stand-in host, and writes each outcome in
% the same form, one line per call: "ok" and the bits of every element of
% the output, or "error IDENTIFIER". The two outputs of one file must then
% be equal line for line.
%
%   run_calls(module_name, calls_file, output_file)
function run_calls(module_name, calls_file, output_file)
  module = str2func(module_name);
  lines = strsplit(fileread(calls_file), "\n");
  out = fopen(output_file, "w");
  unwind_protect
    for i = 1:numel(lines)
      fields = strsplit(strtrim(lines{i}), " ");
      if isempty(fields{1})
        continue;
      end
      nlhs = str2double(fields{1});
      inputs = cell(1, str2double(fields{2}));
      at = 3;
      for k = 1:numel(inputs)
        shape = str2double(fields(at:at + 4));   % class, rows, columns, complex, sparse
        count = shape(2) * shape(3);
        values = zeros(shape(2), shape(3));
        if count > 0
          values(:) = hex2num(fields(at + 5:at + 4 + count));
        end
        inputs{k} = make_array(shape(1), values, shape(4), shape(5));
        at += 5 + count;
      end
      try
        outputs = cell(1, max(nlhs, 1));
        if nlhs == 0
          module(inputs{:});
          outputs{1} = ans;
        else
          [outputs{:}] = module(inputs{:});
        end
        line = "ok";
        if ! isempty(outputs{1})
          line = [line, sprintf(" %s", cellstr(num2hex(outputs{1}(:))){:})];
        end
        fprintf(out, "%s\n", line);
      catch err
        fprintf(out, "error %s\n", err.identifier);
      end
    end
  unwind_protect_cleanup
    fclose(out);
  end_unwind_protect
end

% The class codes of the calls file: 0 double, 1 single, 2 int32, 3 logical,
% 4 char, 5 cell.
function array = make_array(class_code, values, is_complex, is_sparse)
  switch class_code
    case 0
      array = values;
    case 1
      array = single(values);
    case 2
      array = int32(values);
    case 3
      array = logical(values);
    case 4
      array = char(values);
    otherwise
      array = cell(size(values));
  end
  if is_complex
    array = complex(array, zeros(size(array), class(array)));
  end
  if is_sparse
    array = sparse(array);
  end
end
