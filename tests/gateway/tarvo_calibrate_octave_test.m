% tarvo_calibrate and accelerated frames in a real host (octave-cli): R = 1 kernels are tarvo's
% output 3 bit for bit, and an R = 1 target through tarvo_apply (with and without 'Lines')
% gives the whole call's bits; R = 2 kernels through a .mat file give the same E and fill the
% missing lines of a zero-filled frame; the accelerated phantom's layout; every error of
% tarvo_calibrate and tarvo_apply's new ones with identifier and message, nothing assigned.
%   work: a scratch folder. Fails (error) on the first wrong result.
function tarvo_calibrate_octave_test (work)
  check (strcmp (which ('tarvo_calibrate')(end-3:end), '.mex'), 'tarvo_calibrate resolves to %s', ...
         which ('tarvo_calibrate'));
  if (! exist (work, 'dir'))
    mkdir (work);
  end
  full_frames ();
  accelerated (work);
  phantom_layout ();
  calibrate_errors ();
  apply_errors ();
  printf ('tarvo_calibrate_octave_test: all checks passed\n');
end

function full_frames ()
  [even, odd] = tarvo_phantom (24, 16, 2, 3);
  target = odd * exp (0.3i) + 0.1 * even;
  [E, ~, K] = tarvo (even, odd, target);
  check (same_kernels (tarvo_calibrate (even, odd), K), 'tarvo_calibrate differs from output 3');
  [K1, fits] = tarvo_calibrate (even, odd, 'r', 1);
  check (same_kernels (K1, K) && isequal (size (fits), [1 2]), 'tarvo_calibrate with R = 1');
  check (bits_equal (tarvo_apply (K, target), E), 'tarvo_apply of a full frame');
  check (bits_equal (tarvo_apply (K1, target, 'Lines', 1:16), E), 'tarvo_apply with every line');
  check (bits_equal (tarvo_apply (K1, target, 'lines', (1:16)'), E), 'Lines as a column');
  % A full frame with a line of zeros: tarvo corrects every line as before; tarvo_apply takes
  % the zero line as not acquired unless told otherwise.
  target(:, 5, :, :) = 0;
  E = tarvo (even, odd, target);
  check (bits_equal (tarvo_apply (K, target, 'Lines', 1:16), E), 'tarvo on a frame with a zero line');
end

function accelerated (work)
  [even, odd, truth, object, target, lines] = tarvo_phantom (32, 32, 2, 8, 'R', 2);
  [K, fits] = tarvo_calibrate (even, odd, 'R', 2);
  check (isequal (size (K), [28 2]) && isequal (size (fits), [28 2]), 'K is %s, fits %s', ...
         mat2str (size (K)), mat2str (size (fits)));
  check (isequal (sort (fieldnames (fits))', {'equations', 'ridge', 'unknowns', 'whole_readout'}), ...
         'fits has fields %s', strjoin (fieldnames (fits)', ', '));
  check (isequal ([K(:, 2).dk], [K(:, 1).dk]) && isequal (unique ([K.dk]), [2 4]), 'dk %s', ...
         mat2str ([K.dk]));
  check (strcmp (K(1).pattern, '+:-+*+-') && strcmp (K(15).pattern, '-:+-*-+'), 'patterns %s, %s', ...
         K(1).pattern, K(15).pattern);
  % 5 readout samples x 8 coils per source line ('+', '-' or '*' in the pattern text).
  S = cellfun (@(p) sum (ismember (p(3:end), '+-*')), {K.pattern});
  rows = cellfun (@(c) size (c, 1), {K.coef});
  check (isequal (rows, 40 * S) && isequal ([fits.unknowns], 40 * S) && all ([fits.equations] > 0), ...
         'fits: %s', mat2str ([fits.equations; fits.unknowns; rows]));
  E = tarvo_apply (K, target, 'Lines', lines);
  check (bits_equal (tarvo_apply (K, target), E), 'the lines found differ from those given');
  file = fullfile (work, 'kernels_r2.mat');
  save ('-v7', file, 'K');
  S = load (file);
  check (bits_equal (tarvo_apply (S.K, target, 'Lines', lines), E), 'K through a .mat file');
  rss = @(x) sqrt (sum (abs (x) .^ 2, 4));
  err = norm (rss (E)(object) - rss (truth)(object)) / norm (rss (truth)(object));
  zero_filled = fftshift (fftshift (ifft2 (ifftshift (ifftshift (target, 1), 2)), 1), 2);
  check (err < 0.02 && tarvo_ghost_ratio (E, object) < tarvo_ghost_ratio (zero_filled, object) / 100, ...
         'R = 2: error %g against the truth, ghost ratio %g', err, tarvo_ghost_ratio (E, object));
end

% The acquired lines of a central block whose two sides differ in parity, and of partial
% Fourier; unacquired lines exactly zero; with c = d = 0 the pair is the plain phantom's.
function phantom_layout ()
  [even, odd, ~, ~, target, lines] = tarvo_phantom (16, 64, 1, 2, 'R', 2, 'Block', 8, ...
                                                    'CalibrationLines', 24);
  check (isequal (lines, [1:2:27, 29:36, 38:2:64]), 'block layout %s', mat2str (lines));
  check (isequal (size (even), [16 24 1 2]) && isequal (size (odd), size (even)), 'pair %s', ...
         mat2str (size (even)));
  zero = true (1, 64);
  zero(lines) = false;
  check (! any (any (any (target(:, zero, :, :)))) && all (any (target(:, lines, 1, 1))), ...
         'target lines');
  [~, ~, ~, ~, ~, lines] = tarvo_phantom (16, 64, 1, 2, 'R', 3, 'PartialFourier', 0.75);
  check (isequal (lines, 18:3:63), 'partial Fourier layout %s', mat2str (lines));
  [even, odd] = tarvo_phantom (16, 12, 2, 3, 0.3, 0.02, 'c', 0, 'd', 0);
  [even0, odd0] = tarvo_phantom (16, 12, 2, 3, 0.3, 0.02);
  check (max (abs ([even(:) - even0(:); odd(:) - odd0(:)])) < 1e-12 * max (abs (even0(:))), ...
         'the accelerated pair with c = d = 0');
end

function calibrate_errors ()
  [even, odd] = tarvo_phantom (24, 16, 2, 3);
  big = complex (sparse (3e9, 1));
  wide = complex (ones (32768, 3, 2));
  short = even(:, 1:4, :, :);
  errors = {
    'out = tarvo_calibrate (even)', 'nargin', ...
    'tarvo_calibrate takes 2 inputs and options, K = tarvo_calibrate(even, odd, ''R'', R); it was given 1.';
    '[a, b, c] = tarvo_calibrate (even, odd)', 'nargout', ...
    'tarvo_calibrate returns up to 2 outputs, [K, fits]; 3 were requested.';
    'out = tarvo_calibrate (real (even), odd)', 'even', ...
    'even must be complex double k-space, M x N x ... x L; it is a real double array (complex(x) makes a real array complex).';
    'out = tarvo_calibrate (even, single (odd))', 'odd', ...
    'odd must be complex double k-space, M x N x ... x L; it is a complex single array (complex(x) makes a real array complex).';
    'out = tarvo_calibrate (even(:, :, 1, 1), odd)', 'even', ...
    'even must have 3 or more extents, M x N x ... x L (the last one counts the coils); it is 24 x 16.';
    'out = tarvo_calibrate (even, odd(:, [], :, :))', 'odd', 'odd is empty; every extent must be at least 1.';
    'out = tarvo_calibrate (big, odd)', 'tooLarge', ...
    'even has an extent beyond 2147483647, the limit of the module''s 32-bit interface.';
    'out = tarvo_calibrate (even, odd(:, 1:8, :, :))', 'odd', ...
    'odd is 24 x 8 x 2 x 3 (M x N x Z x L) but even is 24 x 16 x 2 x 3; the pair must have the same extents.';
    'out = tarvo_calibrate (even, odd, 2, 2)', 'option', ...
    'Input 3 of tarvo_calibrate must be an option name (''R''); it is a real double array.';
    'out = tarvo_calibrate (even, odd, ''Rate'', 2)', 'option', ...
    'tarvo_calibrate has no option ''Rate''; its options are ''R''.';
    'out = tarvo_calibrate (even, odd, ''R'', 2, ''r'')', 'option', ...
    'Option ''R'' of tarvo_calibrate has no value: options come in name-value pairs.';
    'out = tarvo_calibrate (even, odd, ''R'', [2 3])', 'R', ...
    'R must be a real double scalar (the acceleration, 1 to 4); it is a real double array of 2 elements.';
    'out = tarvo_calibrate (even, odd, ''R'', 5)', 'R', 'R must be a whole number from 1 to 4 (the acceleration); it is 5.';
    'out = tarvo_calibrate (even, odd, ''R'', 1.5)', 'R', 'R must be a whole number from 1 to 4 (the acceleration); it is 1.5.';
    'out = tarvo_calibrate (short, short, ''R'', 2)', 'lines', 'CORE';
    'out = tarvo_calibrate (wide, wide)', 'failed', ...
    'The calibration failed in tarvo_interleave_frames (see the messages above); no output was assigned.'};
  raises (errors, 'tarvo:calibrate:');
end

function apply_errors ()
  [even, odd, ~, ~, target, lines] = tarvo_phantom (24, 16, 2, 3, 'R', 2);
  K = tarvo_calibrate (even, odd, 'R', 2);
  [~, ~, K1] = tarvo (even, odd);
  [~, ~, ~, ~, target3] = tarvo_phantom (24, 16, 2, 3, 'R', 3);
  errors = {
    'out = tarvo_apply (K)', 'nargin', ...
    'tarvo_apply takes 2 inputs and options, E = tarvo_apply(K, target, ''Lines'', lines); it was given 1.';
    'out = tarvo_apply (K([]), target)', 'slices', ...
    'K holds 0 kernels; it must hold the kernels of every slice (1 or more).';
    'out = tarvo_apply (K, target(:, [], :, :))', 'target', ...
    'The target''s frames are empty (24 x 0 x 2 x 3); each must hold M x N x Z x L samples with every extent at least 1.';
    'out = tarvo_apply (K, target, ''lines'')', 'option', ...
    'Option ''Lines'' of tarvo_apply has no value: options come in name-value pairs.';
    'out = tarvo_apply (K, target, ''Frames'', 1)', 'option', ...
    'tarvo_apply has no option ''Frames''; its options are ''Lines''.';
    'out = tarvo_apply (K, target, {''Lines''}, 1)', 'option', ...
    'Input 3 of tarvo_apply must be an option name (''Lines''); it is a cell array.';
    'out = tarvo_apply (K, target, ''Lines'', int32 (lines))', 'lines', ...
    'Lines must be a real double vector of the acquired line numbers (1-based); it is a int32 array.';
    'out = tarvo_apply (K, target, ''Lines'', 5)', 'lines', ...
    'Lines holds 1 line numbers; at least 2 acquired lines are needed.';
    'out = tarvo_apply (K, target, ''Lines'', 1:20)', 'lines', ...
    'Lines holds 20 line numbers; a frame has 16 lines.';
    'out = tarvo_apply (K, target, ''Lines'', [1 3 17])', 'lines', ...
    'Lines(3) is 17; line numbers are whole numbers from 1 to 16 (the target''s second extent).';
    'out = tarvo_apply (K, target, ''Lines'', [2 3.5])', 'lines', ...
    'Lines(2) is 3.5; line numbers are whole numbers from 1 to 16 (the target''s second extent).';
    'out = tarvo_apply (K, target, ''Lines'', [2 6 4])', 'lines', ...
    'Lines(3) = 4 does not follow Lines(2) = 6; the line numbers must be strictly ascending.';
    'out = tarvo_apply (K, target, ''Lines'', [2 4 4])', 'lines', ...
    'Lines(3) = 4 does not follow Lines(2) = 4; the line numbers must be strictly ascending.';
    'out = tarvo_apply (K1, target, ''Lines'', lines)', 'lines', 'CORE';
    'out = tarvo_apply (K, target3)', 'lines', 'CORE';
    'out = tarvo_apply (K, target(:, :, 1, :))', 'slices', 'CORE'};
  raises (errors, 'tarvo:apply:');
end

% Each row of errors: a statement of the caller (assigning out, or a, b and c), the identifier
% after prefix, the exact message ('CORE': the core's message, any text; Octave shows it after
% the function's name). Each must raise that error and assign nothing.
function raises (errors, prefix)
  for k = 1:rows (errors)
    [statement, id, message] = errors{k, :};
    evalin ('caller', 'clear out a b c');
    err = [];
    try
      evalin ('caller', sprintf ('evalc (''%s'');', strrep (statement, "'", "''")));
    catch e
      err = e;
    end
    check (! isempty (err), '%s raised no error', statement);
    check (strcmp (err.identifier, [prefix id]), '%s raised %s: %s', statement, err.identifier, ...
           err.message);
    % Octave puts the function's name before a MEX function's message.
    name = strrep (prefix(1:end-1), ':', '_');
    check (strcmp (message, 'CORE') || strcmp (err.message, [name ': ' message]), ...
           '%s said "%s", expected "%s"', statement, err.message, message);
    for v = {'out', 'a', 'b', 'c'}
      check (! evalin ('caller', sprintf ('exist (''%s'', ''var'')', v{1})), '%s assigned %s', ...
             statement, v{1});
    end
  end
end

function ok = same_kernels (A, B)
  ok = isequal (size (A), size (B)) && isequal (fieldnames (A), fieldnames (B));
  for k = 1:numel (A)
    ok = ok && isequal (A(k).dk, B(k).dk) && strcmp (A(k).pattern, B(k).pattern) && ...
         bits_equal (A(k).coef, B(k).coef);
  end
end

% Same extents, and every real and imaginary part the same 64 bits (NaN, -0 included).
function ok = bits_equal (a, b)
  ok = isequal (size (a), size (b)) && ...
       isequal (typecast (real (a(:)), 'uint64'), typecast (real (b(:)), 'uint64')) && ...
       isequal (typecast (imag (a(:)), 'uint64'), typecast (imag (b(:)), 'uint64'));
end

function check (ok, varargin)
  if (! ok)
    error ('tarvo_calibrate_octave_test: %s', sprintf (varargin{:}));
  end
end
