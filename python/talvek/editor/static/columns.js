// The columns of a venue document: a venue holds either one column (top-level
// `model`, `height`, `tilt`, standing at x = 0 and facing +x) or a `columns`
// list, each column with its own place, way and audience lines it serves.
// These functions convert between the two forms and make the edits of the
// page (add, move, remove, serve), changing the document in place where they
// edit it. Pure functions, loaded by the page and by Node's test runner alike.
(function (root, make) {
  const api = make();
  if (typeof module === "object" && module.exports) module.exports = api;
  else root.TalvekColumns = api;
})(typeof self !== "undefined" ? self : this, function () {
  "use strict";

  const SNAP = 0.05;     // m, a dragged column lands on the grid of the audience line ends
  const SPACING = 15;    // m, a new column goes this far beyond the last one (a platform's pitch)
  const FACINGS = ["+x", "-x"];

  const isNum = (v) => typeof v === "number" && Number.isFinite(v);
  const snap = (v) => Math.round(v / SNAP) * SNAP;
  const tidy = (v) => Number(v.toFixed(3));
  const lines = (doc) => (Array.isArray(doc.audience) ? doc.audience : []);
  const isSystem = (doc) => Array.isArray(doc.columns);
  const sign = (col) => (col && col.facing === "-x" ? -1 : 1);

  // The name the venue reader gives line k (from 0): its own, or "line k+1".
  function lineName(item, k) {
    return item && typeof item.name === "string" ? item.name : `line ${k + 1}`;
  }

  function lineNames(doc) {
    return lines(doc).map(lineName);
  }

  // The columns to draw, in one shape for both forms; the single column stands at x = 0 facing +x.
  function columnsOf(doc) {
    if (isSystem(doc)) return doc.columns.map((c) => (c && typeof c === "object" ? c : {}));
    return [{ model: doc.model, x: 0, height: doc.height, tilt: doc.tilt }];
  }

  // Reference point (bottom end), top end and aim of a column of `length` m.
  function shape(col, length) {
    const s = sign(col);
    const x = isNum(col.x) ? col.x : 0;
    const h = isNum(col.height) ? col.height : 0;
    const t = (isNum(col.tilt) ? col.tilt : 0) * Math.PI / 180;
    return { base: [x, h], top: [x - s * length * Math.sin(t), h + length * Math.cos(t)], aim: [s * Math.cos(t), Math.sin(t)] };
  }

  // Behind the column's front plane, the plane through its axis: as the venue reader tests it.
  function isBehind(col, point) {
    const { base, aim } = shape(col, 0);
    return (point[0] - base[0]) * aim[0] + (point[1] - base[1]) * aim[1] < 0;
  }

  // Ends of served lines behind a column that serves them, as "k:from" / "k:to" (k from 0).
  function behindEnds(doc) {
    const out = new Set();
    if (!isSystem(doc)) return out;
    const names = lineNames(doc);
    for (const col of columnsOf(doc)) {
      if (!Array.isArray(col.serves)) continue;
      lines(doc).forEach((a, k) => {
        if (!col.serves.includes(names[k]) || !a) return;
        for (const end of ["from", "to"]) {
          const p = a[end];
          if (Array.isArray(p) && isNum(p[0]) && isNum(p[1]) && isBehind(col, p)) out.add(`${k}:${end}`);
        }
      });
    }
    return out;
  }

  function uniqueName(taken, base) {
    const used = new Set(taken);
    if (!used.has(base)) return base;
    for (let n = 2; ; n++) if (!used.has(`${base} (${n})`)) return `${base} (${n})`;
  }

  // The single-column venue as a `columns` venue of one column at x = 0 serving every line.
  // Audience lines get their names written out (and made unique), as serves lists name them.
  function toColumns(doc) {
    if (isSystem(doc)) return { doc };
    const names = [];
    const audience = lines(doc).map((a, k) => {
      if (!a || typeof a !== "object") return a;
      const name = uniqueName(names, lineName(a, k));
      names.push(name);
      return Object.assign({}, a, { name });
    });
    const column = { name: "column 1", model: doc.model, x: 0, height: doc.height, tilt: "tilt" in doc ? doc.tilt : 0, serves: names };
    if (column.model === undefined) delete column.model;
    if (column.height === undefined) delete column.height;
    const out = {};
    for (const [k, v] of Object.entries(doc)) {
      if (k === "model" || k === "height" || k === "tilt") {
        if (!("columns" in out)) out.columns = [column];
      } else out[k] = k === "audience" ? audience : v;
    }
    if (!("columns" in out)) out.columns = [column];
    return { doc: out };
  }

  // A `columns` venue of one column back in the single-column form. The column's place and way
  // move into the geometry (the section is shifted, and mirrored for a column facing -x), so the
  // column sees the same venue; its name, which names only its output folder, is dropped.
  // Refused, with the reason, where the single form cannot say the same thing.
  function toSingle(doc) {
    if (!isSystem(doc)) return { doc };
    if (doc.columns.length !== 1) return { problem: "only a venue of one column can be a single-column venue" };
    const col = doc.columns[0] || {};
    const label = typeof col.name === "string" ? `column "${col.name}"` : "the column";
    if (col.delay_ms !== undefined) return { problem: `${label} has a delay_ms; a single column has none, clear it first` };
    if (col.gain_db !== undefined && col.gain_db !== 0) return { problem: `${label} has a gain_db; a single column has none, clear it first` };
    if (col.facing !== undefined && !FACINGS.includes(col.facing)) return { problem: `${label} faces ${JSON.stringify(col.facing)}; choose +x or -x first` };
    const names = lineNames(doc);
    const serves = Array.isArray(col.serves) ? col.serves : [];
    const unserved = names.filter((n) => !serves.includes(n));
    if (unserved.length) return { problem: `${label} does not serve "${unserved[0]}"; a single column covers every line` };
    const x0 = col.x === undefined ? 0 : col.x;
    const s = sign(col);
    const move = (x) => tidy(s * (x - x0));
    const numeric = lines(doc).every((a) => a && ["from", "to"].every((e) => Array.isArray(a[e]) && isNum(a[e][0])));
    const sec = doc.section;
    const secX = sec && typeof sec === "object" && Array.isArray(sec.x) && sec.x.length === 2 ? sec.x : null;
    if ((x0 !== 0 || s < 0) && (!isNum(x0) || !numeric || (sec !== undefined && !(secX && secX.every(isNum))))) {
      return { problem: `${label} stands away from x = 0 or faces -x: give every position as a number first` };
    }
    const out = {};
    for (const [k, v] of Object.entries(doc)) {
      if (k === "columns") {
        if (col.model !== undefined) out.model = col.model;
        if (col.height !== undefined) out.height = col.height;
        if (col.tilt !== undefined) out.tilt = col.tilt;
      } else if (k === "audience" && (x0 !== 0 || s < 0)) {
        out.audience = v.map((a) => Object.assign({}, a, { from: [move(a.from[0]), a.from[1]], to: [move(a.to[0]), a.to[1]] }));
      } else if (k === "section" && secX && (x0 !== 0 || s < 0)) {
        const xs = secX.map(move).sort((a, b) => a - b);
        out.section = Object.assign({}, v, { x: xs });
      } else out[k] = v;
    }
    return { doc: out };
  }

  // A new column beyond the last, of the same model, mounting and way, serving the active
  // lines no column serves yet that lie wholly in front of it. Returns its index.
  function addColumn(doc) {
    const cols = doc.columns;
    const last = cols.length ? cols[cols.length - 1] : {};
    const col = { name: uniqueName(cols.map((c) => c && c.name), `column ${cols.length + 1}`) };
    if (last.model !== undefined) col.model = last.model;
    col.x = isNum(last.x) ? tidy(snap(last.x + sign(last) * SPACING)) : 0;
    col.height = isNum(last.height) ? last.height : 2;
    col.tilt = isNum(last.tilt) ? last.tilt : 0;
    if (last.facing === "-x") col.facing = "-x";
    const served = new Set(cols.flatMap((c) => (c && Array.isArray(c.serves) ? c.serves : [])));
    const names = lineNames(doc);
    col.serves = names.filter((n, k) => {
      const a = lines(doc)[k];
      return a && a.active !== false && !served.has(n) && ["from", "to"].every(
        (e) => Array.isArray(a[e]) && isNum(a[e][0]) && isNum(a[e][1]) && !isBehind(col, a[e]));
    });
    cols.push(col);
    return cols.length - 1;
  }

  // Remove column i; the last column stays (a venue needs one; convert it back instead).
  function removeColumn(doc, i) {
    if (doc.columns.length <= 1 || i < 0 || i >= doc.columns.length) return false;
    doc.columns.splice(i, 1);
    return true;
  }

  // Column i dragged to the point (x, z): its position and height, on the 5 cm grid.
  function moveColumn(doc, i, x, z) {
    const col = doc.columns[i];
    col.x = tidy(snap(x));
    col.height = tidy(snap(z));
    return col;
  }

  // Tick or untick a line in column i's serves list; the list follows the audience's order,
  // and names that are no line's (a misspelt one in the file) stay for the reader to name.
  function setServed(doc, i, name, on) {
    const col = doc.columns[i];
    const had = Array.isArray(col.serves) ? col.serves : [];
    const names = lineNames(doc);
    const want = new Set(had);
    if (on) want.add(name); else want.delete(name);
    col.serves = [...names.filter((n) => want.has(n)), ...had.filter((n) => !names.includes(n) && want.has(n))];
    col.serves = [...new Set(col.serves)];
    return col.serves;
  }

  // An audience line renamed: the serves lists follow it.
  function renameLine(doc, from, to) {
    if (!isSystem(doc) || from === to) return;
    for (const col of doc.columns) {
      if (col && Array.isArray(col.serves)) col.serves = col.serves.map((n) => (n === from ? to : n));
    }
  }

  // An audience line removed: no column serves it any more (unless another line has its name).
  function forgetLine(doc, name) {
    if (!isSystem(doc) || lineNames(doc).includes(name)) return;
    for (const col of doc.columns) {
      if (col && Array.isArray(col.serves)) col.serves = col.serves.filter((n) => n !== name);
    }
  }

  return { SNAP, SPACING, FACINGS, isSystem, lineName, lineNames, columnsOf, shape, isBehind, behindEnds,
    toColumns, toSingle, addColumn, removeColumn, moveColumn, setServed, renameLine, forgetLine, snap, tidy };
});
