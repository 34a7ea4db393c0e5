% OCTAVE_BENCH  Calls per second of the module and of the same computation
% written in Octave's language (tarvenloch_literal), in one session.
%
%   octave_bench (file)   also writes "n module literal" rows to file.
function octave_bench (file)
  sizes = [10, 100, 1000];
  rows = zeros (numel (sizes), 3);
  printf ("\n%-6s %18s %18s %8s\n", "n", "module calls/s", "Octave calls/s", "ratio");
  for i = 1:numel (sizes)
    n = sizes(i);
    rand ("seed", n); randn ("seed", n);
    p = 4 * randn (1, n); q = 8 * randn (1, n); a = 0.5; b = 1.3;
    assert (tarvenloch (a, b, p, q, n), tarvenloch_literal (a, b, p, q, n));
    module = rate (@() tarvenloch (a, b, p, q, n));
    literal = rate (@() tarvenloch_literal (a, b, p, q, n));
    rows(i, :) = [n, module, literal];
    printf ("%-6d %18.0f %18.1f %7.0fx\n", n, module, literal, module / literal);
  end
  if nargin > 0
    dlmwrite (file, rows, " ");
  end
end

% Calls per second, over batches of calls until half a second has passed;
% the best of three such measurements.
function calls = rate (f)
  calls = 0;
  for trial = 1:3
    count = 0;
    start = tic ();
    while toc (start) < 0.5
      for k = 1:10
        f ();
      end
      count += 10;
    end
    calls = max (calls, count / toc (start));
  end
end
