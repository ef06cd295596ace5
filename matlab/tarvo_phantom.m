% TARVO_PHANTOM  Simulated multi-coil echo-planar k-space with a Nyquist ghost.
%
%   [even, odd, images, object] = tarvo_phantom(M, N, Z, L)
%   [...] = tarvo_phantom(M, N, Z, L, a, b)
%   [even, odd, images, object, target, lines] = tarvo_phantom(M, N, Z, L, [a, b,] 'R', R, ...)
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
%
%   An accelerated acquisition: with any of the options below (name-value pairs, names in
%   any case) the outputs are a calibration pair, an accelerated zero-filled frame and the
%   truth, with a 2-D phase error
%     phi(x, ky) = a + b*(x - M/2) + c*(ky - N/2)/N + d*(x - M/2)*(ky - N/2)/N,
%   the same for the pair and the frame (lines ky and positions x counted from 0). The
%   options:
%     'R'                 the acceleration: every R-th line is acquired (default 1)
%     'PartialFourier'    the fraction of the frame acquired, in (0, 1]: the first
%                         floor((1 - fraction) * N + 0.5) lines are not (default 1)
%     'Block'             a fully sampled central block of that many lines (default 0)
%     'CalibrationLines'  the pair's lines Nc, 1 to N (default N)
%     'c', 'd'            the phase error's terms along the lines (default 0.6 and 0.02)
%   The acquired lines: with k0 = floor(N/2), the block's lines b0 = k0 - floor(Block/2) to
%   b1 = b0 + max(Block, 1) - 1, every R-th line on either side of it (b0 - R, b0 - 2R, ...
%   and b1 + R, b1 + 2R, ...), then those partial Fourier leaves. With R = 2 and an even
%   block the parity changes across the block: N = 64, Block 8 gives lines 1, 3, ..., 27,
%   29 .. 36, 38, 40, ..., 64 (counted from 1).
%     even, odd  the calibration pair, M x Nc x Z x L: the central lines ky = floor(N/2) -
%                floor(Nc/2) + (0 .. Nc-1), every one read; in even a line ky has positive
%                polarity (+phi) when ky is even, negative (-phi) when odd; odd reversed.
%     images, object   the truth (fully sampled, no phase error) and its support
%     target     the accelerated frame, M x N x Z x L: the j-th acquired line (j = 0, 1, ...
%                in line order, the echo order) read with positive polarity for even j and
%                negative for odd j; every other line exactly zero
%     lines      the acquired lines of target, counted from 1, ascending (a row vector, as
%                tarvo_apply's 'Lines' takes them)
%   With c = d = 0 and Nc = N the pair is that of tarvo_phantom(M, N, Z, L, a, b).
%
%   Example: R = 2 with a 32-line central calibration block
%     [even, odd, images, object, target, lines] = tarvo_phantom(64, 64, 2, 8, 'R', 2, ...
%                                                  'CalibrationLines', 32);
%     K = tarvo_calibrate(even, odd, 'R', 2);
%     E = tarvo_apply(K, target, 'Lines', lines);
function [even, odd, images, object, target, lines] = tarvo_phantom(M, N, Z, L, varargin)
  a = 0.5; b = 0.04;
  positional = 0;
  while (positional < min(2, numel(varargin)) && ~ischar(varargin{positional + 1}))
    positional = positional + 1;
  end
  if (positional >= 1), a = varargin{1}; end
  if (positional >= 2), b = varargin{2}; end
  options = read_options(varargin(positional + 1:end), N);

  [images, object] = truth(M, N, Z, L);
  % Hybrid space: DFT along the lines only; then the line's phase; then DFT along the readout.
  hybrid = fftshift(fft(ifftshift(images, 2), [], 2), 2);
  if (isempty(options))
    phi = a + b * ((0:M-1)' - M/2);                     % M x 1
    sgn = repmat((-1) .^ (0:N-1), M, 1);                % +1 on even lines, -1 on odd lines
    plus = exp(1i * sgn .* repmat(phi, 1, N));          % even frame
    even = complex(zeros(size(images)));
    odd = even;
    for f = 1:Z*L
      h = hybrid(:, :, f);
      even(:, :, f) = centred_readout_dft(h .* plus);
      odd(:, :, f) = centred_readout_dft(h .* conj(plus));
    end
    if (nargout > 4)
      error('tarvo:phantom:outputs', ['tarvo_phantom: outputs 5 and 6 (target, lines) come ' ...
            'with the acceleration options (''R'', ...)']);
    end
    return;
  end

  x = (0:M-1)' - M/2;
  ky = ((0:N-1) - N/2) / N;
  phi = a + b * x + options.c * ky + options.d * x .* ky;   % M x N
  Nc = options.calibration_lines;
  calibration = (0:Nc-1) + floor(N/2) - floor(Nc/2);       % counted from 0
  plus = exp(1i * (1 - 2 * mod(calibration, 2)) .* phi(:, calibration + 1));
  even = centred_readout_dft(hybrid(:, calibration + 1, :, :) .* plus);
  odd = centred_readout_dft(hybrid(:, calibration + 1, :, :) .* conj(plus));
  acquired = acquired_lines(N, options.R, options.partial_fourier, options.block);
  polarity = 1 - 2 * mod(0:numel(acquired)-1, 2);
  read = complex(zeros(M, N));
  read(:, acquired + 1) = exp(1i * polarity .* phi(:, acquired + 1));
  target = centred_readout_dft(hybrid .* read);
  lines = acquired + 1;
end

% The options, or [] when none is given.
function options = read_options(args, N)
  options = [];
  if (isempty(args))
    return;
  end
  options = struct('R', 1, 'partial_fourier', 1, 'block', 0, 'calibration_lines', N, ...
                   'c', 0.6, 'd', 0.02);
  names = {'R', 'R'; 'PartialFourier', 'partial_fourier'; 'Block', 'block'; ...
           'CalibrationLines', 'calibration_lines'; 'c', 'c'; 'd', 'd'};
  if (mod(numel(args), 2) ~= 0)
    error('tarvo:phantom:option', 'tarvo_phantom: options come in name-value pairs');
  end
  for k = 1:2:numel(args)
    match = [];
    if (ischar(args{k}))
      match = find(strcmpi(args{k}, names(:, 1)), 1);
    end
    value = args{k + 1};
    if (isempty(match) || ~isnumeric(value) || ~isreal(value) || ~isscalar(value))
      error('tarvo:phantom:option', ['tarvo_phantom: options are ''R'', ''PartialFourier'', ' ...
            '''Block'', ''CalibrationLines'', ''c'' and ''d'', each with a real scalar']);
    end
    options.(names{match, 2}) = double(value);
  end
  o = options;
  if (o.R < 1 || o.R ~= fix(o.R) || ~(o.partial_fourier > 0 && o.partial_fourier <= 1) || ...
      o.block < 0 || o.block > N || o.block ~= fix(o.block) || o.calibration_lines < 1 || ...
      o.calibration_lines > N || o.calibration_lines ~= fix(o.calibration_lines))
    error('tarvo:phantom:option', ['tarvo_phantom: R must be a whole number 1 or more, ' ...
          'Block a whole number 0 to N, CalibrationLines 1 to N and PartialFourier in (0, 1]']);
  end
end

% The acquired lines (counted from 0, ascending) of an N-line frame: the central block, every
% R-th line on either side of it, less the lines that partial Fourier leaves out.
function lines = acquired_lines(N, R, partial_fourier, block)
  b0 = floor(N/2) - floor(block/2);
  b1 = b0 + max(block, 1) - 1;
  lines = [fliplr(b0-R:-R:0), b0:b1, b1+R:R:N-1];
  missing = floor((1 - partial_fourier) * N + 0.5);
  lines = lines(lines >= missing);
end

% The error-free coil images and the object's support.
function [images, object] = truth(M, N, Z, L)
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
end

function k = centred_readout_dft(h)
  k = fftshift(fft(ifftshift(h, 1), [], 1), 1);
end

% 1 well inside (r < 1), 0 well outside, 1/2 at r = 1, over about width_in_r.
function s = soft_inside(r, width_in_r)
  s = 0.5 * (1 - tanh((r - 1) / width_in_r));
end
