% TARVO_CORRECT_FILE  Correct the k-space stored in a .mat file and save the results.
%
%   tarvo_correct_file(infile)            writes <infile without .mat>_tarvo.mat
%   tarvo_correct_file(infile, outfile)
%   outfile = tarvo_correct_file(...)
%
%   infile holds the variables `even` and `odd` (complex double k-space, M x N x ... x L, see
%   help tarvo) and optionally `target`: one frame M x N x Z x L, or a series
%   M x N x Z x L x T. The function runs [E, F, K] = tarvo(even, odd[, target]); for a series
%   it calibrates once with the first frame as target and corrects every frame with
%   E = tarvo_apply(K, target) (F is then aligned against the first frame's E). E, F and K
%   are saved to outfile (MAT format 7; MATLAB switches to 7.3 for variables beyond 2 GB).
%   outfile must not be infile.
%   When tarvo refuses the data it has printed why; this function then raises an error and
%   writes nothing.
function outfile = tarvo_correct_file(infile, outfile)
  if (nargin < 1)
    error('tarvo_correct_file: usage: tarvo_correct_file(infile[, outfile])');
  end
  if (nargin < 2 || isempty(outfile))
    [folder, base] = fileparts(infile);
    outfile = fullfile(folder, [base '_tarvo.mat']);
  end
  if (strcmp(canonical(infile), canonical(outfile)))
    error('tarvo_correct_file: the output file must differ from the input file %s', infile);
  end
  names = who('-file', infile);
  missing = setdiff({'even', 'odd'}, names);
  if (~isempty(missing))
    error('tarvo_correct_file: %s lacks the variable(s) %s', infile, strjoin(missing, ', '));
  end
  data = load(infile, names{ismember(names, {'even', 'odd', 'target'})});

  series = [];
  if (isfield(data, 'target') && ndims(data.target) > 4)
    series = data.target;
    extents = size(series);
    frames = prod(extents(5:end));
    fprintf('tarvo_correct_file: correcting a series of %d frames (%s) calibrated on even and odd (%s)\n', ...
            frames, mat2str(size(series)), mat2str(size(data.even)));
    args = {data.even, data.odd, series(:, :, :, :, 1)};
  elseif (isfield(data, 'target'))
    fprintf('tarvo_correct_file: correcting target (%s) calibrated on even and odd (%s)\n', ...
            mat2str(size(data.target)), mat2str(size(data.even)));
    args = {data.even, data.odd, data.target};
  else
    fprintf('tarvo_correct_file: correcting odd, calibrated on even and odd (%s)\n', ...
            mat2str(size(data.even)));
    args = {data.even, data.odd};
  end
  clear data;
  t0 = tic;
  try
    [E, F, K] = tarvo(args{:}); %#ok<ASGLU>
  catch
    % tarvo prints its own message and assigns nothing; the host then fails the assignment.
    error('tarvo_correct_file: tarvo did not correct the data of %s (see its message above); nothing was written', infile);
  end
  if (~isempty(series))
    try
      E = tarvo_apply(K, series);
    catch err
      error('tarvo_correct_file: tarvo_apply did not correct the series of %s (%s); nothing was written', ...
            infile, err.message);
    end
  end
  seconds = toc(t0);
  clear args series;

  info = whos('E', 'F', 'K');
  if (~exist('OCTAVE_VERSION', 'builtin') && any([info.bytes] >= 2^31))
    save(outfile, 'E', 'F', 'K', '-v7.3');
  else
    save(outfile, 'E', 'F', 'K', '-v7');
  end
  fprintf('tarvo_correct_file: %.2f s; E (%s), F (%s) and K (1 x %d) written to %s\n', ...
          seconds, mat2str(size(E)), mat2str(size(F)), numel(K), outfile);
  if (nargout == 0)
    clear outfile;
  end
end

function p = canonical(file)
  [folder, base, ext] = fileparts(file);
  if (isempty(folder))
    folder = pwd;
  end
  if (exist(folder, 'dir'))
    old = cd(folder);
    folder = pwd;
    cd(old);
  end
  if (isempty(ext))
    ext = '.mat';
  end
  p = fullfile(folder, [base ext]);
end
