// The page's edits of a venue's columns (node --test; run by test_editor_js.py).
"use strict";
const test = require("node:test");
const assert = require("node:assert/strict");
const fs = require("node:fs");
const path = require("node:path");

const STATIC = path.join(__dirname, "..", "..", "talvek", "editor", "static");
const C = require(path.join(STATIC, "columns.js"));
const { venueText } = require(path.join(STATIC, "venue_text.js"));

const single = () => ({
  name: "Hall", model: "Vexal16", height: 1.5, tilt: 2,
  audience: [{ name: "floor", from: [2, 1.2], to: [12, 1.2], level: 80 },
    { name: "gallery", from: [8, 4], to: [14, 5], level: 78, active: false }],
  options: { inactive_as_zero: true }, room: { volume: 900, rt60: 1.2 }, section: { x: [0, 16], z: [0, 8] },
});

test("single -> columns -> single gives the document back, every field kept", () => {
  const there = C.toColumns(single()).doc;
  assert.deepEqual(there.columns, [{ name: "column 1", model: "Vexal16", x: 0, height: 1.5, tilt: 2, serves: ["floor", "gallery"] }]);
  assert.ok(!("model" in there) && !("height" in there) && !("tilt" in there));
  assert.deepEqual(C.toSingle(there).doc, single());
  // and as text: the columns venue is written one column per line
  assert.match(venueText(there), /\n  "columns": \[\n    \{"name": "column 1", "model": "Vexal16", "x": 0, .*\}\n  \],\n/);
});

test("lines get the reader's names, made unique, so that serves can name them", () => {
  const doc = single();
  doc.audience[1].name = "floor";
  doc.audience.push({ from: [1, 1], to: [2, 1], level: 70 });
  const names = C.toColumns(doc).doc.audience.map((a) => a.name);
  assert.deepEqual(names, ["floor", "floor (2)", "line 3"]);
});

test("a column away from x = 0 or facing -x goes back as the shifted or mirrored section", () => {
  const doc = C.toColumns(single()).doc;
  Object.assign(doc.columns[0], { x: 20, facing: "-x" });
  const back = C.toSingle(doc).doc;
  // 20 - x: the far end of the floor, 12 m, is 8 m in front of the column
  assert.deepEqual(back.audience.map((a) => [a.from[0], a.to[0]]), [[18, 8], [12, 6]]);
  assert.deepEqual(back.section, { x: [4, 20], z: [0, 8] });
  assert.equal(back.tilt, 2);
});

test("what the single form cannot say is refused with the reason", () => {
  const cases = [
    [(d) => d.columns.push({ name: "b", x: 10 }), /only a venue of one column/],
    [(d) => { d.columns[0].delay_ms = 12; }, /delay_ms/],
    [(d) => { d.columns[0].gain_db = -3; }, /gain_db/],
    [(d) => { d.columns[0].serves = ["floor"]; }, /does not serve "gallery"/],
    [(d) => { d.columns[0].x = "1O"; }, /as a number/],
  ];
  for (const [edit, reason] of cases) {
    const doc = C.toColumns(single()).doc;
    edit(doc);
    const out = C.toSingle(doc);
    assert.equal(out.doc, undefined);
    assert.match(out.problem, reason);
  }
});

test("add, drag and remove a column", () => {
  const doc = C.toColumns(single()).doc;
  doc.audience.push({ name: "far", from: [18, 1.2], to: [30, 1.2], level: 80 },
    { name: "near", from: [3, 1.2], to: [16, 1.2], level: 80 }); // starts behind x = 15
  doc.columns[0].serves = ["floor", "gallery"];
  const k = C.addColumn(doc);
  assert.equal(k, 1);
  assert.deepEqual(doc.columns[1], { name: "column 2", model: "Vexal16", x: 15, height: 1.5, tilt: 2, serves: ["far"] });
  assert.deepEqual(C.moveColumn(doc, 1, 17.0249, 2.4751), doc.columns[1]);
  assert.deepEqual([doc.columns[1].x, doc.columns[1].height], [17, 2.5]); // the 5 cm grid
  assert.equal(C.removeColumn(doc, 0), true);
  assert.equal(C.removeColumn(doc, 0), false); // the last stays
  assert.deepEqual(doc.columns.map((c) => c.name), ["column 2"]);
});

test("serves follows the audience's order, renames and removals", () => {
  const doc = C.toColumns(single()).doc;
  doc.columns[0].serves = ["typo"];
  assert.deepEqual(C.setServed(doc, 0, "gallery", true), ["gallery", "typo"]);
  assert.deepEqual(C.setServed(doc, 0, "floor", true), ["floor", "gallery", "typo"]);
  C.renameLine(doc, "gallery", "balcony");
  doc.audience[1].name = "balcony";
  assert.deepEqual(C.setServed(doc, 0, "typo", false), ["floor", "balcony"]);
  doc.audience.splice(0, 1);
  C.forgetLine(doc, "floor");
  assert.deepEqual(doc.columns[0].serves, ["balcony"]);
});

test("behind the front plane, either way and tilted", () => {
  // A column at x = 10, tilted 30 degrees up: its front plane's normal is (s cos 30, sin 30).
  for (const [facing, point, behind] of [
    ["+x", [9.9, 2], true], ["+x", [10.1, 2], false], ["-x", [9.9, 2], false], ["-x", [10.1, 2], true],
    // (-1, +1.8) from the base: -cos30 + 1.8 sin30 = 0.034 > 0, in front of a +x column
    ["+x", [9, 3.8], false], ["-x", [11, 3.8], false], ["+x", [9, 3.6], true],
  ]) {
    assert.equal(C.isBehind({ x: 10, height: 2, tilt: 30, facing }, point), behind, `${facing} ${point}`);
  }
  const doc = C.toColumns(single()).doc;
  doc.columns[0].x = 5;
  assert.deepEqual([...C.behindEnds(doc)].sort(), ["0:from"]);
  assert.equal(C.behindEnds(single()).size, 0); // the single form: the server's reader says it
});

test("the top end leans back from where the column faces", () => {
  const a = C.shape({ x: 4, height: 1, tilt: 90, facing: "-x" }, 2);
  assert.deepEqual(a.top.map((v) => Number(v.toFixed(9))), [6, 1]);
  assert.deepEqual(a.aim.map((v) => Number(v.toFixed(9))), [-0, 1]);
});

test("every bundled example survives the page's text unchanged", () => {
  const folder = path.join(__dirname, "..", "..", "..", "examples");
  for (const name of fs.readdirSync(folder).filter((n) => n.endsWith(".json"))) {
    const doc = JSON.parse(fs.readFileSync(path.join(folder, name), "utf8"));
    assert.deepEqual(JSON.parse(venueText(doc)), doc, name);
  }
});
