// The results page's list of a design's files (node --test; run by test_editor_js.py).
"use strict";
const test = require("node:test");
const assert = require("node:assert/strict");
const path = require("node:path");

const R = require(path.join(__dirname, "..", "..", "talvek", "editor", "static", "results.js"));

test("a system's files: the top folder, then each column's folder in the system's order", () => {
  const files = ["report.json", "report.pdf", "levels.svg", "levels.png", "coverage.pdf", "coverage.png",
    "b/b_SFR.bin", "b/report.json", "a/a_SFR.bin", "a/coverage.png", "a/coverage.svg"];
  assert.deepEqual(R.fileGroups(files, ["b", "a"]), [
    { folder: "", entries: [["coverage.png", "coverage.pdf"], ["levels.png", "levels.svg"], ["report.json"], ["report.pdf"]] },
    { folder: "b", entries: [["b/b_SFR.bin"], ["b/report.json"]] },
    { folder: "a", entries: [["a/a_SFR.bin"], ["a/coverage.png", "a/coverage.svg"]] },
  ]);
});

test("figures beyond the page's own tabs", () => {
  assert.deepEqual(R.otherFigures(["delays.png", "coverage.png", "a/x.png", "delays.svg"], ["coverage.png"]), ["delays.png"]);
});

test("a system's progress runs once over all its columns: optimised one by one, then predicted", () => {
  const at = (column, done, total) => R.progressFraction({ state: "running", stage: "", column, done, total });
  const steps = [at([1, 2], 0, 0), at([2, 2], 0, 0), at([1, 2], 0, 900), at([1, 2], 900, 900),
    at([2, 2], 0, 500), at([2, 2], 250, 500), at([2, 2], 500, 500)];
  for (let k = 1; k < steps.length; k++) assert.ok(steps[k] >= steps[k - 1], `step ${k}: ${steps}`);
  assert.ok(steps[steps.length - 1] < 1);
  assert.equal(R.progressFraction({ state: "done", column: [1, 2], done: 0, total: 900 }), 1);
  // A single design's bar as before: the prediction from 15 % to 90 %.
  assert.equal(R.progressFraction({ state: "running", stage: "predicting levels", done: 50, total: 100 }), 0.525);
});
