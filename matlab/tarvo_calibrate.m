% TARVO_CALIBRATE  Fit the kernels that correct a series, for full or accelerated frames.
%
%   K = tarvo_calibrate(even, odd)
%   K = tarvo_calibrate(even, odd, 'R', R)
%   [K, fits] = tarvo_calibrate(...)
%
%   The polarity-reversed calibration pair is acquired once; tarvo_apply(K, target) then
%   corrects any number of single-polarity frames with the kernels K. With R = 1 (the
%   default) K is exactly output 3 of tarvo(even, odd), bit for bit. With R = 2, 3 or 4 the
%   kernels also serve frames acquired with in-plane acceleration R (every R-th line, with or
%   without partial Fourier and a fully sampled central block): tarvo_apply fills their
%   missing lines in the same step.
%
%   Inputs:
%     even, odd  complex double k-space, M x N x ... x L (the extents between the second and
%                the last are folded into Z slices), the same slices acquired with opposite
%                readout polarity, every line read. N may be the N of the frames to correct
%                (a full calibration pair) or fewer: a central block of their lines (for
%                example 24 or 32 of 96). No training equation crosses the block's first or
%                last line. The pair needs at least 2R + 1 lines (a kernel wider than a
%                shorter pair, up to 4R + 1 lines, is left out: its coef is zero). For R >= 2
%                its first line in even should be read with the polarity of the first
%                acquired line of a frame (tarvo_apply tries the other way when the result
%                shows it is not).
%   Options (name-value pairs, names in any case):
%     'R'        the acceleration of the frames to correct, a whole number from 1 to 4
%                (default 1).
%
%   Outputs:
%     K          P x Z struct array, P kernels per slice (1, 28, 48, 72 for R = 1 .. 4):
%                K(p, z) is kernel p of slice z, with fields
%                  dk       R = 1: 2, the spacing of its two lines; R >= 2: twice the widest
%                           gap between the lines it reads (2 .. 2R)
%                  pattern  its text. R = 1: '*x*' (the line between two acquired lines).
%                           R >= 2: a kernel completes the k-space of one readout polarity
%                           from acquired lines of both; its text is that polarity ('+' or
%                           '-'), ':', then one character a line from its lowest source line
%                           to its highest: '+' or '-' a source line read with that polarity,
%                           '*' the predicted line itself read with the other polarity, 'x'
%                           the predicted line when not acquired, 'o' a line not read (e.g.
%                           '+:-+*+-', '+:-o+x-o+')
%                  coef     its 5 S L x L complex weights, S its source lines (S = 2 for R = 1)
%                K may be saved (save -v7, or -v7.3) and loaded back for tarvo_apply.
%     fits       P x Z struct array, how each kernel was fitted:
%                  equations      training equations (per coil; 0 for a kernel left
%                                 out, whose coef is zero)
%                  unknowns       weights solved for (per coil)
%                  whole_readout  1 when it trained on every readout sample (a small block
%                                 gives few equations), 0 when on the central part
%                  ridge          the Tikhonov term added to its normal matrix's diagonal
%                                 (0 for R = 1)
%                Nothing is printed on the console: fits is the detailed report.
%
%   Errors (MATLAB errors; nothing is assigned):
%     tarvo:calibrate:nargin, tarvo:calibrate:nargout   wrong number of inputs or outputs
%     tarvo:calibrate:even, tarvo:calibrate:odd   not complex double, fewer than 3 extents,
%                               empty, or odd's extents other than even's
%     tarvo:calibrate:tooLarge  an extent or the element count beyond 2^31 - 1
%     tarvo:calibrate:option    an option name that is not text or not an option, or
%                               without a value
%     tarvo:calibrate:R         R not a whole number from 1 to 4
%     tarvo:calibrate:lines     the pair has too few lines for the kernels of R
%     tarvo:calibrate:memory    not enough memory
%     tarvo:calibrate:failed    a step of the fit failed (detail on standard error)
%
%   Example: an R = 2 series with a 32-line central calibration block
%     K = tarvo_calibrate(even, odd, 'R', 2);   % even, odd: M x 32 x Z x L
%     E = tarvo_apply(K, series);               % series: M x N x Z x L x T, zero-filled
%
%   See also tarvo_apply, tarvo, tarvo_phantom, tarvo_demo.
function varargout = tarvo_calibrate(varargin) %#ok<STOUT>
  error('tarvo:notBuilt', ['tarvo_calibrate: the compiled module is not on the path (only ' ...
        'its help text, %s, is). Build it with build_tarvo in MATLAB or Octave, or for Octave ' ...
        'run bash tools/demo.sh in the repository and addpath its build-demo/matlab folder.'], ...
        mfilename('fullpath'));
end
