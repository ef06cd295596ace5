% tarvo_prepare in Octave (the values the core computes are checked on the test host): a bit-exact
% copy with flipped lines and a resampled point object through Octave's arrays, an error's identifier and message with no
% output assigned, and the help text.
function tarvo_prepare_octave_test()
  M = 64; N = 6;
  raw = complex(reshape(1:M*N*4, M, N, 2, 2), -reshape(1:M*N*4, M, N, 2, 2) / 7);
  k = tarvo_prepare(raw, (0:M-1) - M/2, 'odd', M);
  want = raw; want(:, 2:2:end, :, :) = raw(end:-1:1, 2:2:end, :, :);
  check(isequal(k, want), 'uniform grid: lines copied, odd lines flipped');

  % A point object at pixel 3 of the line: s(k) = exp(-2 pi i 3 k / M) at any k, ramp-sampled;
  % the second line read backwards.
  kx = M/2 * sin(pi/2 * linspace(-1, 1, 109));
  s = exp(-6i * pi * kx(:) / M);
  k = tarvo_prepare(repmat([s, s(end:-1:1)], [1 1 3]), kx, 'odd', M);
  want = repmat(exp(-6i * pi * ((0:M-1).' - M/2) / M), [1 2 3]);
  check(isequal(size(k), [M 2 3]) && max(abs(k(:) - want(:))) < 1e-9, 'resampled point object');

  clear out;
  try
    out = tarvo_prepare(raw, (0:M-1) - M/2, true(1, 5), M);
    check(false, 'tarvo:prepare:reversed not raised');
  catch err
    check(strcmp(err.identifier, 'tarvo:prepare:reversed'), ['identifier ' err.identifier]);
    check(strcmp(err.message, ['tarvo_prepare: reversed has 5 values but raw has 6 lines; ' ...
                               'it needs one value per line']), ['message ' err.message]);
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
