% tarvo_prepare in Octave: copy with flipped lines on the uniform grid, agreement with the
% analytic samples of a Gaussian line on a ramp-sampled grid, output extents, every error
% identifier and message with no output assigned, and the help text.
function tarvo_prepare_octave_test()
  M = 64; N = 6;
  raw = complex(reshape(1:M*N*4, M, N, 2, 2), -reshape(1:M*N*4, M, N, 2, 2) / 7);
  k = tarvo_prepare(raw, (0:M-1) - M/2, 'odd', M);
  want = raw; want(:, 2:2:end, :, :) = raw(end:-1:1, 2:2:end, :, :);
  check(isequal(k, want), 'uniform grid: lines copied, odd lines flipped');
  k2 = tarvo_prepare(raw, (0:M-1) - M/2, logical([1 0 1 0 1 0]), M);
  want = raw; want(:, 1:2:end, :, :) = raw(end:-1:1, 1:2:end, :, :);
  check(isequal(k2, want), 'logical reversed flags');

  % Trapezoid readout, 40 % of the samples on the ramps, R = 1.7 M; a sum of Gaussians.
  R = 109; ramp = 0.4; tr = ramp / 2; tf = 1 - ramp; t = ((0:R-1) + 0.5) / R;
  a = (t < tr) .* t.^2 / (2*tr) + (t >= tr & t <= tr + tf) .* (tr/2 + t - tr) + ...
      (t > tr + tf) .* (tr + tf - (1 - t).^2 / (2*tr));
  kx = M * a / (tr + tf) - M/2;
  line = @(k) 2.5*sqrt(2*pi)*exp(-2*pi^2*2.5^2*(k/M).^2) .* exp(-2i*pi*k*(-9)/M) + ...
         (0.5-0.3i)*4*sqrt(2*pi)*exp(-2*pi^2*16*(k/M).^2) .* exp(-2i*pi*k*7/M);
  s = line(kx(:));
  lines = [s, s(end:-1:1)];              % line 0 forward, line 1 read backwards
  k = tarvo_prepare(lines, kx, 'odd', M);
  exact = line(((0:M-1) - M/2).');
  check(isequal(size(k), [M 2]), 'output extents');
  err = max(max(abs(k - [exact exact]))) / max(abs(exact));
  printf('ramp-sampled Gaussian line: max error %.2e of the peak\n', err);
  check(err < 1e-9, 'ramp-sampled line against its analytic Cartesian samples');

  uniform = (0:M-1) - M/2;
  expect_error(@() tarvo_prepare(raw, uniform, 'odd'), 'tarvo:prepare:arguments', ...
               'tarvo_prepare takes 4 inputs (raw, kx, reversed, M); it was given 3.');
  expect_error(@() tarvo_prepare(real(raw), uniform, 'odd', M), 'tarvo:prepare:raw', ...
               ['raw must be a complex double array, R samples x N lines x ... (complex(x) ' ...
                'makes a real array complex).']);
  expect_error(@() tarvo_prepare(raw, uniform(end:-1:1), 'odd', M), 'tarvo:prepare:kx', ...
               'kx must be strictly increasing (value 2, 30, is not above value 1, 31)');
  expect_error(@() tarvo_prepare(raw, uniform(1:10), 'odd', M), 'tarvo:prepare:kx', ...
               'kx has 10 values but raw has 64 samples per line; kx needs one value per sample');
  expect_error(@() tarvo_prepare(raw, uniform, 'odds', M), 'tarvo:prepare:reversed', ...
               ['reversed must be a logical vector with one value per line or ''even'' or ' ...
                '''odd'' (got ''odds'')']);
  expect_error(@() tarvo_prepare(raw, uniform, true(1, 5), M), 'tarvo:prepare:reversed', ...
               'reversed has 5 values but raw has 6 lines; it needs one value per line');
  expect_error(@() tarvo_prepare(raw, uniform, 'odd', 0), 'tarvo:prepare:M', ...
               'M must be a whole number from 1 to 1024 (got 0)');
  clear out;
  try
    out = tarvo_prepare(raw, uniform, 'odd', 64.5);
  catch
  end
  check(~exist('out', 'var'), 'no output assigned on an error');
  check(~isempty(strfind(help('tarvo_prepare'), 'k = tarvo_prepare(raw, kx, reversed, M)')), ...
        'help text');
  printf('tarvo_prepare Octave test passed\n');
end

function check(ok, what)
  if ~ok
    error('tarvo_prepare_octave_test:failed', 'failed: %s', what);
  end
end

% Octave puts the function's name before the message of a MEX error.
function expect_error(f, id, message)
  message = ['tarvo_prepare: ' message];
  try
    f();
  catch err
    check(strcmp(err.identifier, id), sprintf('identifier %s (got %s)', id, err.identifier));
    check(strcmp(err.message, message), sprintf('message "%s" (got "%s")', message, err.message));
    return;
  end
  check(false, sprintf('%s not raised', id));
end
