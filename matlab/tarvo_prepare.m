% TARVO_PREPARE  Put raw echo-planar readout lines on tarvo's Cartesian k-space grid.
%
%   k = tarvo_prepare(raw, kx, reversed, M)
%
%   tarvo expects Cartesian k-space: every line on a uniform readout grid, in k-space order.
%   In raw echo-planar data the lines read with the negative readout gradient are stored in
%   the order they were acquired, that is backwards, and with sampling during the gradient
%   ramps the samples of a line lie at non-uniform readout positions. tarvo_prepare undoes
%   both. For a dual-polarity pair prepare each frame with its own reversed lines (they are
%   the opposite lines in the two frames), then call tarvo on the results.
%
%   Inputs:
%     raw       complex double, R samples x N lines x ... (slices, coils: any further
%               extents), each line's samples in the order they were acquired.
%     kx        R real doubles (any vector shape): the readout k-space position of each
%               sample of a line read forwards, in cycles per field of view (a Cartesian line
%               of M samples lies at -M/2 .. M/2-1), strictly increasing. A line read
%               backwards visits the same positions in the opposite order: its j-th sample
%               lies at kx(R+1-j).
%     reversed  which lines were read backwards: a logical vector with one value per line,
%               or 'even' / 'odd' (lines counted from 0: 'even' is lines 1, 3, 5, ... in
%               MATLAB's counting from 1).
%     M         the readout length of the output, a whole number from 1 to 1024.
%
%   Output:
%     k   complex double, M x N x ... (the extents of raw after the first): sample M/2 + 1
%         (floor(M/2) + 1 for odd M) of each line is at kx = 0, the layout tarvo reads.
%
%   Resampling. Each line's readout image on M pixels is fitted to its samples by (slightly
%   regularised) least squares and the output is that image's uniform DFT: a band-limited
%   interpolation, computed as one M x R matrix per call and applied to every line. It
%   assumes that the object lies inside the readout field of view and that the line's
%   spectrum is negligible beyond +-M/2; for such lines the result matches the Cartesian
%   samples to about 1e-12 of the line's peak. Samples at |kx| > M/2 are not used (on the
%   M-pixel grid they would be indistinguishable from samples at the other end of the line).
%   A non-finite sample makes its whole output line non-finite.
%   When kx is exactly the uniform grid (R = M, kx = -floor(M/2) .. M-1-floor(M/2)), the
%   lines are copied, the reversed ones flipped, bit for bit.
%
%   Positions that do not determine the M output samples are refused: fewer than M of them
%   within +-M/2, a singular fit, or a fit that would amplify sample noise more than 10-fold
%   (this happens when neighbouring positions lie more than 1 apart, i.e. k-space is
%   undersampled, over a large part of the line).
%
%   Cost: building the matrix takes time in proportion to M^2 R (a few milliseconds for
%   M = 128), applying it M R complex multiply-adds per line, on all hardware threads
%   (TARVO_NUM_THREADS sets another count).
%
%   Errors are raised as MATLAB errors with the identifiers
%     tarvo:prepare:arguments   not 4 inputs, or more than 1 output
%     tarvo:prepare:raw         raw is not complex double, is empty or too large
%     tarvo:prepare:kx          kx is not a real double vector, has not one value per
%                               sample, holds NaN or Inf, is not strictly increasing, or
%                               does not determine M samples (see above)
%     tarvo:prepare:reversed    reversed is neither a logical vector with one value per line
%                               nor 'even' / 'odd'
%     tarvo:prepare:M           M is not a whole number from 1 to 1024
%     tarvo:prepare:memory      not enough memory
%   and no output is assigned.
%
%   Example (ramp-sampled dual-polarity pair, odd lines reversed in the first frame):
%     even = tarvo_prepare(raw_even, kx, 'odd', 128);
%     odd  = tarvo_prepare(raw_odd,  kx, 'even', 128);
%     [E, F, K] = tarvo(even, odd);
%
%   See also tarvo.
function varargout = tarvo_prepare(varargin) %#ok<STOUT>
  error('tarvo:notBuilt', ['tarvo_prepare: the compiled module is not on the path (only ' ...
        'its help text, %s, is). Build it with bash tools/demo.sh in the repository.'], ...
        mfilename('fullpath'));
end
