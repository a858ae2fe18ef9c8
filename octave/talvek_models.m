function models = talvek_models(modelDir)
% TALVEK_MODELS  The bundled Vexal column models.
%
%   talvek_models()              prints the models with their channels and boxes
%   m = talvek_models()          returns them as a struct array with fields
%                                number, name, woofers, tweeters, boxes, present
%   m = talvek_models(modelDir)  looks for the archives in modelDir
%
% The model number is what talvek('Setup_Speaker', k) takes and what a venue
% file's "model" may give instead of the name. boxes has one row per box:
% first and last woofer channel, first and last tweeter channel (0 0 for a box
% without tweeters). present says whether the archive <name>.bin is in the
% model folder (talvek('Model_Dir'), or modelDir when given).

  six = [1 8 0 0; 9 16 0 0; 17 24 1 8; 25 32 9 16; 33 40 0 0; 41 48 0 0];
  table = {
     1, 'Vexal8',    [1 8 0 0]
     2, 'Vexal16',   [1 8 1 8]
     3, 'Vexal24',   [1 8 0 0; 9 16 1 8]
     4, 'Vexal32',   [1 8 1 8; 9 16 9 16]
     5, 'Vexal40',   [1 8 0 0; 9 16 1 8; 17 24 9 16]
     6, 'Vexal48',   [1 8 0 0; 9 16 1 8; 17 24 9 16; 25 32 0 0]
     7, 'Vexal64',   six
     8, 'Vexal80',   six
     9, 'Vexal56',   [1 8 0 0; 9 16 0 0; 17 24 1 8; 25 32 9 16; 33 40 0 0]
    10, 'Vexal32LS', [1 8 0 0; 9 16 1 8; 17 24 0 0]
  };

  if nargin < 1
    folder = '';
    try
      folder = talvek('Model_Dir');
    catch
      % no model folder found: every archive is reported missing
    end
  else
    folder = modelDir;
  end

  m = struct('number', table(:, 1), 'name', table(:, 2), 'boxes', table(:, 3));
  for k = 1:numel(m)
    m(k).woofers = max(m(k).boxes(:, 2));
    m(k).tweeters = max(m(k).boxes(:, 4));
    m(k).present = ~isempty(folder) && exist(fullfile(folder, [m(k).name '.bin']), 'file') == 2;
  end
  m = orderfields(m, {'number', 'name', 'woofers', 'tweeters', 'boxes', 'present'});

  if nargout > 0
    models = m;
    return;
  end
  fprintf(' #  model      woofers tweeters  boxes\n');
  for k = 1:numel(m)
    b = m(k).boxes;
    parts = arrayfun(@(r) box_text(b(r, :)), 1:size(b, 1), 'UniformOutput', false);
    tweeters = '-';
    if m(k).tweeters > 0
      tweeters = sprintf('%d', m(k).tweeters);
    end
    missing = '';
    if ~m(k).present
      missing = '  (archive missing)';
    end
    fprintf('%2d  %-10s %6d %7s  %s%s\n', m(k).number, m(k).name, m(k).woofers, tweeters, ...
           strjoin(parts, ', '), missing);
  end
  if isempty(folder)
    fprintf('model archives: not found\n');
  else
    fprintf('model archives: %s\n', folder);
  end
end

function s = box_text(row)
  s = sprintf('%d', row(2) - row(1) + 1);
  if row(3) > 0
    s = sprintf('%s+%d', s, row(4) - row(3) + 1);
  end
end
