#!/usr/bin/python3
"""Seed corpus and dictionary for the model-loader fuzz targets.

The bundled models are a megabyte of JSON each; a fuzzer mutates small inputs
far better, so the seeds are the same documents cut down to a few frequencies
and angles (every shape still consistent), plus variants that the loader must
refuse (a key missing, a wrong type, shapes that disagree, cut-off text) and
archives that are broken in the ways a zip file can be.

Writes, under --output-dir:
  json/      one JSON document per file (seeds of fuzz_model_json)
  archive/   zip archives holding the entry "model.json" (fuzz_model_archive)
  model.dict libFuzzer dictionary: the document's keys and JSON tokens

Usage: make_fuzz_corpus.py --output-dir DIR
"""

import argparse
import copy
import io
import json
import os
import sys
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_models  # noqa: E402  (the generator of the bundled models)

ENTRY_NAME = "model.json"  # the fuzz target asks the archive for this entry
FREQUENCY_STEP = 53        # 215 frequencies -> 5 (50 Hz ... 24 kHz)
ANGLE_STEP = 15            # 91 angles -> 7 (-90, -60, ... 90 degrees)


def round_nested(value, digits=4):
    if isinstance(value, dict):
        return {k: round_nested(v, digits) for k, v in value.items()}
    if isinstance(value, list):
        return [round_nested(v, digits) for v in value]
    if isinstance(value, float):
        return float(f"{value:.{digits}g}")
    return value


def shrink_section(section):
    """Keeps every FREQUENCY_STEP-th frequency and ANGLE_STEP-th angle, in all
    the arrays indexed by them, so the shapes still agree."""
    fi = list(range(0, len(section["f"]), FREQUENCY_STEP))
    ai = list(range(0, len(section["phi"]), ANGLE_STEP))
    s = copy.deepcopy(section)
    s["f"] = [section["f"][i] for i in fi]
    s["phi"] = [section["phi"][i] for i in ai]
    s["driver_delay"] = [section["driver_delay"][i] for i in ai]
    for part in ("re", "im"):
        s["H"][part] = [[section["H"][part][k][a] for a in ai] for k in fi]
    s["Hdacamp"]["H"] = [[row[i] for i in fi] for row in section["Hdacamp"]["H"]]
    return round_nested(s)


def small_model(name):
    model = next(m for m in make_models.MODELS if m.name == name)
    doc = make_models.model_document(model)
    for key in ("wf", "tw"):
        if key in doc:
            doc[key] = shrink_section(doc[key])
    return doc


def unpacked(doc):
    """The same column written without packing: one H column per driver
    position, chosen (and mirrored) as chp says."""
    doc = copy.deepcopy(doc)
    doc["ispacked"] = False
    for key in ("wf", "tw"):
        if key not in doc:
            continue
        s = doc[key]
        for part in ("re", "im"):
            expanded = []
            for Hk in s["H"][part]:
                rows = len(Hk)
                expanded.append([[Hk[r if c > 0 else rows - 1 - r][abs(c) - 1] for c in s["chp"]]
                                 for r in range(rows)])
            s["H"][part] = expanded
        del s["chp"]
    return doc


def text(doc):
    return json.dumps(doc, separators=(",", ":"))


def mutilated(doc):
    """Documents the loader must refuse (or, for the column-written rolloff
    section, accept): one flaw each."""
    out = {}

    def variant(name, change):
        d = copy.deepcopy(doc)
        change(d)
        out[name] = text(d)

    variant("missing_arraytype", lambda d: d.pop("arraytype"))
    variant("twoway_as_number", lambda d: d.__setitem__("twoway", 1))
    variant("h_row_missing", lambda d: d["wf"]["H"]["re"][1].pop())
    variant("f_longer_than_h", lambda d: d["wf"]["f"].append(30000.0))
    variant("phi_descending", lambda d: d["wf"]["phi"].reverse())
    variant("vclip_short", lambda d: d["wf"]["Hdacamp"]["Vclip"].pop())
    variant("beta_per_box_wrong", lambda d: d["wf"].__setitem__("beta", [1.0, 1.0, 1.0]))
    variant("rolloff_as_column", lambda d: d["wf"].__setitem__("rolloff_sosa", [[v] for v in d["wf"]["rolloff_sosa"][0]]))
    variant("rolloff_empty", lambda d: d["wf"].__setitem__("rolloff_sosa", []))
    variant("chp_zero", lambda d: d["wf"]["chp"].__setitem__(0, 0))
    variant("timbre_two_values", lambda d: d.__setitem__("f_timbre", [250.0, 2000.0]))
    out["huge_number"] = text(doc).replace('"yshift":', '"yshift":1e999,"_":', 1)
    whole = text(doc)
    out["cut_off"] = whole[: len(whole) * 3 // 5]
    out["with_comments"] = "/* model */\n" + json.dumps(doc, indent=1).replace("\n", " // line\n", 5)
    return out


def zipped(payload, name=ENTRY_NAME, method=zipfile.ZIP_DEFLATED, extra=None):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
        info.compress_type = method
        archive.writestr(info, payload)
        for other_name, other in (extra or {}).items():
            archive.writestr(zipfile.ZipInfo(other_name, date_time=(1980, 1, 1, 0, 0, 0)), other)
    return buffer.getvalue()


def dictionary(docs):
    keys = set()

    def walk(node):
        if isinstance(node, dict):
            for k, v in node.items():
                keys.add(k)
                walk(v)
        elif isinstance(node, list):
            for v in node[:2]:
                walk(v)

    for d in docs:
        walk(d)
    tokens = ["true", "false", "null", "[[", "]]", "{", "}", ",", ":", "1e999", "-0", "1e-999",
              "/*", "*/", "//", "2147483648", "-1", "0.5"]
    lines = [f'"\\"{k}\\""' for k in sorted(keys) if k != "_"]
    lines += ['"' + t.replace("\\", "\\\\").replace('"', '\\"') + '"' for t in tokens]
    return "\n".join(lines) + "\n"


def write(path, data):
    with open(path, "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output-dir", required=True)
    args = parser.parse_args()
    json_dir = os.path.join(args.output_dir, "json")
    archive_dir = os.path.join(args.output_dir, "archive")
    os.makedirs(json_dir, exist_ok=True)
    os.makedirs(archive_dir, exist_ok=True)

    vexal8 = small_model("Vexal8")      # one-way, one box
    vexal16 = small_model("Vexal16")    # two-way, every second driver mirrored
    vexal24 = small_model("Vexal24")    # woofer beta per box, upper box mirrored
    documents = {
        "vexal8": text(vexal8),
        "vexal16": text(vexal16),
        "vexal24": text(vexal24),
        "vexal8_unpacked": text(unpacked(vexal8)),
        "vexal16_unpacked": text(unpacked(vexal16)),
    }
    documents.update({"vexal8_" + k: v for k, v in mutilated(vexal8).items()})
    documents["vexal16_tw_f_short"] = text({**vexal16, "tw": {**vexal16["tw"], "f": vexal16["tw"]["f"][:-1]}})
    documents["vexal24_rolloff_one_row"] = text({**vexal24, "wf": {**vexal24["wf"], "rolloff_sosa": vexal24["wf"]["rolloff_sosa"][:1]}})

    for name, doc in documents.items():
        write(os.path.join(json_dir, name + ".json"), doc)

    archives = {name: zipped(doc) for name, doc in documents.items()
                if name in ("vexal8", "vexal16", "vexal24", "vexal8_unpacked", "vexal8_cut_off")}
    archives["vexal8_stored"] = zipped(documents["vexal8"], method=zipfile.ZIP_STORED)
    archives["entry_in_folder"] = zipped(documents["vexal8"], name="models/" + ENTRY_NAME)
    archives["upper_case_entry"] = zipped(documents["vexal8"], name=ENTRY_NAME.upper())
    archives["two_entries"] = zipped(documents["vexal16"], extra={"readme.txt": "synthetic model"})
    archives["truncated"] = zipped(documents["vexal8"])[:-40]
    archives["empty_archive"] = b"PK\x05\x06" + bytes(18)  # end-of-directory record only
    for name, data in archives.items():
        write(os.path.join(archive_dir, name + ".bin"), data)

    write(os.path.join(args.output_dir, "model.dict"), dictionary([vexal8, vexal16]))


if __name__ == "__main__":
    main()
