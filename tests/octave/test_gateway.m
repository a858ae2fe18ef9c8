% Every export through the gateway, against the Python host's results
% (reference.py, in the folder TALVEK_OCTAVE_REFERENCE): the processor files
% of a design byte for byte, the responses and sound power bit for bit; the
% SFIO record round trip; the library's texts for calls out of order.
% Run by CTest in a fresh octave-cli, with the gateway's folder on the path.
1;

function expect_error(id, message, varargin)
  try
    talvek(varargin{:});
  catch err
    assert(err.identifier, id);
    assert(err.message, message);
    return;
  end
  error('test:noError', 'talvek(''%s'') did not fail', varargin{1});
end

function v = raw(name, rows)
  fid = fopen(fullfile(getenv('TALVEK_OCTAVE_REFERENCE'), [name '.bin']), 'r', 'ieee-le');
  v = fread(fid, Inf, 'double');
  fclose(fid);
  v = reshape(v, rows, []);
end

function same_files(expected, actual, stem)
  listing = dir(fullfile(expected, [stem '_*']));
  names = sort({listing.name});
  assert(numel(names) >= 2, sprintf('no reference files for %s', stem));
  got = dir(fullfile(actual, [stem '_*']));
  assert(sort({got.name}), names);
  for k = 1:numel(names)
    a = fopen(fullfile(expected, names{k}), 'r'); x = fread(a, Inf, 'uint8=>uint8'); fclose(a);
    b = fopen(fullfile(actual, names{k}), 'r'); y = fread(b, Inf, 'uint8=>uint8'); fclose(b);
    assert(isequal(x, y), sprintf('%s differs from the Python design', names{k}));
  end
end

function remove_folder(folder)
  confirm_recursive_rmdir(false, 'local');
  rmdir(folder, 's');
end

source = getenv('TALVEK_SOURCE_DIR');
reference = getenv('TALVEK_OCTAVE_REFERENCE');
work = tempname();
mkdir(work);
cleanup = onCleanup(@() remove_folder(work));
start = pwd();

% ---- out of order, in a fresh process: each export names what is missing
expect_error('talvek:Get_Nchannels', 'Talvek_Get_Nchannels: no steering design yet; run Talvek_Optimizer first.', ...
             'Get_Nchannels');
expect_error('talvek:Get_Frequencies', 'Talvek_Get_Frequencies: call Talvek_MatLabInit first.', 'Get_Frequencies');
talvek('Initial_Check');
talvek('MatLabInit');
expect_error('talvek:Optimizer', 'Talvek_Optimizer: call Talvek_Setup_Speaker first.', ...
             'Optimizer', 3.2, 0, [2 20 1.2 1.2 80 80 1], 0, 0);
expect_error('talvek:Greens', 'Talvek_Greens: call Talvek_Setup_Speaker first.', 'Greens', 3.2, 0, 5, 1.2, 1, 1);
expect_error('talvek:Put_SFIO_and_design_SFs', ...
             'You must call Talvek_Setup_Speaker before loading up a Steering Filter set', ...
             'Put_SFIO_and_design_SFs', struct('arraytype', 4, 'wf', struct('freq', 100, 'H', 1), ...
                                               'tw', struct('freq', [], 'H', [])));
talvek('Setup_Speaker', 4);
expect_error('talvek:Get_SFIO', 'You must run at least one optimization before you can read a valid SFIO struct', ...
             'Get_SFIO');
expect_error('talvek:SF_Response', 'Talvek_SF_Response: no steering design yet; run Talvek_Optimizer first.', ...
             'SF_Response', [100 1000]);
expect_error('talvek:Write_Files', 'Talvek_Write_Files: no steering design yet; run Talvek_Optimizer first.', ...
             'Write_Files', work, 'x');
f = talvek('Get_Frequencies');
assert(size(f), [1 215]);
assert(f(1), 50, 1e-9);
assert(f(end), 24000, 1e-6);

% ---- designs: the processor files of the Python command line's --no-voicing design
talvek_design(fullfile(source, 'tests', 'octave', 'vexal8_options.json'), fullfile(work, 'one-way'));
same_files(fullfile(reference, 'cli'), fullfile(work, 'one-way'), 'vexal8_options');
[nwf, ntw] = talvek('Get_Nchannels');
assert([nwf ntw], [8 0]);
[Hwf, Htw] = talvek('SF_Response', [100 1000]);
assert(size(Hwf), [8 2]);
assert(size(Htw), [0 2]);
one_way = talvek('Get_SFIO');
assert(size(one_way.tw.H), [0 0]);
talvek('Put_SFIO_and_design_SFs', one_way);
assert(isequal(talvek('Get_SFIO'), one_way));

% The folder relative to the current one, without a trailing separator.
cd(work);
talvek_design(fullfile(source, 'examples', 'church_nave.json'), 'church');
cd(start);
same_files(fullfile(reference, 'cli'), fullfile(work, 'church'), 'church_nave');

% ---- the SFIO record: Get -> Put -> Get is exact, and so is the design it gives
sfio = talvek('Get_SFIO');
assert(sfio.arraytype, 4);
assert(size(sfio.wf.H), [16 numel(sfio.wf.freq)]);
assert(size(sfio.tw.H), [16 numel(sfio.tw.freq)]);
talvek('Put_SFIO_and_design_SFs', sfio);
again = talvek('Get_SFIO');
assert(isequal(again, sfio));
mkdir(fullfile(work, 'redesign'));
talvek('Write_Files', fullfile(work, 'redesign'), 'church_nave');
same_files(fullfile(reference, 'cli'), fullfile(work, 'redesign'), 'church_nave');

% ---- responses and sound power agree with the Python binding to the last bit
freq = raw('f', 1);
[Hwf, Htw] = talvek('SF_Response', freq);
assert(isequal(real(Hwf), raw('sf_wf_re', 16)) && isequal(imag(Hwf), raw('sf_wf_im', 16)));
assert(isequal(real(Htw), raw('sf_tw_re', 16)) && isequal(imag(Htw), raw('sf_tw_im', 16)));
[Hcol, ~] = talvek('SF_Response', freq(:));      % a column of frequencies gives the same
assert(isequal(Hcol, Hwf));
x = raw('greens_x', 1);
z = raw('greens_z', 1);
[power, headroom] = talvek('Greens', 3.2, 0, x, z, 3, 200);
assert(isequal(power, raw('greens_power', 198)));
assert(isequal(headroom, raw('greens_headroom', 1)));

% ---- the library's own texts for what it refuses
expect_error('talvek:Greens', 'Frequency indices 3 to 1 are not an ascending range within the model''s 215 frequencies.', ...
             'Greens', 3.2, 0, 5, 1.2, 3, 1);
expect_error('talvek:Greens', 'Talvek_Greens: pointCount must be at least 1.', 'Greens', 3.2, 0, [], [], 1, 1);
expect_error('talvek:Optimizer', 'At least one VI is out of sight.', ...
             'Optimizer', 3.2, 0, [-2 -20 1.2 1.2 80 80 1], 0, 0);
expect_error('talvek:Optimizer', 'Talvek_Optimizer: iteration control p9 must be at most 100.', ...
             'Optimizer', 3.2, 0, [2 20 1.2 1.2 80 80 1], 0, 101);
expect_error('talvek:Optimizer', 'Talvek_Optimizer: the venue table has no items.', ...
             'Optimizer', 3.2, 0, zeros(0, 7), 0, 0);
assert(isequal(talvek('Get_SFIO'), sfio), 'a refused call changed the design');
wrong = sfio;
wrong.arraytype = 1;
expect_error('talvek:Put_SFIO_and_design_SFs', 'New SFIO does not match presently loaded Vexal model', ...
             'Put_SFIO_and_design_SFs', wrong);
bad_folder = fullfile(work, 'missing', 'deeper');
try
  talvek('Write_Files', bad_folder, 'church_nave');
  error('test:noError', 'Write_Files into a missing folder did not fail');
catch err
  assert(err.identifier, 'talvek:Write_Files');
  assert(strncmp(err.message, ['Unable to create file ' bad_folder '/church_nave'], numel(bad_folder) + 34));
end
expect_error('talvek:Setup_Speaker', 'Unable to open zip file data.', 'Setup_Speaker', 11);
talvek('MatLabClose');
disp('test_gateway: passed');
