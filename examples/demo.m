% A short demonstration of tarvenloch, run by `make run`.
u = tarvenloch (0.3, 1, 1, -2, 1);
printf ("tarvenloch(0.3, 1, 1, -2, 1) = %.17g\n", u);
printf ("  displayed as usual: %g\n\n", u);

% A random problem: compare F at the result with F on a fine sample.
rand ("seed", 1); randn ("seed", 1);
n = 8;
a = 0.5; b = 0.7;
p = randn (1, n); q = randn (1, n);
F = @(u) 0.5 * (u - a) .^ 2 - b * sum (abs (p(:) .* u + q(:)), 1);
u = tarvenloch (a, b, p, q, n);
z = linspace (-20, 20, 400001);
printf ("random problem, n = %d: u = %.6f, F(u) = %.6f\n", n, u, F (u));
printf ("  smallest F on a sample of 400001 points in [-20, 20]: %.6f\n\n", min (F (z)));

% The result rules.
printf ("no term with |p| > 1e-10:   tarvenloch(0.25, 1, 1e-10, 3, 1) = %g (a itself)\n", ...
        tarvenloch (0.25, 1, 1e-10, 3, 1));
printf ("NaN once there is a kink:   tarvenloch(NaN, 1, 1, 2, 1) = %g (the fallback)\n", ...
        tarvenloch (NaN, 1, 1, 2, 1));
try
  tarvenloch (1, 1, [1 2], [1 2], 3);
catch err
  printf ("too few elements for n = 3: error %s\n", err.identifier);
end
