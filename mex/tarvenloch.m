% TARVENLOCH  Best stationary point of a quadratic minus a weighted sum of absolute values.
%
%   u = tarvenloch(a, b, p, q, n)
%
%   Returns the best-scoring candidate u for the objective
%
%       F(u) = 1/2*(u - a)^2 - b*sum(abs(p(k)*u + q(k))),   k = 1..n
%
%   The sum is piecewise linear with kinks at -q(k)/p(k). The kink magnitudes
%   abs(q(k)/p(k)) of every term with abs(p(k)) > 1e-10 are sorted and mirrored
%   into a grid that runs from -1e10 to 1e10. On each grid interval every term
%   has a fixed sign, so the sum has a fixed slope t there, and that piece's
%   stationary point a + b*t is a candidate. Each candidate is scored on the
%   true F, wherever it lies. For b >= 0, with every kink inside +-1e10 and no
%   term with 0 < abs(p(k)) <= 1e-10, the result is a global minimiser of F.
%
%   Inputs
%     a  numeric or logical, non-empty; its first element (real part) is used.
%     b  numeric or logical, non-empty; its first element (real part) is used.
%     p  real, full (not sparse) double array with at least n elements; only
%        the first n are used, in storage order, whatever its shape.
%     q  real, full double array with at least n elements, paired with p.
%     n  numeric or logical, non-empty; its first element is truncated toward
%        zero. NaN, Inf and values beyond the 32-bit integer range count as an
%        empty problem, and so does any n <= 0.
%
%   Result rules
%     - When no term has abs(p(k)) > 1e-10 (also for n <= 0), u is a itself.
%     - Terms with abs(p(k)) <= 1e-10 make no kink but count in every slope and
%       every sum.
%     - Of equal scores the leftmost grid interval's candidate wins; a
%       candidate scoring NaN never wins.
%     - When no candidate scores below 1e100 (for instance with NaN or infinite
%       inputs), u is 1e8.
%     - The arithmetic is IEEE double precision without fused multiply-add:
%       the result is the same to the last bit on every machine.
%
%   Errors (by identifier)
%     tarvenloch:notEnoughInputs       fewer than five inputs
%     tarvenloch:tooManyOutputs        more than one output requested
%     tarvenloch:invalidScalar         a, b or n not numeric or logical, or empty
%     tarvenloch:invalidCoefficients   p or q not a real, full double array
%     tarvenloch:tooFewElements        p or q with fewer than n elements
%     tarvenloch:outOfMemory           no memory for the scratch space
%     tarvenloch:notBuilt              the compiled module is not on the path
%
%   Example
%     u = tarvenloch(0.3, 1, 1, -2, 1)      % one kink at 2: u = -0.7
%     u = tarvenloch(2, 1, [1 1], [-1 1], 2) % two kinks at 1 and -1: u = 4
%
%   See also FMINBND, FMINSEARCH, ABS.

function u = tarvenloch(varargin)
  % Reached only when the compiled module is missing beside this file.
  error('tarvenloch:notBuilt', ...
        'tarvenloch: the compiled module is not on the path; build it first (see the README).');
end

%!shared nan_, inf_
%! nan_ = NaN;
%! inf_ = Inf;

%!test  # one kink: equal scores go to the leftmost interval
%! assert (tarvenloch (0.3, 1, 1, -2, 1), 0.3 - 1);
%!test  # a zero breakpoint: the empty middle interval wins with 1.3
%! assert (tarvenloch (0.3, 1, 1, 0, 1), 1.3);
%!test  # repeated kinks
%! assert (tarvenloch (2, 1, [1 1], [-1 1], 2), 4);
%!test  # an infinite offset makes every score -Inf: the first interval wins
%! assert (tarvenloch (0.5, 1, [1 2], [0.5 -inf_], 2), -2.5);
%!test  # NaN once there is a kink, or no score below 1e100: the fallback 1e8
%! assert (tarvenloch (nan_, 1, 1, 2, 1), 1e8);
%! assert (tarvenloch (0, -1, 1e200, 1e200, 1), 1e8);

%!test  # no kink at all: exactly a
%! assert (tarvenloch (0.25, 7, [1e-10 -1e-10 0], [5 -5 1], 3), 0.25);
%! assert (typecast (tarvenloch (-0, 1, [], [], 0), "uint64"), typecast (-0, "uint64"));
%! assert (isnan (tarvenloch (nan_, 1, 1, 2, 0)));

%!test  # the fifth input is truncated toward zero; NaN, Inf and 3e9 are empty
%! p = [1 -2 3 5]; q = [4 1 -2 7];
%! assert (tarvenloch (0.5, 1, p, q, 3.7), tarvenloch (0.5, 1, p(1:3), q(1:3), 3));
%! assert (tarvenloch (0.5, 1, p, q, 2.0), tarvenloch (0.5, 1, p(1:2), q(1:2), 2));
%! for n = [-2.5, -0, nan_, inf_, -inf_, 3e9, -3e9, 2^31]
%!   assert (tarvenloch (0.5, 1, p, q, n), 0.5);
%! endfor
%! assert (tarvenloch (0.5, 1, p, q, int8 (1)), tarvenloch (0.5, 1, 1, 4, 1));
%! assert (tarvenloch (0.5, 1, p, q, true), tarvenloch (0.5, 1, 1, 4, 1));

%!test  # extra elements are ignored; shape does not matter
%! p = [1 -2 3 5]; q = [4 1 -2 7];
%! u = tarvenloch (0.5, 2, p, q, 4);
%! assert (tarvenloch (0.5, 2, p', q', 4), u);
%! assert (tarvenloch (0.5, 2, [p 9 9], [q' ; 9], 4), u);
%! assert (tarvenloch (0.5, 2, reshape ([p 0 0], 2, 3), [q 1 1], 4), u);

%!test  # scalars may be any numeric or logical class; the first element is used
%! assert (tarvenloch (int32 (2), true, [1 1], [-1 1], 2), 4);
%! assert (tarvenloch (single (2), [1 5], [1 1], [-1 1], [2 0]), 4);
%! assert (tarvenloch (2 + 3i, 1, [1 1], [-1 1], 2), 4);

%!test  # called with no output requested, the result goes to ans
%! tarvenloch (2, 1, [1 1], [-1 1], 2);
%! assert (ans, 4);

%!error id=tarvenloch:notEnoughInputs tarvenloch (1, 2, 3, 4)
%!error id=tarvenloch:notEnoughInputs tarvenloch ()
%!error id=tarvenloch:tooManyOutputs [u, v] = tarvenloch (1, 1, 1, 1, 1);
%!error id=tarvenloch:invalidScalar tarvenloch ("a", 1, 1, 1, 1)
%!error id=tarvenloch:invalidScalar tarvenloch (1, [], 1, 1, 1)
%!error id=tarvenloch:invalidScalar tarvenloch (1, 1, 1, 1, {1})
%!error id=tarvenloch:invalidScalar tarvenloch (1, 1, 1, 1, struct ())
%!error id=tarvenloch:invalidCoefficients tarvenloch (1, 1, single (1), 1, 1)
%!error id=tarvenloch:invalidCoefficients tarvenloch (1, 1, 1, int32 (1), 1)
%!error id=tarvenloch:invalidCoefficients tarvenloch (1, 1, [1 2i], [1 1], 2)
%!error id=tarvenloch:invalidCoefficients tarvenloch (1, 1, sparse ([1 2]), [1 1], 2)
%!error id=tarvenloch:invalidCoefficients tarvenloch (1, 1, {1}, 1, 1)
%!error id=tarvenloch:invalidCoefficients tarvenloch (1, 1, true, 1, 1)
%!error id=tarvenloch:tooFewElements tarvenloch (1, 1, [1 2], [1 2 3], 3)
%!error id=tarvenloch:tooFewElements tarvenloch (1, 1, [1 2 3], [], 1)

%!test  # the session goes on after errors
%! for i = 1:50
%!   try
%!     tarvenloch (1, 1, [1 2], [1 2], 1e6);
%!   catch err
%!     assert (err.identifier, "tarvenloch:tooFewElements");
%!   end_try_catch
%! endfor
%! assert (tarvenloch (0.3, 1, 1, -2, 1), 0.3 - 1);
