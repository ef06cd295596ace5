% TARVO_GHOST_RATIO  Ghost-to-signal ratio of multi-coil images.
%
%   g = tarvo_ghost_ratio(images, object)
%
%   images: M x N x Z x L coil images; object: M x N x Z logical support of the object. On the
%   root-sum-of-squares image of every slice, g is the mean over the ghost region (the object
%   shifted by N/2 along the lines, where it does not overlap the object) divided by the
%   mean over the object.
function g = tarvo_ghost_ratio(images, object)
  rss = sqrt(sum(abs(images) .^ 2, 4));
  N = size(object, 2);
  ghost = circshift(object, floor(N / 2), 2) & ~object;
  g = mean(rss(ghost)) / mean(rss(object));
end
