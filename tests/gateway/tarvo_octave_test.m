% The module in a real host (octave-cli): message paths in statement forms with their text,
% nlhs 0, `help tarvo`, the demo's ghost reduction, the .mat entry point, tarvo_apply, and the
% outputs (extents and bits) against the test host's.
%   hostrun: the test-host runner program; work: a scratch folder.
% Fails (error) on the first wrong result.
function tarvo_octave_test (hostrun, work)
  check (strcmp (which ('tarvo')(end-3:end), '.mex'), 'tarvo resolves to %s', which ('tarvo'));
  if (! exist (work, 'dir'))
    mkdir (work);
  end
  messages ();
  help_text ();
  demo (work);
  mat_file (work);
  same_as_test_host (hostrun, work);
  apply_series (work);
  printf ('tarvo_octave_test: all checks passed\n');
end

% Every message with its input table is read in tarvo_soak; here a few in the statement forms
% (nargout 0 included) whose variables and `ans` must stay unassigned, and the extents only a
% real host can give.
function messages ()
  too_few = ['At least 3 input arguments are required. (k:measured k-space, Y: associated ' ...
             'list of acquired phase encode lines, sz: size of output coil maps)'];
  first = "error with 1st input: Need to declare a complex M-by-N-by-...-by-L array for the input data.\n";
  second = strrep (first, '1st', '2nd');
  line = @(e) sprintf ("\t (in:[ %d %d %d %d ]) \n", e);
  [even, odd] = tarvo_phantom (16, 12, 2, 3);

  expect ('tarvo ()', too_few);
  expect ('[a, b, c, d] = tarvo (even, odd)', 'Too many output arguments.');
  in = single (even);
  expect ('tarvo (in, in)', [first line([16 12 2 3])]);
  % Extents the host holds in 64 bits: an extent beyond 32 bits cannot be shown (-1); an
  % element count beyond it is refused with the input's pair (sparse: no memory needed).
  in = sparse (3e9, 1);
  expect ('E = tarvo (in, odd)', ["mxGetDimensions_700: extent 1 (3000000000) does not fit a 32-bit integer\n" ...
                                   first line([-1 -1 -1 -1])]);
  in = sparse (65536, 65536);
  expect ('E = tarvo (even, in)', [second line([65536 65536 1 1])]);
  expect ('[E, F, K] = tarvo (even, odd, even(1:8, :, :, :))', ...
          "Error: input matrix size mismatch - A: [ 1st input: 16 ... ] vs B: [ 3rd input: 8 ... ]\n");

  % No outputs requested: the calibration runs, nothing is printed or returned.
  clear ans;
  msg = evalc ('tarvo (even, odd);');
  check (isempty (msg), 'nargout 0 printed "%s"', msg);
  check (! exist ('ans', 'var'), 'nargout 0 returned a value');
end

% Runs `statement` (an assignment that must fail, or a call), captures the console, and
% checks the text and that no variable was assigned.
function expect (statement, text)
  evalin ('caller', 'clear E F K a b c d ans');
  evalin ('caller', sprintf ('expect_text__ = evalc (''try, %s; catch, end'');', ...
                             strrep (statement, '''', '''''')));
  for v = {'ans', 'E', 'F', 'K', 'a', 'b', 'c', 'd'}   % ans first: evalin itself sets it
    check (! evalin ('caller', sprintf ('exist (''%s'', ''var'')', v{1})), ...
           '%s assigned %s', statement, v{1});
  end
  msg = evalin ('caller', 'expect_text__');
  evalin ('caller', 'clear expect_text__ ans');
  check (strcmp (msg, text), '%s printed "%s", expected "%s"', statement, msg, text);
end

function help_text ()
  text = evalc ('help tarvo');
  check (! isempty (strfind (text, 'TARVO  Remove the Nyquist (N/2) ghost')), 'help text: %s', text);
  check (! isempty (strfind (text, '[E, F, K] = tarvo(even, odd, target)')), 'help lacks the usage');
  check (! isempty (strfind (text, 'Too many output arguments.')), 'help lacks the messages');
  % Without the module on the path tarvo.m itself runs and says how to build the module.
  module = fileparts (which ('tarvo'));
  rmpath (module);
  unwind_protect
    msg = '';
    try
      tarvo (1, 2);
    catch err
      msg = err.message;
    end_try_catch
  unwind_protect_cleanup
    addpath (module);
  end_unwind_protect
  check (! isempty (strfind (msg, 'build_tarvo')), 'tarvo.m alone said "%s"', msg);
end

function demo (work)
  text = evalc ('r = tarvo_demo (fullfile (work, ''demo''), [64 64 2 4]);');
  check (r.before > 0.1, 'the phantom has no ghost (%g)', r.before);
  check (r.after < r.before / 100, 'ghost-to-signal %g before, %g after', r.before, r.after);
  check (! isempty (strfind (text, sprintf ('%.4f', r.before))), 'demo output: %s', text);
  picture = imread (r.png);
  check (isequal (size (picture), 2 * [64, 64 + 4 + 64]), 'figure is %s', mat2str (size (picture)));
  check (max (picture(:)) == 255 && min (picture(:)) == 0, 'figure grey scale');
  % The R = 2 case: its missing lines filled in, the ghost and the aliasing gone.
  check (r.r2.error < 0.05 && r.r2.after < r.r2.before / 100, 'R = 2: error %g, ghost %g -> %g', ...
         r.r2.error, r.r2.before, r.r2.after);
  check (isequal (size (imread (r.r2.png)), 2 * [64, 3 * 64 + 8]), 'R = 2 figure');
end

function mat_file (work)
  [even, odd] = tarvo_phantom (16, 12, 2, 3);
  target = even;
  in = fullfile (work, 'acquired.mat');
  save ('-v7', in, 'even', 'odd', 'target');
  evalc ('out = tarvo_correct_file (in);');
  check (strcmp (out, fullfile (work, 'acquired_tarvo.mat')), 'written to %s', out);
  S = load (out);
  [E, F, K] = tarvo (even, odd, target);
  check (bits_equal (S.E, E) && bits_equal (S.F, F) && isequal (S.K, K), '.mat results differ');
  odd = odd(:, :, 1, :);
  save ('-v7', in, 'even', 'odd');
  delete (out);
  msg = evalc ('try, tarvo_correct_file (in); catch err, end');
  check (! isempty (strfind (msg, 'Error: input matrix size mismatch')), 'printed "%s"', msg);
  check (! isempty (strfind (err.message, 'nothing was written')) && ! exist (out, 'file'), ...
         'a refused file: %s', err.message);
end

% tarvo_apply: every frame of a series bit for bit the whole call's E, kernels through a .mat
% file, and the module unloaded and loaded again (its errors are read in tarvo_soak).
function apply_series (work)
  [even, odd] = tarvo_phantom (24, 16, 2, 3);
  series = cat (5, odd, odd * exp (0.2i), 1i * even);
  [~, ~, K] = tarvo (even, odd);
  E = tarvo_apply (K, series);
  check (isequal (size (E), size (series)), 'tarvo_apply: E is %s', mat2str (size (E)));
  for t = 1:size (series, 5)
    check (bits_equal (E(:, :, :, :, t), tarvo (even, odd, series(:, :, :, :, t))), ...
           'tarvo_apply: frame %d differs from the whole call', t);
  end
  file = fullfile (work, 'kernels.mat');
  save ('-v7', file, 'K');
  S = load (file);
  check (bits_equal (tarvo_apply (S.K, series), E), 'tarvo_apply: kernels from a .mat file');
  clear mex;
  check (bits_equal (tarvo_apply (K, series), E), 'tarvo_apply after clear mex');
  clear functions;
  check (bits_equal (tarvo_apply (K, series), E), 'tarvo_apply after clear functions');
end

% The same inputs through the test host (tarvo_hostrun) and through Octave: identical bits.
function same_as_test_host (hostrun, work)
  [even, odd] = tarvo_phantom (24, 20, 4, 3);
  even = reshape (even, 24, 20, 2, 2, 3);   % folded by both hosts
  odd = reshape (odd, 24, 20, 2, 2, 3);
  target = reshape (odd, 24, 20, 4, 3) .* exp (0.3i);
  for inputs = {{even, odd}, {even, odd, target}}
    in = inputs{1};
    folder = fullfile (work, sprintf ('hostrun%d', numel (in)));
    if (! exist (folder, 'dir'))
      mkdir (folder);
    end
    for k = 1:numel (in)
      write_array (fullfile (folder, sprintf ('in%d.bin', k)), in{k});
    end
    [status, text] = system (sprintf ('"%s" "%s"', hostrun, folder));
    check (status == 0 && isempty (text), 'tarvo_hostrun: status %d, "%s"', status, text);
    [E, F, K] = tarvo (in{:});
    check (bits_equal (E, read_array (fullfile (folder, 'out1.bin'))), 'output 1 differs');
    check (bits_equal (F, read_array (fullfile (folder, 'out2.bin'))), 'output 2 differs');
    f = fopen (fullfile (folder, 'out3.bin'), 'r');
    Z = fread (f, 1, 'int32');
    check (Z == numel (K), 'output 3 has %d elements on the test host', Z);
    for z = 1:Z
      dk = fread (f, 1, 'double');
      pattern = char (fread (f, fread (f, 1, 'int32'), 'char')');
      coef = read_array (f);
      check (dk == K(z).dk && strcmp (pattern, K(z).pattern) && bits_equal (coef, K(z).coef), ...
             'kernel of slice %d differs', z);
    end
    fclose (f);
  end
end

function write_array (file, x)
  f = fopen (file, 'w');
  fwrite (f, [ndims(x), size(x)], 'int32');
  fwrite (f, real (x(:)), 'double');
  fwrite (f, imag (x(:)), 'double');
  fclose (f);
end

function x = read_array (file)
  if (ischar (file))
    f = fopen (file, 'r');
    x = read_array (f);
    fclose (f);
    return;
  end
  n = fread (file, 1, 'int32');
  dims = fread (file, n, 'int32')';
  re = fread (file, prod (dims), 'double');
  im = fread (file, prod (dims), 'double');
  x = reshape (complex (re, im), dims);
end

% Same extents, and every real and imaginary part the same 64 bits (NaN, -0 included).
function ok = bits_equal (a, b)
  ok = isequal (size (a), size (b)) && ...
       isequal (typecast (real (a(:)), 'uint64'), typecast (real (b(:)), 'uint64')) && ...
       isequal (typecast (imag (a(:)), 'uint64'), typecast (imag (b(:)), 'uint64'));
end

function check (ok, varargin)
  if (! ok)
    error ('tarvo_octave_test: %s', sprintf (varargin{:}));
  end
end
