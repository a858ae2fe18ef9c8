function files = talvek_design(venueFile, outFolder, stem)
% TALVEK_DESIGN  Design the steering filters for a venue file and write the processor files.
%
%   talvek_design(venueFile, outFolder)
%   talvek_design(venueFile, outFolder, stem)
%   files = talvek_design(...)
%
% Reads the venue file (the JSON venue files of the talvek command line: the
% model, its height and tilt, the audience lines), runs the library's own
% optimiser for it and writes <stem>_box<k>.bef for every box and
% <stem>_SFR.bin into outFolder (created when missing; relative to the current
% folder). stem defaults to the venue file's name without its extension.
% files lists the written files.
%
% The files are those of `talvek design VENUE -o OUTDIR --no-voicing`: the
% design as optimised. The voicing (level correction per frequency), the
% refinement, the predicted levels, report.json and the plots are made by the
% Python command line only.
%
% A venue that cannot be used raises talvek:venue with "file: field: problem";
% a failure of the library raises talvek:<Export> with the library's text.
%
% See also talvek, talvek_models.

  if nargin < 2 || nargin > 3
    error('talvek:venue', 'usage: talvek_design(venueFile, outFolder[, stem])');
  end
  if ~ischar(venueFile) || ~ischar(outFolder)
    error('talvek:venue', 'talvek_design: venueFile and outFolder must be text');
  end
  [~, base] = fileparts(venueFile);
  if nargin < 3
    stem = base;
  end
  venue = read_venue(venueFile);

  if exist(outFolder, 'dir') ~= 7
    [ok, message] = mkdir(outFolder);
    if ~ok
      error('talvek:venue', '%s: cannot create the output folder (%s)', outFolder, message);
    end
  end

  talvek('Initial_Check');
  talvek('MatLabInit');
  talvek('Setup_Speaker', venue.model);
  try
    talvek('Optimizer', venue.height, venue.tilt, venue.items, venue.inactiveAsZero, venue.p9);
  catch err
    explain_out_of_sight(err, venue, venueFile);
  end
  talvek('Write_Files', outFolder, stem);

  if nargout > 0
    m = talvek_models();
    boxes = size(m(venue.model).boxes, 1);
    files = [arrayfun(@(k) fullfile(outFolder, sprintf('%s_box%d.bef', stem, k)), 1:boxes, ...
                      'UniformOutput', false), {fullfile(outFolder, [stem '_SFR.bin'])}];
  end
end

% An optimisation refused for an end behind the column's front plane: the
% library's text, then which line and end it is. The plane passes through the
% column axis, so a point (x, z) is behind it when x cos(tilt) + (z - height)
% sin(tilt) < 0, whichever driver section it is seen from.
function explain_out_of_sight(err, venue, file)
  t = venue.tilt * pi / 180;
  ends = {'from', 'to'};
  for k = 1:size(venue.items, 1)
    for e = 1:2
      x = venue.items(k, e);
      z = venue.items(k, 2 + e);
      if x * cos(t) + (z - venue.height) * sin(t) < 0
        error(err.identifier, '%s audience[%d] "%s" (%s): its ''%s'' end (%g, %g) m lies behind the column''s front plane', ...
              err.message, k, venue.names{k}, file, ends{e}, x, z);
      end
    end
  end
  rethrow(err);
end

% ------------------------------------------------------------------ the venue file

function v = read_venue(file)
  fid = fopen(file, 'r');
  if fid < 0
    if exist(file, 'dir') == 7
      fail(file, '', 'is a folder, not a venue file');
    end
    fail(file, '', 'no such venue file');
  end
  fclose(fid);
  text = fileread(file);
  try
    d = jsondecode(text);
  catch err
    fail(file, '', ['not valid JSON: ' err.message]);
  end
  if ~isstruct(d) || ~isscalar(d)
    fail(file, '', 'the venue file must hold one JSON object');
  end
  % The room shapes the prediction, which stays in Python: accepted, not used here.
  only_fields(file, d, '', {'name', 'model', 'height', 'tilt', 'audience', 'options', 'section', 'room'});
  for key = {'model', 'height', 'audience'}
    if ~isfield(d, key{1})
      fail(file, '', sprintf('"%s" is missing', key{1}));
    end
  end

  v.model = model_number(file, d.model);
  v.height = number(file, d, 'height', -10000, 10000, ' m');
  v.tilt = 0;
  if isfield(d, 'tilt')
    v.tilt = number(file, d, 'tilt', -90, 90, ' degrees');
  end

  % Inactive lines are left out of the fit (or asked for silence), so they
  % need no level; the optimiser still gets one, 0.
  items = d.audience;
  if isstruct(items)
    items = num2cell(items);
  end
  if ~iscell(items) || isempty(items)
    fail(file, 'audience', 'expected a non-empty list of audience lines');
  end
  v.items = zeros(numel(items), 7);
  v.names = cell(1, numel(items));
  for k = 1:numel(items)
    where = sprintf('audience[%d]', k);
    a = items{k};
    if ~isstruct(a) || ~isscalar(a)
      fail(file, where, 'expected an object with from, to and level');
    end
    only_fields(file, a, where, {'name', 'from', 'to', 'level', 'active'});
    v.names{k} = sprintf('line %d', k);
    if isfield(a, 'name')
      if ~ischar(a.name)
        fail(file, [where '.name'], 'expected a text');
      end
      v.names{k} = a.name;
    end
    active = true;
    if isfield(a, 'active')
      if ~islogical(a.active) || ~isscalar(a.active)
        fail(file, [where '.active'], 'expected true or false');
      end
      active = a.active;
    end
    p = point(file, a, 'from', where);
    q = point(file, a, 'to', where);
    if isequal(p, q)
      fail(file, [where '.to'], 'the line has no length (from and to are the same point)');
    end
    level = [0 0];
    if isfield(a, 'level')
      level = a.level(:)';
      if ~isnumeric(level) || ~any(numel(level) == [1 2]) || any(~isfinite(level)) || any(level < 0 | level > 200)
        fail(file, [where '.level'], 'expected a level or [level at from, level at to] in dB SPL, 0 to 200');
      end
      if isscalar(level)
        level = [level level];
      end
    elseif active
      fail(file, where, '"level" is missing');
    end
    v.items(k, :) = [p(1) q(1) p(2) q(2) level double(active)];
  end
  if ~any(v.items(:, 7))
    fail(file, 'audience', 'no audience line is active; nothing to cover');
  end

  % The library runs ceil(10 p9) woofer iterations; n - 0.5 keeps 10 p9 clear
  % of an integer so that rounding cannot add one.
  v.inactiveAsZero = 0;
  v.p9 = 0;
  if isfield(d, 'options')
    o = d.options;
    if ~isstruct(o) || ~isscalar(o)
      fail(file, 'options', 'expected an object');
    end
    only_fields(file, o, 'options', {'inactive_as_zero', 'woofer_iterations'});
    if isfield(o, 'inactive_as_zero')
      if ~islogical(o.inactive_as_zero) || ~isscalar(o.inactive_as_zero)
        fail(file, 'options.inactive_as_zero', 'expected true or false');
      end
      v.inactiveAsZero = double(o.inactive_as_zero);
    end
    if isfield(o, 'woofer_iterations')
      n = o.woofer_iterations;
      if ~isnumeric(n) || ~isscalar(n) || n ~= fix(n) || n < 1 || n > 1000
        fail(file, 'options.woofer_iterations', 'expected a whole number 1 to 1000');
      end
      v.p9 = (n - 0.5) / 10;
    end
  end
end

function k = model_number(file, model)
  m = talvek_models();
  k = [];
  if ischar(model)
    name = strtrim(model);
    k = find(strcmpi(name, {m.name}));
    if isempty(k) && ~isempty(regexp(name, '^\d+$', 'once'))
      model = str2double(name);
    end
  end
  if isnumeric(model) && isscalar(model) && any(model == [m.number])
    k = model;
  end
  if isempty(k)
    known = strjoin(arrayfun(@(x) sprintf('%d %s', x.number, x.name), m, 'UniformOutput', false), ', ');
    fail(file, 'model', sprintf('unknown model (known: %s)', known));
  end
end

function x = number(file, s, key, lo, hi, unit)
  x = s.(key);
  if ~isnumeric(x) || ~isscalar(x) || ~isfinite(x)
    fail(file, key, sprintf('expected a number in%s', unit));
  end
  if x < lo || x > hi
    fail(file, key, sprintf('%g is outside %g to %g%s', x, lo, hi, unit));
  end
end

function p = point(file, a, key, where)
  if ~isfield(a, key)
    fail(file, where, sprintf('"%s" is missing', key));
  end
  p = a.(key);
  if ~isnumeric(p) || numel(p) ~= 2 || any(~isfinite(p)) || any(abs(p) > 10000)
    fail(file, [where '.' key], 'expected an end point [x, z] in metres');
  end
  p = p(:)';
end

function only_fields(file, s, where, allowed)
  extra = setdiff(fieldnames(s), allowed);
  if ~isempty(extra)
    path = extra{1};
    if ~isempty(where)
      path = [where '.' path];
    end
    fail(file, path, 'unknown field');
  end
end

function fail(file, field, problem)
  if isempty(field)
    error('talvek:venue', '%s: %s', file, problem);
  end
  error('talvek:venue', '%s: %s: %s', file, field, problem);
end
