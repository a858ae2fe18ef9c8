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
