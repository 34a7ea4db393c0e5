% DRAW_EXAMPLE  Draws the README's example, u = tarvenloch(0.3, 1, 1, -2, 1):
% F with its kink, the grid point mirrored from it, the candidates of the
% grid intervals and the chosen u, into a PNG file. Run by `make picture`
% with the module on the path; plots with Octave's gnuplot toolkit, so no
% display is needed.
%
%   draw_example(output_png)
function draw_example(output_png)
  a = 0.3; b = 1; p = 1; q = -2; n = 1;
  F = @(u) 0.5 * (u - a) .^ 2 - b * sum(abs(p(:) .* u + q(:)), 1);
  u = tarvenloch(a, b, p, q, n);

  % The candidates: a + b*t on each interval of the mirrored grid, where t
  % is the sum's slope there.
  s = sort(abs(q ./ p));
  points = [-1e10, -fliplr(s), s, 1e10];
  middle = (points(1:end-1) + points(2:end)) / 2;
  candidates = a + b * sum(p(:) .* sign(p(:) .* middle + q(:)), 1);
  kinks = -q ./ p;

  warning("off", "Octave:gnuplot-graphics");
  graphics_toolkit("gnuplot");
  figure("visible", "off", "position", [0 0 760 420]);
  z = linspace(-3.5, 4, 751);
  plot(z, F(z), "-", "linewidth", 2, "color", [0.15 0.35 0.7]);
  hold on;
  limits = [-3, 2.5];
  plot([kinks; kinks], limits' * ones(size(kinks)), "--", "color", [0.4 0.4 0.4]);
  plot([-s; -s], limits' * ones(size(s)), "--", "color", [0.7 0.7 0.7]);
  plot(candidates, F(candidates), "o", "markersize", 9, "linewidth", 2, "color", [0.85 0.45 0.1]);
  plot(u, F(u), "p", "markersize", 12, "markerfacecolor", [0.8 0.1 0.1], "color", [0.8 0.1 0.1]);
  text(kinks + 0.08, 2.2, "kink at 2");
  text(-s + 0.08, 2.2, "mirrored grid point");
  text(1.1, F(1.3), "candidate 1.3, from the interval right of the kink", ...
       "horizontalalignment", "right");
  text(u + 0.2, F(u) - 0.15, sprintf("chosen u = %g (candidate twice)", u));
  xlim([-3.5, 4]);
  ylim(limits);
  xlabel("u");
  ylabel("F(u)");
  title("F(u) = 1/2 (u - 0.3)^2 - |u - 2|   and   u = tarvenloch(0.3, 1, 1, -2, 1)");
  grid on;
  print(output_png, "-dpngcairo");
end
