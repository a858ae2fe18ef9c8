// The venue file as text: the editor keeps the venue as the JSON document of a
// venue file and writes it back one field per line, one audience line and one
// column per line, so that a saved file reads like the bundled examples.
// Pure functions, loaded by the page and by Node's test runner alike.
(function (root, make) {
  const api = make();
  if (typeof module === "object" && module.exports) module.exports = api;
  else root.TalvekVenueText = api;
})(typeof self !== "undefined" ? self : this, function () {
  "use strict";

  const TOP_KEYS = ["name", "model", "height", "tilt", "columns", "audience", "options", "room", "section"];
  const LINE_KEYS = ["name", "from", "to", "level", "active"];
  const COLUMN_KEYS = ["name", "model", "x", "height", "tilt", "facing", "serves", "delay_ms", "gain_db"];
  const LISTS = { audience: LINE_KEYS, columns: COLUMN_KEYS };

  function compact(value) {
    if (Array.isArray(value)) return "[" + value.map(compact).join(", ") + "]";
    if (value !== null && typeof value === "object") {
      return "{" + Object.keys(value).map((k) => JSON.stringify(k) + ": " + compact(value[k])).join(", ") + "}";
    }
    return JSON.stringify(value);
  }

  // The fields of `obj` with `keys` first, in that order, then any others as they come.
  function ordered(obj, keys) {
    const out = {};
    for (const k of keys) if (k in obj) out[k] = obj[k];
    for (const k of Object.keys(obj)) if (!(k in out)) out[k] = obj[k];
    return out;
  }

  // The venue file as `talvek design` reads it: one field per line, one item of a list per line.
  function venueText(doc) {
    const top = ordered(doc, TOP_KEYS);
    const parts = Object.keys(top).map((k) => {
      if (k in LISTS && Array.isArray(top[k])) {
        const items = top[k].map((item) => "    " + compact(item && typeof item === "object" ? ordered(item, LISTS[k]) : item));
        return "  " + JSON.stringify(k) + ": [\n" + items.join(",\n") + "\n  ]";
      }
      return "  " + JSON.stringify(k) + ": " + compact(top[k]);
    });
    return "{\n" + parts.join(",\n") + "\n}\n";
  }

  // A typed number, or the text itself so that the reader names what is wrong with it; undefined when empty.
  function numberOrText(text) {
    const t = text.trim();
    if (t === "") return undefined;
    const v = Number(t);
    return Number.isFinite(v) && /^[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?$/.test(t) ? v : t;
  }

  // One number, or several separated by commas or spaces (the seven octave bands of a room figure).
  function numbersOrText(text) {
    const parts = text.split(/[\s,;]+/).filter((p) => p !== "");
    if (parts.length <= 1) return numberOrText(text);
    return parts.map((p) => numberOrText(p));
  }

  return { TOP_KEYS, LINE_KEYS, COLUMN_KEYS, compact, ordered, venueText, numberOrText, numbersOrText };
});
