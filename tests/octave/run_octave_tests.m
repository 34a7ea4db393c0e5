% Runs the test blocks of the named files and prints one summary line.
% Returns the exit status: 0 when every test passed and at least one ran.
function status = run_octave_tests (names)
  passed = 0;
  total = 0;
  for i = 1:numel (names)
    [n, nmax] = test (names{i}, "quiet", stdout);
    printf ("%s: %d of %d passed\n", names{i}, n, nmax);
    passed += n;
    total += nmax;
  end
  printf ("%d passed, %d failed\n", passed, total - passed);
  status = double (total == 0 || passed < total);
end
