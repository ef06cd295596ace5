% tarvo_roundtrip_demo  Converts a built-in 5-D complex example to the module's volume record
% and back with the round-trip MEX, and shows how the extents fold.
function tarvo_roundtrip_demo ()
  M = 64; N = 48; Z1 = 3; Z2 = 2; L = 4;
  [x, y] = ndgrid (linspace (-1, 1, M), linspace (-1, 1, N));
  A = complex (zeros (M, N, Z1, Z2, L));
  for c = 1:L
    for s = 1:Z1*Z2
      [i, j] = ind2sub ([Z1 Z2], s);
      disc = double (x.^2 + (y / 0.8).^2 < (0.3 + 0.1 * s)^2);   % a disc per slice
      coil = exp (-((x - cos (2*pi*c/L)).^2 + (y - sin (2*pi*c/L)).^2));
      A(:, :, i, j, c) = fftshift (fft2 (ifftshift (disc .* coil))) * exp (1i * c);
    end
  end
  printf ('input:  complex double %s\n', mat2str (size (A)));
  B = tarvo_roundtrip (A);
  printf ('output: complex double %s (slice extents folded: %d x %d -> %d)\n', ...
          mat2str (size (B)), Z1, Z2, size (B, 3));
  printf ('elements: %d in, %d out, identical: %s\n', numel (A), numel (B), ...
          mat2str (isequal (A(:), B(:))));
  printf ('real input refused with: ');
  tarvo_roundtrip (real (A));
end
