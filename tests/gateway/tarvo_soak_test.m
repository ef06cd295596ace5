% A soak in one Octave process: 200 calls alternating a bad call (each message path in turn)
% with a good call (two sizes in turn). The process survives, every bad call prints its exact
% message and assigns nothing, every good call gives the same bits as the first of its size,
% and the resident memory (VmRSS) does not grow once the first rounds have warmed the heap.
function tarvo_soak_test ()
  [e1, o1] = tarvo_phantom (64, 64, 2, 4);   % a volume: 0.5 MB
  [e2, o2] = tarvo_phantom (40, 48, 3, 4);
  good = {{e1, o1}, {e2, o2, e2}};
  line = @(e) sprintf ("\t (in:[ %d %d %d %d ]) \n", e);
  first = "error with 1st input: Need to declare a complex M-by-N-by-...-by-L array for the input data.\n";
  second = strrep (first, '1st', '2nd');
  third = "error with 3nd input: Need to declare a complex M-by-N-by-Z-by-L array for the input data.\n";
  bad = {{e1}, 1, ['At least 3 input arguments are required. (k:measured k-space, Y: ' ...
                   'associated list of acquired phase encode lines, sz: size of output coil maps)'];
         {e1, o1}, 4, 'Too many output arguments.';
         {real(e1), o1}, 3, [first line([64 64 2 4])];
         {e1, single(o1)}, 3, [second line([64 64 2 4])];
         {e1, o2}, 3, "Error: input matrix size mismatch - A: [  64 ... ] vs B: [  40 ... ]\n";
         {e1, o1, e1(:, :, :, 1)}, 3, [third line([64 64 2 1])];   % after a calibration
         {e2, o2, e1}, 1, "Error: input matrix size mismatch - A: [ 1st input: 40 ... ] vs B: [ 3rd input: 64 ... ]\n"};

  reference = cell (1, 2);
  calls = 200;
  for k = 1:calls
    if (mod (k, 2) == 1)
      b = bad(mod ((k - 1) / 2, rows (bad)) + 1, :);
      [text, assigned] = bad_call (b{1}, b{2});
      check (strcmp (text, b{3}), 'call %d printed "%s", expected "%s"', k, text, b{3});
      check (! assigned, 'call %d assigned an output', k);
    else
      g = mod (k / 2 - 1, 2) + 1;
      [E, F, K] = tarvo (good{g}{:});
      if (isempty (reference{g}))
        reference{g} = {E, F, K};
      else
        check (isequal (reference{g}, {E, F, K}), 'call %d: results changed', k);
      end
      clear E F K;
    end
    if (k == 60)
      base = rss_kb ();
    end
  end
  grown = rss_kb () - base;
  printf ('tarvo_soak_test: %d calls; VmRSS %d kB after 60 calls, %+d kB after %d\n', ...
          calls, base, grown, calls);
  % Octave's own heap moves by up to about 8 MB either way over such a run; leaking one
  % input copy (0.4 or 0.5 MB) per good call would add 70 x 0.4 MB or more.
  check (grown < 16384, 'resident memory grew by %d kB', grown);
  printf ('tarvo_soak_test: all checks passed\n');
end

function [text, assigned] = bad_call (in, nout)
  outs = cell (1, nout);
  text = evalc ('try, [outs{:}] = tarvo (in{:}); catch, end');
  assigned = any (! cellfun (@isempty, outs));
end

function kb = rss_kb ()
  status = fileread ('/proc/self/status');
  kb = sscanf (status(strfind (status, 'VmRSS:') + 6:end), '%d', 1);
end

function check (ok, varargin)
  if (! ok)
    error ('tarvo_soak_test: %s', sprintf (varargin{:}));
  end
end
