% TARVO  Remove the Nyquist (N/2) ghost from multi-coil echo-planar k-space.
%
%   [E, F, K] = tarvo(even, odd)
%   [E, F, K] = tarvo(even, odd, target)
%
%   An echo-planar acquisition reads alternate phase-encode lines with opposite readout
%   polarity; the phase error between the two line sets shows as a ghost shifted by half the
%   field of view. tarvo takes the same slices acquired twice with the polarity reversed,
%   interleaves them into a ghost-free calibration k-space, fits a small linear-prediction
%   kernel per slice (each line of every coil predicted from its two neighbouring lines in all
%   coils over five readout samples), and corrects a volume with it: the volume is split into
%   its even and its odd lines, the missing lines of each half are synthesised with the
%   kernel, both halves are taken to image space, phase-aligned and averaged.
%
%   Inputs (complex double; real or single arrays are refused):
%     even    k-space of the first acquisition, M x N x ... x L: M readout samples, N
%             phase-encode lines, any number of slice extents, L coils (the last extent).
%             The slice extents are folded into one: M x N x Z1 x Z2 x L is read as
%             M x N x (Z1*Z2) x L, and M x N x L as M x N x 1 x L.
%     odd     k-space of the same slices with the readout polarity reversed; it must fold to
%             the same M x N x Z x L as even.
%     target  (optional) the k-space to correct, exactly M x N x Z x L (four dimensions, the
%             extents of even). Without it the odd frame is corrected. The calibration is
%             always made from even and odd.
%
%   Outputs (each computed only when requested; nargout 0 runs the calibration only):
%     E   M x N x Z x L complex double: the ghost-corrected coil images of target (of odd
%         when there is no target), image space, one M x N image per slice and coil.
%     F   M x N x Z x L complex double: the even frame corrected the same way, then
%         phase-aligned against E (E is returned as it was before that alignment).
%     K   1 x Z struct array, one element per slice, with the fields
%           dk       the line spacing of the kernel's source lines (2)
%           pattern  the kernel's line pattern, '*x*': two source lines, one target line
%           coef     the 10*L x L complex weights: row a + 2*(b + L*j) (from 0) is the weight
%                    of source line a, source coil b and readout offset j; column c is the
%                    target coil c.
%
%   Example:
%     [E, F, K] = tarvo(even, odd);
%     rss = sqrt(sum(abs(E(:, :, 1, :)).^2, 4));   % root-sum-of-squares image of slice 1
%     imagesc(rss); axis image; colormap gray
%
%   Messages. A call that cannot be made prints one of these and returns no output (it never
%   raises an error by itself; with an assignment such as E = tarvo(...) Octave or MATLAB
%   then reports that the output is undefined):
%     At least 3 input arguments are required. (k:measured k-space, ...)
%                    fewer than two inputs (two suffice; the text is historical)
%     Too many output arguments.
%                    more than three outputs requested
%     error with 1st input: Need to declare a complex M-by-N-by-...-by-L array for the
%     input data.
%          (in:[ M N Z L ])
%                    the first input is not complex double, has fewer than three
%                    dimensions, or has more than 2^31-1 elements; the line shows its first
%                    four extents (1 for those it lacks). Likewise "error with 2nd input".
%     Error: input matrix size mismatch - A: [  64 ... ] vs B: [  32 ... ]
%                    even and odd fold to different extents (the first differing one shown)
%     error with 3nd input: Need to declare a complex M-by-N-by-Z-by-L array for the
%     input data.
%                    the target is not complex double of exactly four dimensions (checked
%                    after the calibration has run)
%     Error: input matrix size mismatch - A: [ 1st input: 64 ... ] vs B: [ 3rd input: 32 ... ]
%                    the target's extents differ from those of even
%     tarvo: <step> failed; no outputs were assigned
%                    a step of the correction could not complete (in practice: memory);
%                    the step's own detail goes to the standard error stream
%
%   Threads. The call runs on all hardware threads of the machine (its own worker threads,
%   started and ended within the call; no MATLAB or Octave function is called from them). The
%   environment variable TARVO_NUM_THREADS, a whole number >= 1, sets another count, e.g.
%   setenv('TARVO_NUM_THREADS', '1') for a single-threaded call. The results are identical,
%   bit for bit, whatever the number of threads.
%
%   Building. This file holds the help text; the module itself is the compiled tarvo.mex
%   (Octave) or tarvo.mexa64 / tarvo.mexw64 / tarvo.mexmaci64 (MATLAB) in this folder. Build
%   it with build_tarvo (in MATLAB or Octave) or, for Octave, `bash tools/demo.sh` in the
%   repository. See also build_tarvo, tarvo_demo, tarvo_correct_file.
function varargout = tarvo(varargin) %#ok<STOUT>
  error('tarvo:notBuilt', ['tarvo: the compiled module is not on the path (only its help ' ...
        'text, %s, is). Build it with build_tarvo in MATLAB or Octave (it writes the module ' ...
        'next to build_tarvo.m, in the repository''s matlab folder), or for Octave run ' ...
        'bash tools/demo.sh in the repository and addpath its build-demo/matlab folder.'], ...
        mfilename('fullpath'));
end
