% BUILD_TARVO  Build the tarvo module from its C++ sources, in MATLAB or in GNU Octave.
%
%   build_tarvo          builds the module's MEX functions (tarvo, tarvo_apply,
%                        tarvo_calibrate, tarvo_prepare) into the folder of this file (next to
%                        their .m files)
%   build_tarvo(outdir)  builds them into outdir
%   file = build_tarvo(...) returns the path of the tarvo module built
%
%   In Octave the module is tarvo.mex, built with mkoctfile --mex (needs Octave's
%   development files, e.g. the Debian package octave-dev). In MATLAB it is tarvo.<mexext>,
%   built with mex and a C++20 compiler (mex -setup C++ selects one: GCC 10 or later, Clang 12
%   or later, Visual Studio 2019 16.10 or later). Either way the sources are compiled with the
%   32-bit-extent MEX interface that the module is written against and with separate real and
%   imaginary parts (mex -R2017b).
%
%   Keep tarvo.m in the same folder as the module: the module is what runs, tarvo.m gives
%   `help tarvo`.
function file = build_tarvo(outdir)
  here = fileparts(mfilename('fullpath'));
  root = fileparts(here);
  if (nargin < 1 || isempty(outdir))
    outdir = here;
  end
  if (~exist(outdir, 'dir'))
    mkdir(outdir);
  end

  sources = {};
  for layer = {'linalg', 'svd', 'fft', 'align', 'core', 'prepare'}
    listing = dir(fullfile(root, layer{1}, '*.cpp'));
    sources = [sources, cellfun(@(n) fullfile(root, layer{1}, n), {listing.name}, ...
                                'UniformOutput', false)]; %#ok<AGROW>
  end
  % Each MEX function of the module: its name and its gateway sources.
  modules = {'tarvo', {fullfile(root, 'gateway', 'volume_mx.cpp'), ...
                       fullfile(root, 'gateway', 'kernel_struct.cpp'), ...
                       fullfile(root, 'gateway', 'mex_entry.cpp')}; ...
             'tarvo_apply', {fullfile(root, 'gateway', 'apply_entry.cpp')}; ...
             'tarvo_calibrate', {fullfile(root, 'gateway', 'calibrate_entry.cpp'), ...
                                 fullfile(root, 'gateway', 'kernel_struct.cpp')}; ...
             'tarvo_prepare', {fullfile(root, 'gateway', 'prepare_entry.cpp')}};
  if (isempty(sources) || ~exist(modules{1, 2}{3}, 'file'))
    error('build_tarvo: the C++ sources were not found under %s', root);
  end
  files = cell(1, size(modules, 1));
  for m = 1:size(modules, 1)
    files{m} = build_one(modules{m, 1}, [sources, modules{m, 2}], root, outdir);
    fprintf('build_tarvo: built %s\n', files{m});
  end
  file = files{1};
  if (nargout == 0)
    clear file;
  end
end

function file = build_one(name, sources, root, outdir)
  if (exist('OCTAVE_VERSION', 'builtin'))
    file = fullfile(outdir, [name '.mex']);
    old = getenv('CXXFLAGS');
    setenv('CXXFLAGS', '-O2 -std=c++20 -fPIC');
    cleanup = onCleanup(@() setenv('CXXFLAGS', old));
    extra = {fullfile(root, 'gateway', 'mex_octave.cpp')};
    args = [{'--mex', '-DTARVO_MEX_OCTAVE', '-DTARVO_PREPARE_MODULE', ['-I' root]}, sources, ...
            extra, {'-o', file}];
    [output, status] = mkoctfile(args{:});
    if (status ~= 0)
      error('build_tarvo: mkoctfile failed:\n%s', output);
    end
    % Object files that mkoctfile leaves next to the sources or in the current folder.
    for s = [sources, extra]
      [~, base] = fileparts(s{1});
      for candidate = {fullfile(fileparts(s{1}), [base '.o']), [base '.o']}
        if (exist(candidate{1}, 'file'))
          delete(candidate{1});
        end
      end
    end
  else
    file = fullfile(outdir, [name '.' mexext]);
    compiler = mex.getCompilerConfigurations('C++', 'Selected');
    if (isempty(compiler))
      error('build_tarvo: no C++ compiler is selected for mex: run mex -setup C++');
    end
    if (~isempty(strfind(compiler.ShortName, 'MSVC')))
      std_flag = 'COMPFLAGS=$COMPFLAGS /std:c++20 /EHsc';
    else
      std_flag = 'CXXFLAGS=$CXXFLAGS -std=c++20';
    end
    mex('-R2017b', '-O', '-DTARVO_MEX_MATLAB', '-DTARVO_PREPARE_MODULE', ['-I' root], ...
        std_flag, sources{:}, ...
        '-outdir', outdir, '-output', name);
  end
end
