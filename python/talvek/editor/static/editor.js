// The venue editor page: the venue is kept as the JSON document of a venue file
// (`doc`); every edit redraws the section and asks the server to check the text,
// whose one-line message is shown next to the field it names. A venue holds one
// column (top-level model, height, tilt) or a `columns` list (columns.js).
"use strict";

const COLOURS = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"];
const ROOM_KEYS = ["volume", "rt60", "noise", "temperature", "humidity"];
const ROOM_FIELDS = { volume: "f-volume", rt60: "f-rt60", noise: "f-noise", temperature: "f-temperature", humidity: "f-humidity" };

const state = {
  doc: null,          // the venue document
  source: "venue.json",
  models: [],
  summary: null,      // the server's view of the last valid venue
  error: null,        // the reader's refusal of the venue: {error, path, line, problem}
  designError: null,  // the refusal or failure of the last design, until the venue changes
  notice: null,       // the page's own refusal of an edit (a conversion it cannot make), until the venue changes
  selected: -1,       // audience line selected
  column: -1,         // column selected (a venue of several columns)
  dragging: null,     // {k, end} of an audience line, or {column}
  view: null,         // world box of the drawing
  job: null,
};

const $ = (id) => document.getElementById(id);

// ---------------------------------------------------------------- the venue text

const { venueText, numberOrText, numbersOrText } = TalvekVenueText;
const Columns = TalvekColumns;

const shownList = (v) => (Array.isArray(v) ? v.map(shown).join(", ") : shown(v));
const shown = (v) => (v === undefined || v === null ? "" : typeof v === "number" ? String(v) : String(v));
const isNum = (v) => typeof v === "number" && Number.isFinite(v);
const { snap, tidy } = Columns; // ends dragged in the drawing land on its 5 cm grid

// ---------------------------------------------------------------- server calls

async function api(method, url, body) {
  const options = { method, headers: {} };
  if (body !== undefined) {
    options.headers["Content-Type"] = "application/json";
    options.body = JSON.stringify(body);
  }
  const response = await fetch(url, options);
  let data = null;
  try { data = await response.json(); } catch (e) { data = { error: `${response.status} ${response.statusText}` }; }
  return { status: response.status, data };
}

let checkTimer = null;
let checkSerial = 0;
// While an edit waits for its check the page carries data-checking (the message above the
// drawing may come or go with the answer and move it; the browser tests wait for it).
function scheduleCheck() {
  clearTimeout(checkTimer);
  document.body.dataset.checking = "1";
  checkTimer = setTimeout(checkVenue, 200);
}

async function checkVenue() {
  const serial = ++checkSerial;
  const { status, data } = await api("POST", "/api/venue", { text: venueText(state.doc), source: state.source });
  if (serial !== checkSerial) return; // a newer edit is being checked
  if (status === 200) {
    state.error = null;
    state.summary = data.venue;
  } else {
    state.error = data;
  }
  showErrors();
  draw();
  delete document.body.dataset.checking;
}

// ---------------------------------------------------------------- errors next to their fields

function showErrors() {
  document.querySelectorAll(".error-note").forEach((n) => n.remove());
  document.querySelectorAll(".invalid").forEach((n) => n.classList.remove("invalid"));
  const box = $("message");
  const error = state.error || state.designError || state.notice;
  if (!error) {
    box.hidden = true;
    return;
  }
  box.className = "message";
  box.textContent = error.error;
  box.hidden = false;
  const target = fieldFor(error.path || "");
  if (target) {
    target.classList.add("invalid");
    const note = document.createElement("div");
    note.className = "error-note";
    note.textContent = error.problem || error.error;
    target.appendChild(note);
    if (target.closest("details")) target.closest("details").open = true;
  }
}

// The element of the panel for a field path such as "audience[2].to"; the
// nearest enclosing field when the path goes deeper than the panel does.
function fieldFor(path) {
  let p = path;
  while (p) {
    // A folded column (not the one being edited) takes the note on its card, so the
    // column being edited stays open; opening it puts the note by its field.
    const c = /^columns\[(\d+)\](?:\.(\w+))?/.exec(p);
    if (c) {
      const li = document.querySelectorAll("#columns > li")[Number(c[1]) - 1];
      if (li) return (c[2] && li.classList.contains("selected") && li.querySelector(`[data-part="${c[2]}"]`)) || li;
    }
    const m = /^audience\[(\d+)\](?:\.(\w+))?/.exec(p);
    if (m) {
      const li = document.querySelectorAll("#lines > li")[Number(m[1]) - 1];
      if (li) {
        const part = { from: ".l-from", to: ".l-to", level: ".l-level" }[m[2]];
        return (part && li.querySelector(part)) || li;
      }
    }
    const el = document.querySelector(`[data-path="${p}"]`);
    if (el) return el;
    p = p.includes(".") ? p.slice(0, p.lastIndexOf(".")) : p.includes("[") ? p.slice(0, p.lastIndexOf("[")) : "";
  }
  return null;
}

// ---------------------------------------------------------------- the side panel

function modelName(value) {
  const m = state.models.find((m) => m.number === value || String(m.number) === String(value).trim()
    || m.name.toLowerCase() === String(value).trim().toLowerCase());
  return m ? m.name : null;
}

function fillModels(select, value) {
  const name = modelName(value);
  select.innerHTML = "";
  for (const m of state.models) select.add(new Option(`${m.name} (${m.woofer_channels}${m.tweeter_channels ? " + " + m.tweeter_channels : ""} channels)`, m.name));
  if (!name) select.add(new Option(`${shown(value)} (unknown)`, "__unknown__"));
  select.value = name || "__unknown__";
}

function fillPanel() {
  const d = state.doc;
  const system = Columns.isSystem(d);
  $("f-source").value = state.source;
  $("f-name").value = shown(d.name);
  $("single-column").hidden = system;
  $("columns-panel").hidden = !system;
  $("drawing-hint").textContent = system
    ? "Drag the ends of an audience line, or a column by its foot; click a column to edit it."
    : "Drag the ends of an audience line; the column stands at x = 0 and faces right.";
  fillModels($("f-model"), d.model);
  $("f-height").value = shown(d.height);
  $("f-tilt").value = shown(d.tilt);
  const opts = d.options && typeof d.options === "object" ? d.options : {};
  $("f-inactive-as-zero").checked = opts.inactive_as_zero === true;
  $("f-woofer-iterations").value = shown(opts.woofer_iterations);
  const sec = d.section && typeof d.section === "object" ? d.section : {};
  const pair = (v, i) => (Array.isArray(v) ? shown(v[i]) : "");
  $("f-sx0").value = pair(sec.x, 0); $("f-sx1").value = pair(sec.x, 1);
  $("f-sz0").value = pair(sec.z, 0); $("f-sz1").value = pair(sec.z, 1);
  const room = d.room && typeof d.room === "object" ? d.room : {};
  for (const [key, id] of Object.entries(ROOM_FIELDS)) $(id).value = shownList(room[key]);
  if (d.room) $("room").open = true;
  fillLines();
  if (system) fillColumns();
}

function fillColumns() {
  const list = $("columns");
  list.innerHTML = "";
  const names = Columns.lineNames(state.doc);
  state.doc.columns.forEach((c, i) => {
    const li = $("column-template").content.firstElementChild.cloneNode(true);
    const col = c && typeof c === "object" ? c : {};
    li.classList.toggle("selected", i === state.column);
    li.querySelector(".c-name").value = shown(col.name);
    li.querySelector(".c-name").placeholder = `column ${i + 1}`;
    fillModels(li.querySelector(".c-model"), col.model);
    li.querySelector(".c-x").value = shown(col.x);
    li.querySelector(".c-height").value = shown(col.height);
    li.querySelector(".c-tilt").value = shown(col.tilt);
    li.querySelector(".c-facing").value = col.facing === "-x" ? "-x" : "+x";
    li.querySelector(".c-delay").value = shown(col.delay_ms);
    li.querySelector(".c-gain").value = shown(col.gain_db);
    const serves = Array.isArray(col.serves) ? col.serves : [];
    const box = li.querySelector(".c-serves");
    for (const name of [...new Set(names)]) {
      const label = document.createElement("label");
      label.className = "check";
      const tick = document.createElement("input");
      tick.type = "checkbox";
      tick.className = "c-serve";
      tick.value = name;
      tick.checked = serves.includes(name);
      label.append(tick, " " + name);
      box.appendChild(label);
    }
    briefColumn(li, col);
    const remove = li.querySelector(".c-delete");
    remove.disabled = state.doc.columns.length <= 1;
    remove.addEventListener("click", (ev) => { ev.stopPropagation(); deleteColumn(i); });
    li.addEventListener("focusin", () => selectColumn(i));
    li.querySelector(".column-head").addEventListener("click", () => selectColumn(i));
    li.addEventListener("input", () => readColumn(li, i));
    li.addEventListener("change", () => readColumn(li, i));
    list.appendChild(li);
  });
  $("to-single").disabled = state.doc.columns.length !== 1;
}

// The head of a folded column: where it stands and which way it faces.
function briefColumn(li, col) {
  li.querySelector(".c-brief").textContent = `${shown(modelName(col.model) || col.model)} at ${shown(col.x)} m, ${col.facing === "-x" ? "←" : "→"}`;
}

function fillLines() {
  const list = $("lines");
  list.innerHTML = "";
  const lines = Array.isArray(state.doc.audience) ? state.doc.audience : [];
  lines.forEach((a, k) => {
    const li = $("line-template").content.firstElementChild.cloneNode(true);
    li.dataset.index = k;
    const item = a && typeof a === "object" ? a : {};
    const active = item.active !== false;
    li.classList.toggle("inactive", !active);
    li.classList.toggle("selected", k === state.selected);
    li.querySelector(".swatch").style.background = COLOURS[k % COLOURS.length];
    li.querySelector(".l-name").value = shown(item.name);
    li.querySelector(".l-name").placeholder = `line ${k + 1}`;
    li.querySelector(".l-active").checked = active;
    const at = (key, i) => (Array.isArray(item[key]) ? shown(item[key][i]) : "");
    li.querySelector(".l-x0").value = at("from", 0); li.querySelector(".l-z0").value = at("from", 1);
    li.querySelector(".l-x1").value = at("to", 0); li.querySelector(".l-z1").value = at("to", 1);
    const lv = item.level;
    li.querySelector(".l-lv0").value = Array.isArray(lv) ? shown(lv[0]) : shown(lv);
    li.querySelector(".l-lv1").value = Array.isArray(lv) ? shown(lv[1]) : shown(lv);
    li.addEventListener("focusin", () => select(k));
    li.querySelector(".l-delete").addEventListener("click", () => deleteLine(k));
    li.addEventListener("input", () => readLine(li, k));
    li.addEventListener("change", () => readLine(li, k));
    list.appendChild(li);
  });
}

function setOrDelete(obj, key, value) {
  if (value === undefined) delete obj[key]; else obj[key] = value;
}

function readLine(li, k) {
  const item = state.doc.audience[k];
  const text = (cls) => li.querySelector(cls).value;
  const before = Columns.lineName(item, k);
  setOrDelete(item, "name", text(".l-name").trim() === "" ? undefined : text(".l-name"));
  if (Columns.lineName(item, k) !== before && Columns.isSystem(state.doc)) {
    Columns.renameLine(state.doc, before, Columns.lineName(item, k));
    fillColumns();
  }
  item.from = [numberOrText(text(".l-x0")), numberOrText(text(".l-z0"))].map((v) => (v === undefined ? "" : v));
  item.to = [numberOrText(text(".l-x1")), numberOrText(text(".l-z1"))].map((v) => (v === undefined ? "" : v));
  const a = numberOrText(text(".l-lv0"));
  const b = numberOrText(text(".l-lv1"));
  let level;
  if (a === undefined && b === undefined) level = undefined;
  else if (a === b || b === undefined) level = a;
  else if (a === undefined) level = b;
  else level = [a, b];
  setOrDelete(item, "level", level);
  const active = li.querySelector(".l-active").checked;
  setOrDelete(item, "active", active ? undefined : false);
  li.classList.toggle("inactive", !active);
  changed(false);
}

function readVenueFields() {
  const d = state.doc;
  state.source = $("f-source").value.trim();
  setOrDelete(d, "name", $("f-name").value.trim() === "" ? undefined : $("f-name").value);
  if ($("f-model").value !== "__unknown__") d.model = $("f-model").value;
  setOrDelete(d, "height", numberOrText($("f-height").value));
  if (d.height === undefined) delete d.height;
  setOrDelete(d, "tilt", numberOrText($("f-tilt").value));
  const opts = Object.assign({}, d.options && typeof d.options === "object" ? d.options : {});
  setOrDelete(opts, "inactive_as_zero", $("f-inactive-as-zero").checked ? true : ("inactive_as_zero" in opts ? false : undefined));
  setOrDelete(opts, "woofer_iterations", numberOrText($("f-woofer-iterations").value));
  setOrDelete(d, "options", Object.keys(opts).length ? opts : undefined);
  const room = {};
  for (const key of ROOM_KEYS) {
    const id = ROOM_FIELDS[key];
    setOrDelete(room, key, key === "rt60" || key === "noise" ? numbersOrText($(id).value) : numberOrText($(id).value));
  }
  setOrDelete(d, "room", Object.keys(room).length ? room : undefined);
  const vals = ["f-sx0", "f-sx1", "f-sz0", "f-sz1"].map((id) => numberOrText($(id).value));
  if (vals.every((v) => v === undefined)) delete d.section;
  else d.section = { x: [vals[0] ?? "", vals[1] ?? ""], z: [vals[2] ?? "", vals[3] ?? ""] };
  changed(false);
}

function readColumn(li, i) {
  const col = state.doc.columns[i];
  const text = (cls) => li.querySelector(cls).value;
  setOrDelete(col, "name", text(".c-name").trim() === "" ? undefined : text(".c-name"));
  if (text(".c-model") !== "__unknown__") col.model = text(".c-model");
  setOrDelete(col, "x", numberOrText(text(".c-x")));
  setOrDelete(col, "height", numberOrText(text(".c-height")));
  setOrDelete(col, "tilt", numberOrText(text(".c-tilt")));
  // +x is the default: written only when the file had it.
  setOrDelete(col, "facing", text(".c-facing") === "+x" && !("facing" in col) ? undefined : text(".c-facing"));
  setOrDelete(col, "delay_ms", numberOrText(text(".c-delay")));
  setOrDelete(col, "gain_db", numberOrText(text(".c-gain")));
  for (const tick of li.querySelectorAll(".c-serve")) Columns.setServed(state.doc, i, tick.value, tick.checked);
  briefColumn(li, col);
  changed(false);
}

function changed(refill) {
  state.designError = null;
  state.notice = null;
  if (refill) fillPanel();
  draw();
  scheduleCheck();
}

function select(k) {
  if (state.selected === k) return;
  state.selected = k;
  document.querySelectorAll("#lines > li").forEach((li, i) => li.classList.toggle("selected", i === k));
  draw();
}

function addLine() {
  const lines = state.doc.audience = Array.isArray(state.doc.audience) ? state.doc.audience : [];
  const last = lines.length ? lines[lines.length - 1] : null;
  const z = last && Array.isArray(last.to) && isNum(last.to[1]) ? last.to[1] + 1.5 : 1.2;
  const x0 = last && Array.isArray(last.to) && isNum(last.to[0]) ? Math.max(last.to[0] / 2, 2) : 2;
  const x1 = last && Array.isArray(last.to) && isNum(last.to[0]) ? last.to[0] : 15;
  const taken = Columns.lineNames(state.doc);
  let n = lines.length + 1;
  while (taken.includes(`line ${n}`)) n++;
  lines.push({ name: `line ${n}`, from: [tidy(x0), tidy(z)], to: [tidy(x1), tidy(z)], level: 80 });
  state.selected = lines.length - 1;
  // A new line of a system is served by the column being edited (or the first).
  if (Columns.isSystem(state.doc) && state.doc.columns.length) {
    Columns.setServed(state.doc, Math.max(state.column, 0), `line ${n}`, true);
  }
  changed(true);
}

function deleteLine(k) {
  const name = Columns.lineName(state.doc.audience[k], k);
  state.doc.audience.splice(k, 1);
  Columns.forgetLine(state.doc, name);
  state.selected = -1;
  changed(true);
}

// Fold every column but column i in the panel (-1: fold all).
function showColumn(i) {
  state.column = i;
  document.querySelectorAll("#columns > li").forEach((li, j) => li.classList.toggle("selected", j === i));
}

function selectColumn(i) {
  if (state.column === i) return;
  showColumn(i);
  showErrors();
  draw();
}

function addColumn() {
  state.column = Columns.addColumn(state.doc);
  changed(true);
}

function deleteColumn(i) {
  if (!Columns.removeColumn(state.doc, i)) return;
  state.column = Math.min(state.column, state.doc.columns.length - 1);
  changed(true);
}

function toColumns() {
  state.doc = Columns.toColumns(state.doc).doc;
  state.column = 0;
  changed(true);
}

function toSingle() {
  const { doc, problem } = Columns.toSingle(state.doc);
  if (problem) {
    state.notice = { error: problem, path: "columns" };
    showErrors();
    return;
  }
  state.doc = doc;
  state.column = -1;
  changed(true);
}

// ---------------------------------------------------------------- the drawing

const SVGNS = "http://www.w3.org/2000/svg";
function el(name, attrs, parent) {
  const e = document.createElementNS(SVGNS, name);
  for (const [k, v] of Object.entries(attrs)) e.setAttribute(k, v);
  if (parent) parent.appendChild(e);
  return e;
}

function columnLength(model) {
  const m = state.models.find((m) => m.name === modelName(model));
  return m ? m.column_length : 1;
}

// Every column (the single one at x = 0) with its reference point, top end and aim.
function drawnColumns() {
  return Columns.columnsOf(state.doc).map((c, i) => ({ i, c, ...Columns.shape(c, columnLength(c.model)) }));
}

function ends() {
  const out = [];
  (Array.isArray(state.doc.audience) ? state.doc.audience : []).forEach((a, k) => {
    if (!a || !Array.isArray(a.from) || !Array.isArray(a.to)) return;
    if (![a.from[0], a.from[1], a.to[0], a.to[1]].every(isNum)) return;
    out.push({ k, a });
  });
  return out;
}

// World box around the audience and the column (the file's section when it names one).
function worldBox() {
  const sec = state.doc.section;
  const system = Columns.isSystem(state.doc);
  const xs = [], zs = [0];
  for (const col of drawnColumns()) {
    zs.push(col.base[1], col.top[1]);
    if (system) xs.push(col.base[0], col.top[0]);
  }
  for (const { a } of ends()) { xs.push(a.from[0], a.to[0]); zs.push(a.from[1], a.to[1]); }
  let x0 = Math.min(-1, ...xs.map((x) => x - 1)), x1 = Math.max(...xs, 5) * 1.05 + 1;
  let z0 = Math.min(...zs), z1 = Math.max(...zs) + 2;
  if (sec && Array.isArray(sec.x) && Array.isArray(sec.z) && [...sec.x, ...sec.z].every(isNum)) {
    x0 = Math.min(sec.x[0], -1); x1 = Math.max(sec.x[1], x0 + 1); z0 = sec.z[0]; z1 = Math.max(sec.z[1], z0 + 1);
  }
  return { x0, x1, z0, z1 };
}

function niceStep(span, pixels) {
  const raw = span / Math.max(pixels / 70, 1);
  const p = Math.pow(10, Math.floor(Math.log10(raw)));
  return [1, 2, 5, 10].map((f) => f * p).find((s) => s >= raw);
}

function draw() {
  const svg = $("section");
  const W = svg.clientWidth || 800, H = svg.clientHeight || 480;
  if (!state.dragging) state.view = worldBox();
  let { x0, x1, z0, z1 } = state.view;
  const pad = 34;
  // One scale for both directions: the section is drawn true to scale.
  const scale = Math.min((W - 2 * pad) / (x1 - x0), (H - 2 * pad) / (z1 - z0));
  const cx = (x0 + x1) / 2, cz = (z0 + z1) / 2;
  x0 = cx - (W - 2 * pad) / 2 / scale; x1 = cx + (W - 2 * pad) / 2 / scale;
  z0 = cz - (H - 2 * pad) / 2 / scale; z1 = cz + (H - 2 * pad) / 2 / scale;
  const X = (x) => pad + (x - x0) * scale;
  const Z = (z) => H - pad - (z - z0) * scale;
  state.toWorld = (px, py) => [x0 + (px - pad) / scale, z0 + (H - pad - py) / scale];

  svg.setAttribute("viewBox", `0 0 ${W} ${H}`);
  svg.innerHTML = "";
  const step = niceStep(x1 - x0, W);
  const g = el("g", {}, svg);
  for (let x = Math.ceil(x0 / step) * step; x <= x1; x += step) {
    el("line", { x1: X(x), x2: X(x), y1: Z(z0), y2: Z(z1), class: "grid" }, g);
    el("text", { x: X(x) + 2, y: H - 8, class: "axis-label" }, g).textContent = `${tidy(x)} m`;
  }
  for (let z = Math.ceil(z0 / step) * step; z <= z1; z += step) {
    el("line", { x1: X(x0), x2: X(x1), y1: Z(z), y2: Z(z), class: "grid" }, g);
    el("text", { x: 4, y: Z(z) - 2, class: "axis-label" }, g).textContent = `${tidy(z)} m`;
  }
  el("line", { x1: X(x0), x2: X(x1), y1: Z(0), y2: Z(0), class: "floor" }, svg);

  // Each column: from its reference point at the bottom along the tilted axis, and its aim.
  // A column of a system is dragged by its foot and carries its name.
  const system = Columns.isSystem(state.doc);
  const reach = (x1 - x0) * 0.9;
  for (const { i, c, base, top, aim } of drawnColumns()) {
    const mid = [(base[0] + top[0]) / 2, (base[1] + top[1]) / 2];
    const chosen = system && i === state.column;
    el("line", { x1: X(mid[0]), y1: Z(mid[1]), x2: X(mid[0] + reach * aim[0]), y2: Z(mid[1] + reach * aim[1]), class: "beam" }, svg);
    const body = el("line", { x1: X(base[0]), y1: Z(base[1]), x2: X(top[0]), y2: Z(top[1]), class: "column" + (chosen ? " chosen" : "") }, svg);
    if (!system) {
      el("circle", { cx: X(base[0]), cy: Z(base[1]), r: 3.5, class: "column-base" }, svg);
      continue;
    }
    body.setAttribute("data-column", i);
    body.addEventListener("pointerdown", () => selectColumn(i));
    const name = typeof c.name === "string" ? c.name : `column ${i + 1}`;
    const label = el("text", { x: X(top[0]), y: Z(Math.max(top[1], base[1])) - 10, "text-anchor": "middle",
      class: "col-label" + (chosen ? " chosen" : "") }, svg);
    label.textContent = `${name} ${c.facing === "-x" ? "←" : "→"}`;
    const foot = el("circle", { cx: X(base[0]), cy: Z(base[1]), r: chosen ? 8 : 6.5,
      class: "col-handle" + (chosen ? " chosen" : "") + (state.dragging && state.dragging.column === i ? " dragging" : ""),
      "data-column": i }, svg);
    el("title", {}, foot).textContent = `${name}: x ${shown(c.x)} m, height ${shown(c.height)} m`;
    foot.addEventListener("pointerdown", (ev) => startColumnDrag(ev, i));
  }

  const behind = system ? Columns.behindEnds(state.doc)
    : new Set(((state.summary && state.summary.out_of_sight) || []).map((o) => `${o.line - 1}:${o.end}`));
  for (const { k, a } of ends()) {
    const colour = COLOURS[k % COLOURS.length];
    const active = a.active !== false;
    const line = el("line", { x1: X(a.from[0]), y1: Z(a.from[1]), x2: X(a.to[0]), y2: Z(a.to[1]),
      class: "aud" + (active ? "" : " inactive"), stroke: colour, "data-line": k }, svg);
    line.addEventListener("pointerdown", () => select(k));
    const lv = a.level;
    const level = lv === undefined ? "" : Array.isArray(lv) ? `${shown(lv[0])}→${shown(lv[1])} dB` : `${shown(lv)} dB`;
    const label = el("text", { x: (X(a.from[0]) + X(a.to[0])) / 2, y: (Z(a.from[1]) + Z(a.to[1])) / 2 - 9,
      "text-anchor": "middle", class: "aud-label", fill: colour }, svg);
    label.textContent = `${a.name || `line ${k + 1}`}${active ? "  " + level : "  (inactive)"}`;
    for (const end of ["from", "to"]) {
      const p = a[end];
      const handle = el("circle", { cx: X(p[0]), cy: Z(p[1]), r: k === state.selected ? 8 : 6.5, stroke: colour,
        class: "handle" + (behind.has(`${k}:${end}`) ? " behind" : "")
          + (state.dragging && state.dragging.k === k && state.dragging.end === end ? " dragging" : ""),
        "data-line": k, "data-end": end }, svg);
      const title = el("title", {}, handle);
      title.textContent = `${a.name || `line ${k + 1}`}, ${end}: (${shown(p[0])}, ${shown(p[1])}) m` +
        (behind.has(`${k}:${end}`) ? ` — behind the front plane of ${system ? "a column that serves it" : "the column"}` : "");
      handle.addEventListener("pointerdown", (ev) => startDrag(ev, k, end));
    }
  }
}

function startDrag(ev, k, end) {
  ev.preventDefault();
  state.dragging = { k, end };
  // The drawing is rebuilt while dragging, so the drawing itself holds the pointer.
  $("section").setPointerCapture(ev.pointerId);
  select(k);
}

function startColumnDrag(ev, i) {
  ev.preventDefault();
  state.dragging = { column: i };
  $("section").setPointerCapture(ev.pointerId);
  showColumn(i);
}

function pointerWorld(ev) {
  const svg = $("section");
  const r = svg.getBoundingClientRect();
  const W = svg.clientWidth || 800, H = svg.clientHeight || 480;
  return state.toWorld((ev.clientX - r.left) * W / r.width, (ev.clientY - r.top) * H / r.height);
}

function moveDrag(ev) {
  if (!state.dragging) return;
  const [x, z] = pointerWorld(ev);
  if (state.dragging.column !== undefined) {
    const i = state.dragging.column;
    const col = Columns.moveColumn(state.doc, i, x, z);
    draw();
    const li = document.querySelectorAll("#columns > li")[i];
    if (li) {
      li.querySelector(".c-x").value = shown(col.x);
      li.querySelector(".c-height").value = shown(col.height);
      briefColumn(li, col);
    }
    scheduleCheck();
    return;
  }
  const { k, end } = state.dragging;
  state.doc.audience[k][end] = [tidy(snap(x)), tidy(snap(z))];
  draw();
  const li = document.querySelectorAll("#lines > li")[k];
  if (li) {
    const [ix, iz] = end === "from" ? [".l-x0", ".l-z0"] : [".l-x1", ".l-z1"];
    li.querySelector(ix).value = shown(state.doc.audience[k][end][0]);
    li.querySelector(iz).value = shown(state.doc.audience[k][end][1]);
  }
  scheduleCheck();
}

function endDrag() {
  if (!state.dragging) return;
  state.dragging = null;
  draw();
  scheduleCheck();
}

// ---------------------------------------------------------------- opening and saving

function load(text, source) {
  let doc;
  try {
    doc = JSON.parse(text);
  } catch (e) {
    state.error = { error: `${source}: not valid JSON: ${e.message}` };
    showErrors();
    return;
  }
  if (!doc || typeof doc !== "object" || Array.isArray(doc)) {
    state.error = { error: `${source}:1: the venue file must hold one JSON object` };
    showErrors();
    return;
  }
  state.doc = doc;
  state.source = source;
  state.selected = -1;
  state.column = Columns.isSystem(doc) ? 0 : -1;
  $("venue-title").textContent = `Vertical section: ${source}`;
  changed(true);
}

// A file is checked by the server first, so that a file the reader refuses is
// reported with its own line, exactly as `talvek design` reports it.
async function openText(text, source) {
  const { status, data } = await api("POST", "/api/venue", { text, source });
  if (status === 200) { load(text, source); return; }
  if (data.document) {
    load(JSON.stringify(data.document), source);
  }
  state.error = data;
  showErrors();
}

function download(name, text) {
  const a = document.createElement("a");
  a.href = URL.createObjectURL(new Blob([text], { type: "application/json" }));
  a.download = name;
  document.body.appendChild(a);
  a.click();
  setTimeout(() => { URL.revokeObjectURL(a.href); a.remove(); }, 1000);
}

function newVenue() {
  load(venueText({ name: "New venue", model: "Vexal32", height: 1.8, tilt: 0,
    audience: [{ name: "floor", from: [2, 1.2], to: [20, 1.2], level: 80 }] }), "venue.json");
}

// ---------------------------------------------------------------- designing

async function design() {
  const button = $("design");
  button.disabled = true;
  const grid = $("grid").value.split(",").map(Number);
  const figures = $("figures").value.split(",");
  const { status, data } = await api("POST", "/api/design", { text: venueText(state.doc), source: state.source, grid, figures });
  if (status !== 202) {
    state.designError = data;
    showErrors();
    button.disabled = false;
    return;
  }
  state.job = data.id;
  showProgress(data);
  poll(data.id);
}

async function poll(id) {
  const { status, data } = await api("GET", `/api/design/${id}`);
  if (status !== 200) {
    state.designError = data; showErrors(); finishDesign(); return;
  }
  showProgress(data);
  if (data.state === "done") { showResults(data); finishDesign(); return; }
  if (data.state === "failed") {
    state.designError = { error: data.error, path: pathOfDesignError(data.error) };
    showErrors(); finishDesign(); return;
  }
  setTimeout(() => poll(id), 250);
}

// A design refused for a line out of sight names it as audience[k].
function pathOfDesignError(text) {
  const m = /audience\[(\d+)\]/.exec(text || "");
  return m ? `audience[${m[1]}]` : "";
}

function finishDesign() {
  $("design").disabled = false;
  setTimeout(() => { $("progress").hidden = true; }, 600);
}

function showProgress(job) {
  $("progress").hidden = false;
  const frac = TalvekResults.progressFraction(job);
  $("progress-fill").style.width = `${Math.round(frac * 100)}%`;
  $("progress-text").textContent = `${job.state === "done" ? "done" : job.stage}${job.total && job.state === "running" ? ` ${Math.round(100 * job.done / job.total)}%` : ""} — ${job.elapsed.toFixed(1)} s`;
}

function fileUrl(name, download) {
  const path = name.split("/").map(encodeURIComponent).join("/");
  return `/api/design/${state.job}/files/${path}${download ? "?download=1" : ""}`;
}

function row(table, cells, header) {
  const tr = document.createElement("tr");
  for (const c of cells) {
    const td = document.createElement(header ? "th" : "td");
    td.textContent = c;
    tr.appendChild(td);
  }
  table.appendChild(tr);
}

const db = (v, sign) => (v === null || v === undefined ? "–" : `${sign && v > 0 ? "+" : ""}${Number(v).toFixed(1)} dB`);

const FIGURE_TABS = [["coverage", "img-coverage", "coverage.png"], ["levels", "img-levels", "levels.png"],
  ["filters", "img-filters", "filters.png"], ["intelligibility", "img-intelligibility", "intelligibility.png"]];

// The report of a design: one column's, or a system's (its `columns` list; each column's
// files in a subfolder). Fields a report does not hold are left out, not guessed.
function showResults(job) {
  const rep = job.report || {};
  const system = Array.isArray(rep.columns);
  $("results").hidden = false;
  $("design-time").textContent = `${system ? `${rep.columns.length} columns` : rep.model}, designed in ${job.elapsed.toFixed(1)} s`;
  $("system-summary").hidden = !system;
  if (system) {
    const table = $("column-table"); table.innerHTML = "";
    row(table, ["column", "model", "delay", "folder"], true);
    for (const c of rep.columns) {
      row(table, [c.name, c.model ?? "–", isNum(c.delay_ms) ? `${c.delay_ms.toFixed(1)} ms` : "–", c.folder ? `${c.folder}/` : "–"]);
    }
  }
  $("headroom-summary").hidden = rep.headroom_db === undefined;
  const head = $("headroom"); head.innerHTML = "";
  if (rep.headroom_db !== undefined) {
    row(head, ["as designed", db(rep.headroom_db, true)]);
    row(head, ["gain to meet the targets", db(rep.level_offset_db, true)]);
    row(head, ["left at the targets", db(rep.headroom_at_targets_db, true)]);
  }
  const bands = $("bands"); bands.innerHTML = "";
  row(bands, ["band", "RMS", "worst"], true);
  for (const b of rep.bands || []) row(bands, [b.band_hz >= 1000 ? `${b.band_hz / 1000} kHz` : `${b.band_hz} Hz`, db(b.rms_db), db(b.worst_db, true)]);
  const lines = $("line-levels"); lines.innerHTML = "";
  row(lines, ["line", "target", "max before clipping"], true);
  for (const l of rep.audience_lines || []) {
    row(lines, [l.name + (l.active ? "" : " (inactive)"), l.target_db ? [...new Set(l.target_db.map((v) => v.toFixed(0)))].join("→") + " dB" : "–",
      isNum(l.max_spl_before_clipping_db) ? `${l.max_spl_before_clipping_db.toFixed(1)} dB SPL` : "–"]);
  }
  showDownloads(job, system ? rep.columns.map((c) => c.folder).filter(Boolean) : []);
  for (const [tab, id, name] of FIGURE_TABS) {
    const there = job.files.includes(name);
    if (there) $(id).src = fileUrl(name, false);
    if (tab !== "intelligibility") document.querySelector(`.tabs button[data-tab="${tab}"]`).hidden = !there;
  }
  $("img-intelligibility").hidden = !job.files.includes("intelligibility.png");
  const more = TalvekResults.otherFigures(job.files, FIGURE_TABS.map((t) => t[2]));
  $("tab-button-more").hidden = !more.length;
  const box = $("tab-more"); box.innerHTML = "";
  for (const name of more) {
    const figure = document.createElement("figure");
    const img = document.createElement("img");
    img.src = fileUrl(name, false);
    img.alt = name;
    const caption = document.createElement("figcaption");
    caption.textContent = name;
    figure.append(img, caption);
    box.appendChild(figure);
  }
  showIntelligibility(rep.room && Array.isArray(rep.room.lines) ? rep.room : null);
  const active = document.querySelector(".tabs button.active");
  const wanted = active.dataset.tab === "summary" ? "coverage" : active.dataset.tab;
  const button = document.querySelector(`.tabs button[data-tab="${wanted}"]`);
  showTab(button && !button.hidden ? wanted : "summary");
}

// Every file, a system's per column folder, a figure's formats side by side; and all as one zip.
function showDownloads(job, order) {
  const list = $("downloads"); list.innerHTML = "";
  $("download-all").href = `/api/design/${state.job}/archive`;
  $("download-all").download = `${job.stem}.zip`;
  for (const group of TalvekResults.fileGroups(job.files, order)) {
    let parent = list;
    if (group.folder) {
      const li = document.createElement("li");
      li.className = "folder";
      li.textContent = `${group.folder}/`;
      parent = document.createElement("ul");
      li.appendChild(parent);
      list.appendChild(li);
    }
    for (const entry of group.entries) {
      const li = document.createElement("li");
      entry.forEach((path, j) => {
        if (j) li.append(" · ");
        const a = document.createElement("a");
        a.href = fileUrl(path, true);
        a.download = a.textContent = path.slice(path.lastIndexOf("/") + 1);
        li.appendChild(a);
      });
      parent.appendChild(li);
    }
  }
}

const sti = (v) => (v === null || v === undefined ? "–" : Number(v).toFixed(2));

// The STI per audience line beside the unsteered column's, in the summary and in a tab of its own.
function showIntelligibility(room) {
  $("sti-summary").hidden = !room;
  $("tab-button-intelligibility").hidden = !room;
  if (!room) {
    if (document.querySelector(".tabs button.active").dataset.tab === "intelligibility") showTab("summary");
    return;
  }
  const brief = $("sti-lines"); brief.innerHTML = "";
  row(brief, ["line", "STI", "unsteered"], true);
  const detail = $("sti-detail"); detail.innerHTML = "";
  row(detail, ["line", "mean", "min", "≥ 0.50", "band", "unsteered mean", "unsteered min"], true);
  for (const l of room.lines) {
    const name = l.name + (l.active ? "" : " (inactive)");
    row(brief, [name, sti(l.sti_mean), sti(l.sti_unsteered_mean)]);
    row(detail, [name, sti(l.sti_mean), sti(l.sti_min), isNum(l.share_sti_050) ? `${Math.round(100 * l.share_sti_050)} %` : "–", l.qualification,
      sti(l.sti_unsteered_mean), sti(l.sti_unsteered_min)]);
  }
  const noise = !isNum(room.noise_dba) ? "no noise" : `noise ${room.noise_dba.toFixed(0)} dB(A)`;
  const rt60 = Array.isArray(room.rt60_s) ? room.rt60_s.map((t) => t.toFixed(1)).join(" / ") : "–";
  $("sti-room").textContent = `${room.volume_m3} m³, RT60 ${rt60} s `
    + `(125 Hz – 8 kHz), ${noise}; male speech at the targets. Unsteered: the same column with every channel `
    + `of a section alike, at the same mean level per octave band.`;
}

function showTab(name) {
  document.querySelectorAll(".tabs button").forEach((b) => b.classList.toggle("active", b.dataset.tab === name));
  document.querySelectorAll(".tab").forEach((t) => { t.hidden = t.id !== `tab-${name}`; });
}

// ---------------------------------------------------------------- start

async function start() {
  state.models = (await api("GET", "/api/models")).data;
  const examples = (await api("GET", "/api/examples")).data;
  for (const name of examples) $("examples").add(new Option(name, name));

  $("examples").addEventListener("change", async (ev) => {
    if (!ev.target.value) return;
    const { data } = await api("GET", `/api/examples/${encodeURIComponent(ev.target.value)}`);
    ev.target.value = "";
    openText(data.text, data.source);
  });
  $("open-file").addEventListener("change", async (ev) => {
    const file = ev.target.files[0];
    if (!file) return;
    openText(await file.text(), file.name);
    ev.target.value = "";
  });
  $("new-venue").addEventListener("click", newVenue);
  $("save-venue").addEventListener("click", () => download(state.source || "venue.json", venueText(state.doc)));
  $("add-line").addEventListener("click", addLine);
  $("add-column").addEventListener("click", addColumn);
  $("to-columns").addEventListener("click", toColumns);
  $("to-single").addEventListener("click", toSingle);
  $("design").addEventListener("click", design);
  for (const id of ["f-source", "f-name", "f-model", "f-height", "f-tilt", "f-inactive-as-zero", "f-woofer-iterations", "f-sx0", "f-sx1", "f-sz0", "f-sz1",
    ...Object.values(ROOM_FIELDS)]) {
    $(id).addEventListener("input", readVenueFields);
    $(id).addEventListener("change", readVenueFields);
  }
  document.querySelectorAll(".tabs button").forEach((b) => b.addEventListener("click", () => showTab(b.dataset.tab)));
  const svg = $("section");
  svg.addEventListener("pointermove", moveDrag);
  svg.addEventListener("pointerup", endDrag);
  svg.addEventListener("pointercancel", endDrag);
  window.addEventListener("resize", () => draw());
  newVenue();
}

start();
