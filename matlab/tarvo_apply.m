% TARVO_APPLY  Correct a whole series with the kernels of one calibration.
%
%   E = tarvo_apply(K, target)
%   E = tarvo_apply(K, target, 'Lines', lines)
%
%   The polarity-reversed calibration pair is acquired once; the frames of an fMRI run or a
%   diffusion scan are single-polarity frames of the same slices. tarvo(even, odd) (output 3)
%   or tarvo_calibrate(even, odd, 'R', R) fits the kernels once; tarvo_apply corrects any
%   number of frames with them, without fitting again, and fills the missing lines of
%   accelerated frames. With every line acquired, each frame of E is, bit for bit, the E that
%   tarvo(even, odd, frame) returns.
%
%   Inputs:
%     K       the kernels: the 1 x Z struct array of tarvo's output 3, or the P x Z struct
%             array of tarvo_calibrate (fields dk, pattern, coef), as returned or loaded back
%             from a .mat file. Their number tells the acceleration R they serve (P = 1, 28,
%             48 or 72 per slice for R = 1 .. 4).
%     target  complex double k-space, M x N x Z x L (one frame) or M x N x Z x L x T x ...:
%             every extent after the fourth is a frame index. Z is the kernels' slice count
%             and each K(k).coef must be 5*S*L x L (S: its source lines, 2 for R = 1).
%             Missing trailing extents count as 1.
%             An accelerated frame is zero-filled: the lines not acquired are exactly zero.
%   Options (name-value pairs, names in any case):
%     'Lines' the acquired lines of every frame, counted from 1, ascending. Without it the
%             acquired lines of a frame are those with any nonzero sample (in any slice or
%             coil); a full frame holding a line of zeros needs 'Lines', 1:N (tarvo itself
%             always takes every line as acquired).
%
%   The acquired lines may be every line (R = 1); every R-th line (R up to the kernels' R);
%   every R-th line with a run of lines missing at one end (partial Fourier); or every R-th
%   line with a fully sampled central block, where the lines on either side of the block may
%   be of different parity (1, 3, ..., 27, 29 .. 36, 38, 40, ..., 64). Consecutive acquired
%   lines may be at most R apart. The readout polarity alternates from one acquired line to
%   the next (the echo order of one shot); which polarity comes first does not matter (with
%   R >= 2 kernels it is found from the first slice: the k-space of each polarity is
%   completed from the lines of both, taking the first acquired line as read with the
%   polarity of even's first line, and when the two completed images then disagree by more
%   than 2 %, also the other way; the way they agree better is kept, and the next slices
%   start from it, trying the other way only when they disagree by more than twice as much).
%
%   Output:
%     E       complex double, the target's extents: the ghost-corrected coil images of
%             every frame (image space), its missing lines filled in. Lines that no kernel
%             reaches (beyond a partial-Fourier edge, before the first or after the last
%             acquired line) stay zero in k-space before the transform: E is then as blurred
%             along the lines as a zero-filled partial-Fourier image.
%
%   Errors (MATLAB errors; nothing is assigned):
%     tarvo:apply:nargin, tarvo:apply:nargout   wrong number of inputs or outputs
%     tarvo:apply:option        an option name that is not text or not an option, or
%                               without a value
%     tarvo:apply:notStruct     K is not a struct array
%     tarvo:apply:missingField  K lacks dk, pattern or coef
%     tarvo:apply:dk, tarvo:apply:pattern   kernels other than a calibration of the module
%                               fits, or not in its order
%     tarvo:apply:coef          coef not double, or not 10*L x L for the target's L coils
%     tarvo:apply:slices        numel(K) is not P times the target's third extent
%     tarvo:apply:lines         'Lines' not whole numbers from 1 to N, ascending, or
%                               acquired lines that the kernels cannot serve (fewer than 2,
%                               or a spacing beyond the R of K): the message names the
%                               spacing found and the one allowed
%     tarvo:apply:target        target not complex double, or with an empty frame
%     tarvo:apply:tooLarge      an extent, or a frame's element count, beyond 2^31 - 1
%     tarvo:apply:memory        not enough memory
%     tarvo:apply:failed        a step of the correction failed (detail on standard error)
%
%   Memory: frames are corrected one after the other, each on all threads
%   (TARVO_NUM_THREADS sets the count); the scratch is a few frames, whatever the length of
%   the series.
%
%   Example: correct a series of T frames
%     [~, ~, K] = tarvo(even, odd);          % calibration pair, M x N x Z x L each
%     save('kernels.mat', 'K');              % the kernels may be kept and reused
%     S = load('kernels.mat');
%     E = tarvo_apply(S.K, series);          % series: M x N x Z x L x T
%     rss = sqrt(sum(abs(E(:, :, 1, :, 5)).^2, 4));   % slice 1 of frame 5
%
%   Example: an R = 2 series (every other line acquired, the others zero)
%     K = tarvo_calibrate(even, odd, 'R', 2);
%     E = tarvo_apply(K, series, 'Lines', 2:2:N);
%
%   See also tarvo_calibrate, tarvo, tarvo_correct_file, tarvo_phantom, tarvo_demo.
function varargout = tarvo_apply(varargin) %#ok<STOUT>
  error('tarvo:notBuilt', ['tarvo_apply: the compiled module is not on the path (only its ' ...
        'help text, %s, is). Build it with build_tarvo in MATLAB or Octave, or for Octave ' ...
        'run bash tools/demo.sh in the repository and addpath its build-demo/matlab folder.'], ...
        mfilename('fullpath'));
end
