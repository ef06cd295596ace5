% TARVO_APPLY  Correct a whole series with the kernels of one tarvo calibration.
%
%   E = tarvo_apply(K, target)
%
%   The polarity-reversed calibration pair is acquired once; the frames of an fMRI run or a
%   diffusion scan are single-polarity frames of the same slices. tarvo(even, odd) fits the
%   kernels once and returns them as its third output K; tarvo_apply corrects any number of
%   frames with them, without fitting again. Each frame of E is, bit for bit, the E that
%   tarvo(even, odd, frame) returns.
%
%   Inputs:
%     K       the 1 x Z struct array returned by tarvo as output 3 (fields dk, pattern,
%             coef), as returned or loaded back from a .mat file.
%     target  complex double k-space, M x N x Z x L (one frame) or M x N x Z x L x T x ...:
%             every extent after the fourth is a frame index. Z must equal numel(K) and each
%             K(z).coef must be 10*L x L. Missing trailing extents count as 1.
%
%   Output:
%     E       complex double, the target's extents: the ghost-corrected coil images of
%             every frame (image space).
%
%   Errors (MATLAB errors; nothing is assigned):
%     tarvo:apply:nargin, tarvo:apply:nargout   wrong number of inputs or outputs
%     tarvo:apply:notStruct     K is not a struct array
%     tarvo:apply:missingField  K lacks dk, pattern or coef
%     tarvo:apply:dk, tarvo:apply:pattern   a kernel this module does not make (dk 2, '*x*')
%     tarvo:apply:coef          coef not double, or not 10*L x L for the target's L coils
%     tarvo:apply:slices        numel(K) differs from the target's third extent
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
%   See also tarvo, tarvo_correct_file, tarvo_demo.
function varargout = tarvo_apply(varargin) %#ok<STOUT>
  error('tarvo:notBuilt', ['tarvo_apply: the compiled module is not on the path (only its ' ...
        'help text, %s, is). Build it with build_tarvo in MATLAB or Octave, or for Octave ' ...
        'run bash tools/demo.sh in the repository and addpath its build-demo/matlab folder.'], ...
        mfilename('fullpath'));
end
