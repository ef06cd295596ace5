% The module unloaded by the host between calls (`clear mex`, `clear functions`, `clear all`)
% and called again: the same bits every time, and no worker threads piling up from one load to
% the next (the module's helpers are either kept with the module or joined when it goes).
% Fails (error) on the first wrong result.
function tarvo_octave_reload_test ()
  setenv ('TARVO_NUM_THREADS', '4');  % helpers even on a machine with one core
  [even, odd] = tarvo_phantom (16, 12, 2, 3);
  [E, F] = tarvo (even, odd);
  loaded = threads ();
  clears = {'clear mex', 'clear functions', 'clear all'};
  for k = 1:6
    evalin ('base', clears{mod (k - 1, 3) + 1});  % as typed at the prompt
    [E2, F2] = tarvo (even, odd);
    check (isequal (E2, E) && isequal (F2, F), 'other results after "%s"', clears{mod (k - 1, 3) + 1});
    check (threads () <= loaded, '%d threads after reload %d, %d after the first call', ...
           threads (), k, loaded);
  end
  unsetenv ('TARVO_NUM_THREADS');
  printf ('tarvo_octave_reload_test: all checks passed\n');
end

function n = threads ()
  status = fileread ('/proc/self/status');
  n = str2double (regexp (status, 'Threads:\s*(\d+)', 'tokens', 'once'){1});
end

function check (ok, varargin)
  if (! ok)
    error ('tarvo_octave_reload_test: %s', sprintf (varargin{:}));
  end
end
