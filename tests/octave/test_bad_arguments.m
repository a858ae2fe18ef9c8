% Arguments the gateway refuses: each raises talvek:<Export>:argument (or
% talvek:argument for the function name) with a message naming the problem,
% the process lives on, the design the library holds is unchanged, and the
% next valid call works. Run by CTest in a fresh octave-cli.
1;

source = getenv('TALVEK_SOURCE_DIR');
work = tempname();
talvek_design(fullfile(source, 'examples', 'church_nave.json'), work);
confirm_recursive_rmdir(false);
rmdir(work, 's');
design = talvek('Get_SFIO');
[nwf, ntw] = talvek('Get_Nchannels');

table = [2.5 26 1.2 1.2 78 76 1; 28 34 2.1 2.1 74 74 1];
table_nan = table;    table_nan(1, 2) = NaN;   % element 3, column by column
sfio_bad_H = design;  sfio_bad_H.wf.H = design.wf.H(:, 1:end-1);
sfio_nan = design;    sfio_nan.tw.H(3, 5) = NaN;
sfio_no_tw = rmfield(design, 'tw');
sfio_text_freq = design;  sfio_text_freq.wf.freq = 'abc';
sfio_half = design;   sfio_half.arraytype = 4.5;

% {expected identifier, part of the message, the call's arguments...}
cases = {
  'talvek:argument',                        'names the function',      {}
  'talvek:argument',                        'names the function',      {42}
  'talvek:argument',                        'unknown function ''Nope''', {'Nope'}
  'talvek:argument',                        'unknown function ''Get_Error''', {'Get_Error'}
  'talvek:Setup_Speaker:argument',          'takes 1 argument',        {'Setup_Speaker'}
  'talvek:Setup_Speaker:argument',          'got char',                {'Setup_Speaker', '4'}
  'talvek:Setup_Speaker:argument',          'must be real',            {'Setup_Speaker', 4 + 1i}
  'talvek:Setup_Speaker:argument',          'got cell',                {'Setup_Speaker', {4}}
  'talvek:Setup_Speaker:argument',          'got int32',               {'Setup_Speaker', int32(4)}
  'talvek:Setup_Speaker:argument',          'sparse',                  {'Setup_Speaker', sparse(4)}
  'talvek:Setup_Speaker:argument',          'must be a scalar',        {'Setup_Speaker', [4 4]}
  'talvek:Setup_Speaker:argument',          'must be finite',          {'Setup_Speaker', NaN}
  'talvek:Optimizer:argument',              'takes 5 arguments',       {'Optimizer', 3.2, 0, table, 0}
  'talvek:Optimizer:argument',              'must be n x 7',           {'Optimizer', 3.2, 0, table(:, 1:6), 0, 0}
  'talvek:Optimizer:argument',              'must be n x 7',           {'Optimizer', 3.2, 0, ones(2, 7, 2), 0, 0}
  'talvek:Optimizer:argument',              'element 3 is NaN',        {'Optimizer', 3.2, 0, table_nan, 0, 0}
  'talvek:Optimizer:argument',              'height must be finite',   {'Optimizer', Inf, 0, table, 0, 0}
  'talvek:Optimizer:argument',              'p9 must be finite',       {'Optimizer', 3.2, 0, table, 0, NaN}
  'talvek:Optimizer:argument',              'got a sparse matrix',     {'Optimizer', 3.2, 0, sparse(table), 0, 0}
  'talvek:Optimizer:argument',              'must be real',            {'Optimizer', 3.2, 0, table * 1i, 0, 0}
  'talvek:Optimizer:argument',              'got char',                {'Optimizer', 3.2, 'up', table, 0, 0}
  'talvek:Get_Nchannels:argument',          'returns 2 values',        {'Get_Nchannels'}
  'talvek:SF_Response:argument',            'must be a vector',        {'SF_Response', ones(3, 3)}
  'talvek:SF_Response:argument',            'must be real',            {'SF_Response', [100 200i]}
  'talvek:Greens:argument',                 'as many elements (3 and 2)', {'Greens', 3.2, 0, [5 6 7], [1 1], 1, 2}
  'talvek:Greens:argument',                 'x must be finite',        {'Greens', 3.2, 0, [5 NaN], [1 1], 1, 2}
  'talvek:Greens:argument',                 'first must be finite',    {'Greens', 3.2, 0, 5, 1, NaN, 2}
  'talvek:Greens:argument',                 'spans 1e+09 frequencies', {'Greens', 3.2, 0, 5, 1, 1, 1e9}
  'talvek:Greens:argument',                 'got logical',             {'Greens', 3.2, 0, true, 1, 1, 2}
  'talvek:Put_SFIO_and_design_SFs:argument', 'must be a 1 x 1 struct', {'Put_SFIO_and_design_SFs', 4}
  'talvek:Put_SFIO_and_design_SFs:argument', 'must be a 1 x 1 struct', {'Put_SFIO_and_design_SFs', [design design]}
  'talvek:Put_SFIO_and_design_SFs:argument', 'has no field ''tw''',    {'Put_SFIO_and_design_SFs', sfio_no_tw}
  'talvek:Put_SFIO_and_design_SFs:argument', 'sfio.wf.H is 16 x',      {'Put_SFIO_and_design_SFs', sfio_bad_H}
  'talvek:Put_SFIO_and_design_SFs:argument', 'sfio.tw.H(3, 5) is not finite', {'Put_SFIO_and_design_SFs', sfio_nan}
  'talvek:Put_SFIO_and_design_SFs:argument', 'sfio.wf.freq must be a real double vector', {'Put_SFIO_and_design_SFs', sfio_text_freq}
  'talvek:Put_SFIO_and_design_SFs:argument', 'whole number, got 4.5', {'Put_SFIO_and_design_SFs', sfio_half}
  'talvek:Write_Files:argument',            'must be a character row vector', {'Write_Files', 5, 'x'}
  'talvek:Write_Files:argument',            'must be a character row vector', {'Write_Files', ['ab'; 'cd'], 'x'}
  'talvek:Write_Files:argument',            'stem must be a file name', {'Write_Files', tempdir, 'a/b'}
  'talvek:Model_Dir:argument',              'does not exist',          {'Model_Dir', fullfile(tempdir, 'no-such-models')}
  'talvek:Model_Dir:argument',              'takes 0 to 1 arguments',  {'Model_Dir', 'a', 'b'}
};

for k = 1:rows(cases)
  [id, fragment, args] = cases{k, :};
  outputs = 0;
  if strcmp(id, 'talvek:Get_Nchannels:argument')
    outputs = 3;
  end
  try
    if outputs
      [a, b, c] = talvek(args{:});
    else
      talvek(args{:});
    end
    error('test:noError', 'case %d did not fail', k);
  catch err
    assert(strcmp(err.identifier, id), sprintf('case %d: %s: %s', k, err.identifier, err.message));
    assert(~isempty(strfind(err.message, fragment)), ...
           sprintf('case %d: "%s" does not say "%s"', k, err.message, fragment));
  end
  % The next valid call works, and nothing reached the library's state.
  [w, t] = talvek('Get_Nchannels');
  assert(isequal([w t], [nwf ntw]), sprintf('case %d', k));
end
assert(isequal(talvek('Get_SFIO'), design), 'a refused call changed the design');
[Hwf, Htw] = talvek('SF_Response', [100 1000]);
assert(size(Hwf), [nwf 2]);

% A model folder that does not exist, named by the environment.
saved = getenv('TALVEK_MODEL_DIR');
setenv('TALVEK_MODEL_DIR', fullfile(tempdir, 'no-such-models'));
try
  talvek('Setup_Speaker', 4);
  error('test:noError', 'a missing model folder was accepted');
catch err
  assert(err.identifier, 'talvek:Setup_Speaker:folder');
end
setenv('TALVEK_MODEL_DIR', saved);
assert(isequal(talvek('Get_SFIO'), design));

% Venue files the M-file cannot use: one line naming file, field and problem.
venue = [tempname() '.json'];
fid = fopen(venue, 'w');
fprintf(fid, '{"model": "Vexal8", "height": 3, "audience": [{"name": "behind", "from": [1, 1], "to": [-5, 1], "level": 80}]}');
fclose(fid);
try
  talvek_design(venue, tempname());
  error('test:noError', 'an end behind the column was accepted');
catch err
  assert(err.identifier, 'talvek:Optimizer');
  assert(err.message, sprintf(['At least one VI is out of sight. audience[1] "behind" (%s): its ''to'' end ' ...
                               '(-5, 1) m lies behind the column''s front plane'], venue));
end
talvek('Setup_Speaker', 4);   % the failed design left the Vexal8 loaded
% A venue file the M-file cannot use: one line naming file, field and problem.
venue = [tempname() '.json'];
fid = fopen(venue, 'w');
fprintf(fid, '{"model": "Vexal99", "height": 3, "audience": [{"from": [1, 1], "to": [5, 1], "level": 80}]}');
fclose(fid);
try
  talvek_design(venue, tempname());
  error('test:noError', 'an unknown model was accepted');
catch err
  assert(err.identifier, 'talvek:venue');
  assert(strncmp(err.message, [venue ': model: unknown model'], numel(venue) + 22), err.message);
end
delete(venue);
assert(isequal(talvek('Get_SFIO'), design));
disp('test_bad_arguments: passed');
