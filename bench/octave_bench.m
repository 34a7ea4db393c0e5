% OCTAVE_BENCH  Calls per second of the module and of the same computation
% written in Octave's language (tarvenloch_literal), in one session; then
% one tarvenloch_batch call against a loop of single calls.
%
%   octave_bench (file)         also writes "n module literal" rows to file.
%   octave_bench (file, batch)  and "K n loop sliced batch" seconds to batch.
function octave_bench (file, batch_file)
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

  % K problems of n terms, column i of P and Q holding problem i's terms,
  % solved by one batch call and by the loop a user would otherwise write:
  % u(i) = tarvenloch (a(i), b, P(:, i), Q(:, i), n). The loop over the
  % same P and Q passed whole, which saves Octave the copy of each column,
  % is timed too. Best of five.
  K = 20000; n = 10;
  rand ("seed", 1); randn ("seed", 1);
  P = 4 * randn (n, K); Q = 8 * randn (n, K); a = randn (1, K); b = 1.3;
  p = P(:, 1); q = Q(:, 1);
  U = tarvenloch_batch (a, b, P, Q, n);
  sliced = inf; whole = inf; batch = inf;
  for trial = 1:5
    u = zeros (1, K);
    start = tic ();
    for i = 1:K
      u(i) = tarvenloch (a(i), b, P(:, i), Q(:, i), n);
    end
    sliced = min (sliced, toc (start));
    assert (typecast (u, "uint64"), typecast (U, "uint64"));
    start = tic ();
    for i = 1:K
      u(i) = tarvenloch (a(i), b, p, q, n);
    end
    whole = min (whole, toc (start));
    start = tic ();
    U = tarvenloch_batch (a, b, P, Q, n);
    batch = min (batch, toc (start));
  end
  printf ("\nK = %d problems, n = %d: one batch call against a loop of single calls\n", K, n);
  printf ("  loop, columns sliced   %8.2f ms   %6.1fx the batch\n", 1e3 * sliced, sliced / batch);
  printf ("  loop, P and Q whole    %8.2f ms   %6.1fx the batch\n", 1e3 * whole, whole / batch);
  printf ("  batch (%d threads)      %8.2f ms\n", nproc (), 1e3 * batch);
  if nargin > 1
    dlmwrite (batch_file, [K, n, sliced, whole, batch], " ");
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
