// The results page's pure logic: the files of a finished design as it lists them (the top
// folder first, then one group per column's subfolder, a system's, and in a group the formats
// of one figure side by side) and how far a running design is. Loaded by the page and by Node's
// test runner alike.
(function (root, make) {
  const api = make();
  if (typeof module === "object" && module.exports) module.exports = api;
  else root.TalvekResults = api;
})(typeof self !== "undefined" ? self : this, function () {
  "use strict";

  const FIGURE_FORMATS = ["png", "svg", "pdf"];

  function split(path) {
    const cut = path.lastIndexOf("/");
    return cut < 0 ? ["", path] : [path.slice(0, cut), path.slice(cut + 1)];
  }

  function figureStem(name) {
    const m = /^(.*)\.(png|svg|pdf)$/.exec(name);
    return m && name !== "report.pdf" ? m[1] : null;
  }

  // [{folder, entries}], entries a list of lists of paths: one path each, or a figure's formats
  // (png, svg, pdf) together. Folders follow `order` (the system's columns), then the rest by name.
  function fileGroups(files, order) {
    const groups = new Map([["", []]]);
    for (const folder of order || []) groups.set(folder, []);
    for (const path of [...files].sort()) {
      const [folder] = split(path);
      if (!groups.has(folder)) groups.set(folder, []);
      groups.get(folder).push(path);
    }
    const out = [];
    for (const [folder, paths] of groups) {
      if (!paths.length) continue;
      const entries = [], byStem = new Map();
      for (const path of paths) {
        const stem = figureStem(split(path)[1]);
        if (stem !== null && byStem.has(stem)) { byStem.get(stem).push(path); continue; }
        const entry = [path];
        if (stem !== null) byStem.set(stem, entry);
        entries.push(entry);
      }
      for (const entry of entries) {
        entry.sort((a, b) => FIGURE_FORMATS.indexOf(a.split(".").pop()) - FIGURE_FORMATS.indexOf(b.split(".").pop()));
      }
      out.push({ folder, entries });
    }
    return out;
  }

  // The top folder's PNG figures not among `shown` (the page's own tabs), by name.
  function otherFigures(files, shown) {
    return [...files].filter((p) => !p.includes("/") && p.endsWith(".png") && !shown.includes(p)).sort();
  }

  // How far a design job is, 0..1, for its bar. A system's job names its column, [position, count]:
  // the columns are optimised one after the other (no count of points), then their levels predicted
  // one after the other, so one bar runs over the whole system instead of starting again per column.
  function progressFraction(job) {
    if (job.state === "done") return 1;
    const share = job.total ? job.done / job.total : 0;
    if (!Array.isArray(job.column)) return job.total ? 0.15 + 0.75 * share : job.stage === "optimising" ? 0.08 : 0.02;
    const [position, count] = job.column;
    if (!job.total) return 0.08 + 0.22 * (position - 1) / count;
    return 0.3 + 0.65 * (position - 1 + share) / count;
  }

  return { FIGURE_FORMATS, fileGroups, otherFigures, figureStem, progressFraction };
});
