% The module against its computation in Octave's language, bit for bit, and
% its behaviour in a long session. Run with test("agreement_test").
function agreement_test ()
end

%!test
%! rand ("seed", 3); randn ("seed", 3);
%! special = [0, -0, 1e-10, -1e-10, 1.0000000000000002e-10, NaN, Inf, -Inf, 1e10, 3e10, 1e200];
%! for trial = 1:2000
%!   n = randi ([0, 12]);
%!   p = 4 * randn (1, n); q = 8 * randn (n, 1);
%!   if rand () < 0.3 && n > 0
%!     p(randi (n)) = special(randi (5));      # zero and threshold slopes
%!     q(randi (n)) = special(randi (numel (special)));
%!   end
%!   if rand () < 0.3 && n > 1
%!     p(2) = p(1); q(2) = q(1);               # repeated kinks, tied candidates
%!   end
%!   a = 10 * randn (); b = 3 * randn ();
%!   if rand () < 0.05, a = special(randi (numel (special))); end
%!   if rand () < 0.05, b = special(randi (numel (special))); end
%!   u = tarvenloch (a, b, p, q, n);
%!   expected = tarvenloch_literal (a, b, p, q, n);
%!   assert (typecast (u, "uint64"), typecast (expected, "uint64"),
%!           sprintf ("trial %d", trial));
%! end

%!test  # many calls, bad ones among them, leave the session working
%! for i = 1:2000
%!   assert (tarvenloch (2, 1, [1 1], [-1 1], 2), 4);
%!   try
%!     tarvenloch (1, 1, "pq", [1 2], 2);
%!   catch err
%!     assert (err.identifier, "tarvenloch:invalidCoefficients");
%!   end_try_catch
%! end
