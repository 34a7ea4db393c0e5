% PARALLEL_TEST  A batch split into chunks that run in worker processes of
% Octave's parallel package (pararrayfun and parcellfun), joined, must equal
% the single batch bit for bit. The test blocks are the test.
function parallel_test ()
end

%!shared K, a, b, P, Q, n, U, edges
%! pkg load parallel
%! rand ("seed", 3); randn ("seed", 3);
%! K = 2500; rows = 12;
%! P = 3 * randn (rows, K); Q = 5 * randn (rows, K);
%! P(5, 7) = NaN; Q(2, 9) = -Inf;
%! a = randn (1, K); b = 1.25; n = floor ((rows + 3) * rand (1, K)) - 2;
%! U = tarvenloch_batch (a, b, P, Q, n);
%! edges = round (linspace (0, K, 6));

%!test  # pararrayfun over chunk numbers, one thread in each worker
%! chunk = @(c) edges(c) + 1:edges(c + 1);
%! parts = pararrayfun (2, @(c) tarvenloch_batch (a(chunk (c)), b, P(:, chunk (c)), ...
%!                                                Q(:, chunk (c)), n(chunk (c)), 1), ...
%!                      1:5, "UniformOutput", false, "VerboseLevel", 0);
%! assert (typecast ([parts{:}], "uint64"), typecast (U, "uint64"));

%!test  # parcellfun over the chunks themselves, default threads in each worker
%! as = {}; Ps = {}; Qs = {}; ns = {};
%! for c = 1:5
%!   columns = edges(c) + 1:edges(c + 1);
%!   as{c} = a(columns); Ps{c} = P(:, columns); Qs{c} = Q(:, columns); ns{c} = n(columns);
%! endfor
%! parts = parcellfun (2, @(a1, P1, Q1, n1) tarvenloch_batch (a1, b, P1, Q1, n1), ...
%!                     as, Ps, Qs, ns, "UniformOutput", false, "VerboseLevel", 0);
%! assert (typecast ([parts{:}], "uint64"), typecast (U, "uint64"));
