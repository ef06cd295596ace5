% tarvo_soak (calls): `calls` calls of the module in this one Octave process (default 1000),
% cycling through every error path the console reports and good calls of two sizes, each good
% call followed by tarvo_apply on a two-frame series with its kernels and each bad call by a
% tarvo_apply call that raises one of its errors. Checked: the process survives; every bad
% call prints exactly its message (or raises its error) and assigns nothing; every good call
% gives the same bits as the first call of its size; the resident memory (VmRSS) at the end is
% within 5 % of the resident memory after the first 50 calls.
function tarvo_soak (calls)
  if (nargin < 1)
    calls = 1000;
  end
  [e1, o1] = tarvo_phantom (32, 32, 2, 4);
  [e2, o2] = tarvo_phantom (24, 30, 3, 2);
  t2 = o2 * exp (0.3i);
  good = {{e1, o1}, {e2, o2, t2}};
  series = {cat(5, o1, o1 * 1i), cat(5, t2, o2)};
  [~, ~, K1] = tarvo (e1, o1);
  bad_K = K1;
  bad_K(1).coef = single (bad_K(1).coef);
  % {inputs of tarvo_apply, error identifier}
  bad_apply = {{K1},                          "tarvo:apply:nargin";
               {o1, series{1}},               "tarvo:apply:notStruct";
               {rmfield(K1, "dk"), series{1}}, "tarvo:apply:missingField";
               {bad_K, series{1}},            "tarvo:apply:coef";
               {K1, series{2}},               "tarvo:apply:slices";
               {K1, real(series{1})},         "tarvo:apply:target"};

  ext = @(e) sprintf ("\t (in:[ %d %d %d %d ]) \n", e);
  msg1 = "error with 1st input: Need to declare a complex M-by-N-by-...-by-L array for the input data.\n";
  msg2 = strrep (msg1, "1st", "2nd");
  msg3 = "error with 3nd input: Need to declare a complex M-by-N-by-Z-by-L array for the input data.\n";
  few = ["At least 3 input arguments are required. (k:measured k-space, Y: associated list of " ...
         "acquired phase encode lines, sz: size of output coil maps)"];
  failed = "tarvo: tarvo_interleave_frames failed; no outputs were assigned\n";
  s = [32 32 2 4];
  % {inputs, nargout, exact console text}
  bad = {{},                          1, few;
         {e1},                        3, few;
         {e1, o1},                    4, "Too many output arguments.";
         {real(e1), o1},              3, [msg1 ext(s)];
         {single(e1), o1},            1, [msg1 ext(s)];
         {e1(:, :, 1, 1), o1},        2, [msg1 ext([32 32 1 1])];
         {int32(real(e1)), o1},       1, [msg1 ext(s)];
         {"text", o1},                1, [msg1 ext([1 4 1 1])];
         {struct("a", 1), o1},        1, [msg1 ext([1 1 1 1])];
         {true(4, 4, 2), o1},         1, [msg1 ext([4 4 2 1])];
         {e1, real(o1)},              3, [msg2 ext(s)];
         {e1, {o1}},                  3, [msg2 ext([1 1 1 1])];
         {e1, o2},                    3, "Error: input matrix size mismatch - A: [  32 ... ] vs B: [  24 ... ]\n";
         {e1, o1(:, :, 1, :)},        3, "Error: input matrix size mismatch - A: [  2 ... ] vs B: [  1 ... ]\n";
         {e1, o1, e1(:, :, :, 1)},    3, [msg3 ext([32 32 2 1])];
         {e1, o1, real(e1)},          1, [msg3 ext(s)];
         {e1, o1, reshape(e1, [32 32 2 2 2])}, 1, [msg3 ext([32 32 2 2])];
         {e1, o1, e2},                1, "Error: input matrix size mismatch - A: [ 1st input: 32 ... ] vs B: [ 3rd input: 24 ... ]\n";
         {complex(zeros(0, 8, 2)), o1},  1, [msg1 ext([0 8 2 1])];
         {e1(1:2, 1:2, :, :), o1(1:2, 1:2, :, :), complex(zeros(32, 32, 0, 4))}, 1, [msg3 ext([32 32 0 4])];
         {complex(ones(32768, 2, 2)), complex(ones(32768, 2, 2))}, 1, failed};

  reference = cell (1, 2);
  nbad = rows (bad);
  for k = 1:calls
    if (mod (k, 2) == 1)
      b = bad(mod ((k - 1) / 2, nbad) + 1, :);
      outs = cell (1, b{2});
      text = evalc ("[outs{:}] = tarvo (b{1}{:});", "");
      check (strcmp (text, b{3}), "call %d printed \"%s\", expected \"%s\"", k, text, b{3});
      check (all (cellfun (@isempty, outs)), "call %d assigned an output", k);
      a = bad_apply(mod ((k - 1) / 2, rows (bad_apply)) + 1, :);
      clear Es;
      try
        Es = tarvo_apply (a{1}{:});
        check (false, "call %d: tarvo_apply raised no error", k);
      catch err
        check (strcmp (err.identifier, a{2}), "call %d: tarvo_apply raised %s, expected %s", ...
               k, err.identifier, a{2});
      end
      check (! exist ("Es", "var"), "call %d: tarvo_apply assigned its output", k);
    else
      g = mod (k / 2 - 1, 2) + 1;
      [E, F, K] = tarvo (good{g}{:});
      Es = tarvo_apply (K, series{g});
      if (isempty (reference{g}))
        reference{g} = {E, F, K, Es};
      else
        check (isequal (reference{g}, {E, F, K, Es}), "call %d: the result changed", k);
      end
      clear E F K Es;
    end
    if (k == min (50, calls))
      base = rss_kb ();
    end
  end
  final = rss_kb ();
  printf ("tarvo_soak: %d calls; VmRSS %d kB after 50 calls, %d kB after %d (%+.2f %%)\n", ...
          calls, base, final, calls, 100 * (final - base) / base);
  check (final <= 1.05 * base, "resident memory grew from %d kB to %d kB", base, final);
  printf ("tarvo_soak: all checks passed\n");
end

function kb = rss_kb ()
  status = fileread ("/proc/self/status");
  kb = sscanf (status(strfind (status, "VmRSS:") + 6:end), "%d", 1);
end

function check (ok, varargin)
  if (! ok)
    error ("tarvo_soak: %s", sprintf (varargin{:}));
  end
end
