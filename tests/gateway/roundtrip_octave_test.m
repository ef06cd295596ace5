% Runs the round-trip MEX in a real host: a 5-D complex array comes back as the folded 4-D
% M x N x Z1*Z2 x L array with every element exact; a real input is refused with the message
% and no output. Fails (error) on the first wrong result.
function roundtrip_octave_test ()
  M = 4; N = 6; Z1 = 2; Z2 = 3; L = 5;
  count = M * N * Z1 * Z2 * L;
  re = reshape ((0:count-1) + 0.5, [M N Z1 Z2 L]);
  im = reshape (-3 * (0:count-1) - 0.25, [M N Z1 Z2 L]);
  re(7) = pi; im(7) = -realmax;      % values that any rounding would change
  re(8) = realmin / 4; im(8) = -0;   % a subnormal and a negative zero
  A = complex (re, im);

  B = tarvo_roundtrip (A);
  check (isequal (size (B), [M N Z1*Z2 L]), 'folded size is [%s]', num2str (size (B)));
  check (iscomplex (B) && isa (B, 'double'), 'result is not complex double');
  check (isequal (B(:), A(:)), 'elements differ after the round trip');
  imB = imag (B);   % (indexing B(8) alone would narrow a zero-imaginary scalar to real)
  check (signbit (imB(8)) && imB(7) == -realmax, 'negative zero or extreme value lost');

  C = complex (reshape (1:24, [2 3 4]), ones (2, 3, 4));   % 3-D: M x N x L -> M x N x 1 x L
  D = tarvo_roundtrip (C);
  check (isequal (size (D), [2 3 1 4]) && isequal (D(:), C(:)), '3-D input not folded to M x N x 1 x L');

  % Called without an assignment: with one, the host itself raises an error for the missing
  % output after the module has returned.
  msg = evalc ('tarvo_roundtrip (real (A));');
  check (strcmp (msg, sprintf ('volume_from_mxarray: need a complex double array\n')), ...
         'real input: console text was "%s"', msg);
  check (! exist ('ans', 'var'), 'real input produced an output');

  msg = evalc ('tarvo_roundtrip (single (A));');
  check (strcmp (msg, sprintf ('volume_from_mxarray: need a complex double array\n')), ...
         'single input: console text was "%s"', msg);

  % Extents beyond 32 bits, without the memory: sparse arrays report them all the same.
  msg = evalc ('tarvo_roundtrip (sparse (3e9, 1));');
  check (strcmp (msg, sprintf (['mxGetDimensions_700: extent 1 (3000000000) does not fit a ' ...
                                '32-bit integer\nvolume_from_mxarray: could not read the ' ...
                                'array extents\n'])), 'huge extent: console text was "%s"', msg);
  msg = evalc ('tarvo_roundtrip (sparse (65536, 65536));');
  check (strcmp (msg, sprintf (['mxGetDimensions_700: the element count exceeds 2147483647\n' ...
                                'volume_from_mxarray: could not read the array extents\n'])), ...
         'huge count: console text was "%s"', msg);
  printf ('roundtrip_octave_test: all checks passed\n');
end

function check (ok, varargin)
  if (! ok)
    error ('roundtrip_octave_test: %s', sprintf (varargin{:}));
  end
end
