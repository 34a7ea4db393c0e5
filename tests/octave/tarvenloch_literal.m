% TARVENLOCH_LITERAL  The module's computation written in Octave's own language.
%
%   u = tarvenloch_literal(a, b, p, q, n)
%
%   What a user would write without the module: every grid interval at once,
%   with the sums over the terms taken in order, so the result agrees with the
%   module to the bit whenever no breakpoint is NaN (Octave's sort places NaN
%   where the module's sort does not).
function u = tarvenloch_literal(a, b, p, q, n)
  n = fix(double(n));
  if isnan(n) || n < 1
    u = a;
    return;
  end
  p = p(1:n)(:);
  q = q(1:n)(:);
  kinks = p > 1e-10 | p < -1e-10;
  if ~any(kinks)
    u = a;
    return;
  end
  s = sort(abs(q(kinks) ./ p(kinks)))';
  grid = [-1e10, -fliplr(s), s, 1e10];
  o = (grid(1:end-1) + grid(2:end)) * 0.5;
  x = p .* o + q;                              % one column per interval
  t = sum(p .* (2 * (x >= 0) - 1), 1);         % +p where x >= 0, else -p
  u = t * b + a;
  v = sum(abs(p .* u + q), 1);
  f = ((u - a) * 0.5) .* (u - a) - v * b;
  [best, at] = min(f);                         % first of equal minima; NaN never wins
  if best < 1e100
    u = u(at);
  else
    u = 1e8;
  end
end
