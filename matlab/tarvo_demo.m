% TARVO_DEMO  Correct a simulated multi-coil EPI acquisition and show the ghost going away.
%
%   tarvo_demo               writes its figure to ./tarvo_demo_output
%   tarvo_demo(outdir)       writes it to outdir
%   r = tarvo_demo(outdir, [M N Z L])
%
%   Builds a phantom with tarvo_phantom (no data files; default 128 x 128 lines, 4 slices,
%   8 coils), corrects the odd frame with [E, F, K] = tarvo(even, odd), and prints the
%   ghost-to-signal ratio (tarvo_ghost_ratio) of the odd frame's plain images before and of E
%   after, and the time the call took. Writes tarvo_demo.png: the root-sum-of-squares image
%   of the middle slice before (left) and after (right) the correction, on one grey scale.
%   Then corrects a series of 8 frames whose constant phase error drifts from frame to frame
%   with tarvo_apply(K, series), and prints each frame's ghost ratio and the time per frame
%   against the whole call. Last, an accelerated acquisition (every other line, R = 2, with a
%   phase error that also varies along the lines, calibrated from a pair of 32 central lines):
%   tarvo_calibrate(even, odd, 'R', 2) and tarvo_apply(K, target, 'Lines', lines) correct it
%   and fill its missing lines; it prints the ghost-to-signal ratio of the zero-filled frame
%   and of the result and the result's RMS error against the truth, and writes
%   tarvo_demo_r2.png: before (zero-filled, uncorrected), after, and the truth, on one grey
%   scale. r holds before, after, seconds, png, series_after, seconds_per_frame and r2 (a
%   struct: before, after, error, seconds, png).
function r = tarvo_demo(outdir, sizes)
  if (nargin < 1 || isempty(outdir))
    outdir = fullfile(pwd, 'tarvo_demo_output');
  end
  if (nargin < 2 || isempty(sizes))
    sizes = [128 128 4 8];
  end
  M = sizes(1); N = sizes(2); Z = sizes(3); L = sizes(4);
  if (exist('tarvo', 'file') ~= 3 || exist('tarvo_apply', 'file') ~= 3 || ...
      exist('tarvo_calibrate', 'file') ~= 3)
    error('tarvo_demo: the tarvo modules are not on the path (build them with build_tarvo)');
  end

  a = 0.3; b = 0.01;   % phase error between the line parities: a + b*(x - M/2) radians
  fprintf('Phantom: %d readout samples x %d lines x %d slices x %d coils, ', M, N, Z, L);
  fprintf('EPI phase error %.2f rad + %.3f rad/sample\n', a, b);
  [even, odd, ~, object] = tarvo_phantom(M, N, Z, L, a, b);

  plain = fftshift(fftshift(ifft2(ifftshift(ifftshift(odd, 1), 2)), 1), 2);
  before = tarvo_ghost_ratio(plain, object);
  t0 = tic;
  [E, ~, K] = tarvo(even, odd);
  seconds = toc(t0);
  after = tarvo_ghost_ratio(E, object);
  fprintf('Ghost-to-signal ratio before: %.4f\n', before);
  fprintf('Ghost-to-signal ratio after:  %.6f  (%.0f-fold lower)\n', after, before / after);
  fprintf('tarvo(even, odd) took %.2f s (%d kernels of %d x %d weights)\n', seconds, ...
          numel(K), size(K(1).coef, 1), size(K(1).coef, 2));

  % One slice, both images on the grey scale of the uncorrected one.
  s = ceil(Z / 2);
  rss_before = sqrt(sum(abs(plain(:, :, s, :)) .^ 2, 4));
  rss_after = sqrt(sum(abs(E(:, :, s, :)) .^ 2, 4));
  top = max(rss_before(:));
  gap = ones(M, 4);
  picture = [rss_before, gap * top, rss_after] / top;
  picture = kron(min(max(picture, 0), 1), ones(2));   % 2x larger, clipped to [0, 1]
  if (~exist(outdir, 'dir'))
    mkdir(outdir);
  end
  png = fullfile(outdir, 'tarvo_demo.png');
  imwrite(uint8(round(255 * picture)), png);
  fprintf('Figure (slice %d, left: before, right: after, same grey scale): %s\n', s, png);

  % A series of 8 single-polarity frames whose constant phase error drifts from frame to frame,
  % corrected with the kernels K of the call above.
  T = 8;
  series = complex(zeros(M, N, Z, L, T));
  drift = a + 0.05 * (0:T-1);
  for t = 1:T
    [~, series(:, :, :, :, t)] = tarvo_phantom(M, N, Z, L, drift(t), b);
  end
  t0 = tic;
  Es = tarvo_apply(K, series);
  per_frame = toc(t0) / T;
  fprintf('Series of %d frames, phase error drifting %.2f .. %.2f rad, corrected with tarvo_apply(K, series):\n', ...
          T, drift(1), drift(end));
  series_after = zeros(1, T);
  for t = 1:T
    plain_t = fftshift(fftshift(ifft2(ifftshift(ifftshift(series(:, :, :, :, t), 1), 2)), 1), 2);
    series_after(t) = tarvo_ghost_ratio(Es(:, :, :, :, t), object);
    fprintf('  frame %d: ghost-to-signal ratio %.4f before, %.6f after\n', t, ...
            tarvo_ghost_ratio(plain_t, object), series_after(t));
  end
  fprintf('tarvo_apply took %.3f s per frame, %.2f of the whole call (%.2f s)\n', per_frame, ...
          per_frame / seconds, seconds);
  r2 = accelerated(M, N, Z, L, a, b, outdir);
  if (nargout > 0)
    r = struct('before', before, 'after', after, 'seconds', seconds, 'png', png, ...
               'series_after', series_after, 'seconds_per_frame', per_frame, 'r2', r2);
  end
end

% R = 2: every other line acquired, calibrated from the pair's central lines.
function r2 = accelerated(M, N, Z, L, a, b, outdir)
  Nc = min(N, 32);
  [even, odd, truth, object, target, lines] = tarvo_phantom(M, N, Z, L, a, b, 'R', 2, ...
                                                            'CalibrationLines', Nc);
  fprintf(['Accelerated, R = 2: %d of %d lines acquired, a phase error varying along the ' ...
           'lines too, a calibration pair of the %d central lines\n'], numel(lines), N, Nc);
  t0 = tic;
  K = tarvo_calibrate(even, odd, 'R', 2);
  E = tarvo_apply(K, target, 'Lines', lines);
  seconds = toc(t0);
  zero_filled = fftshift(fftshift(ifft2(ifftshift(ifftshift(target, 1), 2)), 1), 2);
  rss = @(x) sqrt(sum(abs(x) .^ 2, 4));
  rss_E = rss(E);
  rss_truth = rss(truth);
  err = norm(rss_E(object) - rss_truth(object)) / norm(rss_truth(object));
  r2 = struct('before', tarvo_ghost_ratio(zero_filled, object), ...
              'after', tarvo_ghost_ratio(E, object), 'error', err, 'seconds', seconds);
  fprintf('Ghost-to-signal ratio of the zero-filled frame: %.4f, after: %.6f\n', r2.before, ...
          r2.after);
  fprintf(['RMS error of the corrected root-sum-of-squares image against the truth: %.2f %% ' ...
           '(%d kernels a slice; calibration and correction took %.2f s)\n'], 100 * err, ...
          size(K, 1), seconds);

  % One slice: before (zero-filled), after, truth, on the grey scale of the brightest.
  s = ceil(Z / 2);
  panels = {rss(zero_filled(:, :, s, :)), rss_E(:, :, s), rss_truth(:, :, s)};
  top = max(cellfun(@(p) max(p(:)), panels));
  gap = ones(M, 4) * top;
  picture = [panels{1}, gap, panels{2}, gap, panels{3}] / top;
  picture = kron(min(max(picture, 0), 1), ones(2));
  r2.png = fullfile(outdir, 'tarvo_demo_r2.png');
  imwrite(uint8(round(255 * picture)), r2.png);
  fprintf('Figure (slice %d, left: zero-filled, middle: corrected, right: truth): %s\n', s, ...
          r2.png);
end
