% TARVO_PHANTOM  Simulated multi-coil echo-planar k-space with a Nyquist ghost.
%
%   [even, odd, images, object] = tarvo_phantom(M, N, Z, L)
%   [...] = tarvo_phantom(M, N, Z, L, a, b)
%
%   Each of the Z slices holds a soft-edged ellipse with a brighter inner ellipse, seen by L
%   smooth complex coil sensitivities placed around it. images (M x N x Z x L) are the
%   error-free coil images; object (M x N x Z, logical) is the object's support.
%
%   k-space is the centred, unscaled 2-D DFT of each coil image (readout along the first
%   extent, lines along the second), so fftshift(ifft2(ifftshift(k))) gives the image back
%   (M and N even). The echo-planar error: in the hybrid space (readout position x, line ky)
%   line ky is multiplied by exp(+1i*phi(x)) or exp(-1i*phi(x)) by its parity, with
%   phi(x) = a + b*(x - M/2) (a in radians, default 0.5; b in radians per sample, default
%   0.04). In the even frame the even lines (ky = 0, 2, ... counted from 0) get +phi and the
%   odd lines -phi; the odd frame is acquired with the readout polarity reversed.
%   Deterministic: the same arguments give the same data.
function [even, odd, images, object] = tarvo_phantom(M, N, Z, L, a, b)
  if (nargin < 5), a = 0.5; end
  if (nargin < 6), b = 0.04; end
  [x, y] = ndgrid(0:M-1, 0:N-1);
  images = complex(zeros(M, N, Z, L));
  object = false(M, N, Z);
  for z = 1:Z
    % Object: position, size and tilt vary from slice to slice.
    t = z / (Z + 1);
    cx = M/2 + 0.03 * M * sin(7 * t);
    cy = N/2 + 0.03 * N * cos(5 * t);
    ax = (0.30 + 0.05 * t) * M;
    ay = (0.22 + 0.04 * (1 - t)) * N;
    tilt = 0.3 * sin(3 * t);
    u = (x - cx) * cos(tilt) + (y - cy) * sin(tilt);
    v = -(x - cx) * sin(tilt) + (y - cy) * cos(tilt);
    r = sqrt((u / ax).^2 + (v / ay).^2);
    r_inner = sqrt((u - 0.2 * ax).^2 / (0.16 * ax^2) + v.^2 / (0.25 * ay^2));
    width = 1.5 / min(ax, ay);
    rho = soft_inside(r, width) .* (1 + 0.6 * soft_inside(r_inner, 3 * width));
    object(:, :, z) = r < 1 + 5 * width;
    for c = 1:L
      % Coil c on a circle around the object: a broad Gaussian with a smooth phase.
      theta = 2 * pi * (c - 1) / L + 0.1 * sin(c + z);
      px = M/2 + 0.65 * M * cos(theta);
      py = N/2 + 0.65 * N * sin(theta);
      dx = (x - px) / M;
      dy = (y - py) / N;
      sens = exp(-(dx.^2 + dy.^2) / (2 * 0.45^2)) .* ...
             exp(1i * (2 * pi * mod(0.37 * c + 0.11 * z, 1) + 1.5 * (dx * sin(theta) - dy * cos(theta))));
      images(:, :, z, c) = rho .* sens;
    end
  end

  % Hybrid space: DFT along the lines only; then the parity phase; then DFT along the readout.
  phi = a + b * ((0:M-1)' - M/2);                     % M x 1
  sgn = repmat((-1) .^ (0:N-1), M, 1);                % +1 on even lines, -1 on odd lines
  plus = exp(1i * sgn .* repmat(phi, 1, N));          % even frame
  hybrid = fftshift(fft(ifftshift(images, 2), [], 2), 2);
  even = complex(zeros(size(images)));
  odd = even;
  for f = 1:Z*L
    h = hybrid(:, :, f);
    even(:, :, f) = centred_readout_dft(h .* plus);
    odd(:, :, f) = centred_readout_dft(h .* conj(plus));
  end
end

function k = centred_readout_dft(h)
  k = fftshift(fft(ifftshift(h, 1), [], 1), 1);
end

% 1 well inside (r < 1), 0 well outside, 1/2 at r = 1, over about width_in_r.
function s = soft_inside(r, width_in_r)
  s = 0.5 * (1 - tanh((r - 1) / width_in_r));
end
