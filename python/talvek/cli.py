"""The ``talvek`` command line: models, model build, check, design, redesign, export, serve.

Every failure the user can cause (a bad venue file, an unknown model, an
audience line out of sight, an unwritable output folder, a missing library)
ends with one line on stderr and a non-zero exit status, never a traceback.
Set TALVEK_DEBUG=1 to see the traceback of an unexpected failure.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import sys
import textwrap
import threading
import time
from pathlib import Path

from . import analysis, outputs
from .design import pipeline
from ._version import __version__
from .api import MODELS, SFIORecord, Talvek, TalvekError, find_models_dir
from .binding import find_library
from .models import ModelTableError, all_models
from .venue import Venue, VenueError, load_venue, parse_venue

PROGRAM = "talvek"
FIGURE_FORMATS = ("png", "svg", "pdf")

EXAMPLES = textwrap.dedent("""\
    examples:
      talvek models                                  list the column models, bundled and your own
      talvek model build examples/columns/bench_array.json -o ~/columns
                                                     a model archive from a column description
      talvek check                                   check that every model archive opens
      talvek check --load                            ... and load (parse) each of them
      talvek design examples/church_nave.json -o out/church
                                                     optimise, voice, write DSP files, report and figures
      talvek redesign out/church/church_nave.npz -o out/church-again
                                                     design again from a stored SFIO record
      talvek export out/church/church_nave.npz --for brutefir -o out/church-brutefir
                                                     each channel's filter for a convolution engine
      talvek verify out/church                       check the processor files against the design
      talvek report out/church                       render report.pdf again from the folder
      talvek serve --open                            the venue editor in the browser

    The library and the model archives are found where they are installed (this
    Python environment's prefix, the system's library path) or in the build tree;
    name them with --library and --models (or TALVEK_LIBRARY and TALVEK_MODEL_DIR).
    The venue file format is described in "Venue files" in README.md.
""")


class CliError(Exception):
    """A failure explained by its one-line message."""


# ---------------------------------------------------------------- helpers

class Progress:
    """A progress bar on stderr (tqdm), drawn only when stderr is a terminal
    and wiped when the work is done; called as ``progress(done, total)``.

    A system's design names the column too (``column=(position, count, name)``,
    and ``stage`` when it is not predicting levels): the bar starts again for
    each column's stage, labelled with it (:func:`talvek.design.system.column_label`).
    """

    def __init__(self, label: str, stream=None):
        self.label = label
        self.stream = stream or sys.stderr
        self.bar = None
        self.shown = label

    def __call__(self, done: int, total: int, *, column: tuple | None = None, stage: str | None = None) -> None:
        label = stage or self.label
        if column is not None:
            from .design.system import column_label

            label = column_label(column, label)
        # A stage without a count (an optimisation) shows its label alone, not "0it".
        shape = {"total": total or None, "bar_format": None if total else "{desc}"}
        if self.bar is None:
            if not getattr(self.stream, "isatty", lambda: False)():
                return
            from tqdm import tqdm  # only a terminal needs it, and it takes a while to import

            self.bar = tqdm(desc=label, file=self.stream, leave=False, disable=None, **shape)
            self.shown = label
        self.bar.total, self.bar.bar_format = shape["total"], shape["bar_format"]
        if label != self.shown:
            self.shown = label
            self.bar.set_description_str(label, refresh=False)
            self.bar.reset()  # drawn at once: a new stage is shown however soon it follows the last
        self.bar.update(done - self.bar.n)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


class _ShowVersion(argparse.Action):
    """--version: the version, and which library and models a run would use."""

    def __init__(self, option_strings, dest=argparse.SUPPRESS, **kwargs):
        super().__init__(option_strings, dest, nargs=0, help="show the version and where the library "
                         "and the model archives are found, then exit")

    def __call__(self, parser, namespace, values, option_string=None):
        lines = [f"{PROGRAM} {__version__}"]
        try:
            library = find_library(getattr(namespace, "library", None))
            lines.append(f"library: {library}")
            lines.append(f"models: {find_models_dir(getattr(namespace, 'models', None), library)}")
        except FileNotFoundError as e:
            lines.append(f"not usable: {e}")
        print("\n".join(lines))
        parser.exit()


@contextlib.contextmanager
def _whole_folder(path: str, force: bool):
    """The output folder, written whole: a new folder beside it becomes it only when everything is written."""
    target = Path(path)
    existed = target.is_dir()
    try:
        with outputs.whole_folder(target, force=force) as staging:
            yield staging
    except outputs.FolderError as e:
        raise CliError(str(e)) from None
    except (pipeline.DesignError, TalvekError, VenueError, OSError) as e:
        message = f"{e.export}: {e.text}" if isinstance(e, TalvekError) else (
            f"{e.strerror or e}: {e.filename}" if isinstance(e, OSError) and e.filename else str(e))
        where = f"{target} is left as it was" if existed else f"nothing written to {target}"
        raise CliError(f"{message} ({where})") from None


def _formats(text: str) -> tuple:
    formats = tuple(dict.fromkeys(f.strip().lower() for f in text.split(",") if f.strip()))
    unknown = [f for f in formats if f not in FIGURE_FORMATS]
    if not formats or unknown:
        raise argparse.ArgumentTypeError(f"expected formats among {','.join(FIGURE_FORMATS)}, got {text!r}")
    return formats


def _output_options(p: argparse.ArgumentParser) -> None:
    """The options of the commands that write a design folder: its figures, --force and the map's grid."""
    p.add_argument("--no-plots", action="store_true", help="skip the figures and report.pdf")
    p.add_argument("--figures", type=_formats, default=("png",), metavar="FORMATS",
                   help="file formats of the figures, comma-separated: png, svg, pdf (default png)")
    p.add_argument("--force", action="store_true",
                   help="write into a folder that holds files Talvek did not write (they are kept)")
    p.add_argument("--grid", nargs=2, type=_positive, default=(120, 60), metavar=("NX", "NZ"),
                   help="points of the coverage map across and up the section (default 120 60)")


def _session(args) -> Talvek:
    try:
        tv = Talvek(args.library, args.models, check=False)
    except FileNotFoundError as e:
        raise CliError(str(e)) from None
    except OSError as e:  # the library exists but cannot be loaded
        raise CliError(f"cannot load the library: {e}") from None
    try:
        tv.check()
    except TalvekError as e:
        raise CliError(f"{e.text} (models folder {tv.models_dir})") from None
    return tv


def _record_and_session(args) -> tuple[SFIORecord, Talvek]:
    """The SFIO record ``args.record`` names, and a session to design it with."""
    try:
        record = SFIORecord.load(args.record)
    except ValueError as e:
        raise CliError(str(e)) from None
    return record, _session(args)


def _drawing(args, workers=None):
    """What draws the figures and report.pdf, or None for ``--no-plots``."""
    if args.no_plots:
        return None
    from .report import FiguresAndReport

    return FiguresAndReport(args.figures, workers)


def _system_drawing(args):
    """What draws a system's figures and report.pdf (and each column's), or None for ``--no-plots``."""
    if args.no_plots:
        return None
    from .report.system import SystemFiguresAndReport

    return SystemFiguresAndReport(args.figures)


def _predict_and_report(tv: Talvek, venue: Venue, folder: Path, stem: str, args) -> dict:
    progress = Progress("predicting levels")
    try:
        rep = pipeline.predict_and_report(tv, venue, folder, stem, grid=args.grid, drawing=_drawing(args),
                                          progress=progress)
    finally:
        progress.close()
    for line in analysis.summary_lines(rep):
        print(line)
    return rep


def _finish(folder: Path, started: float, plots: bool) -> None:
    print(f"wrote {folder}/ in {time.monotonic() - started:.1f} s")
    if plots and (folder / "report.pdf").is_file():
        figures = sorted(p.name for p in folder.iterdir() if p.suffix[1:] in FIGURE_FORMATS and p.stem != "report")
        print(f"report: {folder / 'report.pdf'}; figures: {', '.join(figures)}")


# ---------------------------------------------------------------- subcommands

def _models_folder(args):
    """The models folder a command would use, or None when there is none."""
    try:
        return find_models_dir(args.models, _library_or_none(args.library))
    except FileNotFoundError:
        return None


def _models_of(folder):
    try:
        return all_models(folder) if folder is not None else MODELS
    except ModelTableError as e:
        raise CliError(str(e)) from None


def cmd_models(args) -> int:
    try:
        folder, missing = find_models_dir(args.models, _library_or_none(args.library)), ""
    except FileNotFoundError as e:
        folder, missing = None, str(e)
    models = _models_of(folder)
    width = max(10, *(len(m.name) for m in models))
    print(f"{'#':>3}  {'model':<{width}} {'woofer':>6} {'tweeter':>7}  boxes (woofer+tweeter channels, bottom first)")
    for m in models:
        boxes = ", ".join(f"{b[1] - b[0] + 1}+{b[3] - b[2] + 1}" if b[2] else f"{b[1] - b[0] + 1}"
                          for b in m.boxes)
        present = "" if folder is None or (folder / m.archive).is_file() else "  (archive missing)"
        own = f"  (own column, array type of {MODELS[m.arraytype - 1].name}, archive {m.archive})" if m.user else ""
        print(f"{m.number:>3}  {m.name:<{width}} {m.woofer_channels:>6} {m.tweeter_channels or '-':>7}  "
              f"{boxes}{present}{own}")
    print(f"model archives: {folder or missing}")
    return 0


def cmd_model_build(args) -> int:
    from .columns import BuildError, build_column

    folder = Path(args.output)
    bundled = _models_folder(args)
    try:
        built = build_column(args.description, folder, bundled)
    except BuildError as e:
        raise CliError(str(e)) from None
    info = built.column.info
    kind = MODELS[info.arraytype - 1]
    counts = f"{info.woofer_channels}" + (f"+{info.tweeter_channels}" if info.two_way else "")
    print(f"{info.name}: model {info.number}, {counts} channels, array type {kind.number} (the boxes of "
          f"{kind.name}: {len(kind.boxes)})")
    print(f"wrote {built.archive}" + (f"; linked the {len(built.linked)} bundled archives from {bundled}"
                                      if built.linked else ""))
    print(f"use it with --models {folder.resolve()} (or TALVEK_MODEL_DIR); venue files name it "
          f"\"model\": \"{info.name}\"")
    return 0


def _library_or_none(path):
    try:
        return find_library(path)
    except FileNotFoundError:
        return None


def cmd_check(args) -> int:
    tv = _session(args)
    print(f"self-check passed: every model archive opens in {tv.models_dir}")
    if not args.load:
        return 0
    failed = 0
    for m in _models_of(tv.models_dir):
        started = time.monotonic()
        try:
            tv.select(m.number)
            print(f"  {m.name:<10} loads ({time.monotonic() - started:.2f} s)")
        except TalvekError as e:
            print(f"  {m.name:<10} FAILS: {e.text}")
            failed += 1
    if failed:
        raise CliError(f"{failed} model archive(s) do not load")
    return 0


def cmd_design(args) -> int:
    started = time.monotonic()
    venue = load_venue(args.venue, _models_folder(args))
    stem = args.name or Path(args.venue).stem
    progress = Progress("predicting levels")
    with contextlib.ExitStack() as stack:
        workers = None
        # Processes that import matplotlib while the library optimises, then draw; forked only
        # from a process that runs no other thread (called in-process by a threaded host, the
        # figures are drawn on threads instead: the same files).
        if not args.no_plots and not venue.is_system and threading.active_count() == 1:
            from .report.workers import FigureWorkers

            workers = stack.enter_context(FigureWorkers(args.figures))
        drawing = None if venue.is_system else _drawing(args, workers)
        if workers is not None:
            drawing.ahead(venue)
        try:
            tv = _session(args)
            with _whole_folder(args.output, args.force) as staging:
                if venue.is_system:
                    from .design.system import design_system

                    rep = design_system(tv, venue, staging, stem, grid=args.grid, drawing=_system_drawing(args),
                                        progress=progress, voicing=not args.no_voicing,
                                        refine=not args.no_refinement)
                else:
                    rep = pipeline.design_venue(tv, venue, staging, stem, grid=args.grid,
                                                drawing=drawing, progress=progress,
                                                voicing=not args.no_voicing, refine=not args.no_refinement)
        finally:
            progress.close()
    if venue.is_system:
        from .system.prediction import summary_lines

        lines = summary_lines(rep)
    else:
        lines = analysis.summary_lines(rep)
    for line in lines:
        print(line)
    _finish(Path(args.output).resolve(), started, not args.no_plots)
    return 0


def _redesign_system(args) -> int:
    """``talvek redesign SYSTEM_FOLDER``: every column's record designed again, the system predicted again."""
    from .design.system import SystemFolderError, redesign_system
    from .system.prediction import summary_lines

    started = time.monotonic()
    tv = _session(args)
    progress = Progress("predicting levels")
    try:
        with _whole_folder(args.output, args.force) as staging:
            try:
                rep = redesign_system(tv, Path(args.record), staging, args.name, grid=args.grid,
                                      drawing=_system_drawing(args), progress=progress)
            except SystemFolderError as e:
                raise CliError(str(e)) from None
    finally:
        progress.close()
    for line in summary_lines(rep):
        print(line)
    _finish(Path(args.output).resolve(), started, not args.no_plots)
    return 0


def cmd_redesign(args) -> int:
    if Path(args.record).is_dir():
        return _redesign_system(args)
    started = time.monotonic()
    record, tv = _record_and_session(args)
    try:
        record.model_in(tv.models_dir)
    except ValueError as e:  # the model it names is not installed there: write nothing
        raise CliError(f"{args.record}: {e}") from None
    stem = args.name or Path(args.record).stem
    venue = None
    if "text" in record.venue:
        source = str(record.venue.get("source", args.record))
        try:
            venue = parse_venue(str(record.venue["text"]), source, tv.models_dir)
        except VenueError as e:
            raise CliError(f"{args.record}: stored venue unusable: {e}") from None
        if venue.model != record.model_in(tv.models_dir):
            raise CliError(f"{args.record}: the stored venue names {venue.model.name}, the record is for "
                           f"{record.model_in(tv.models_dir).name}")
    try:
        tv.redesign(record)
    except TalvekError as e:
        raise CliError(f"{e.text} ({args.record}, made for {record.model_in(tv.models_dir).name})") from None
    record.models_dir = tv.models_dir
    with _whole_folder(args.output, args.force) as folder:
        written = tv.write_files(folder, stem)
        record.save(folder / f"{stem}.npz")
        if venue is not None:
            _predict_and_report(tv, venue, folder, stem, args)
        else:
            _, headroom = tv.greens([10.0], [1.2], height=0.0, tilt=0.0, first=1, last=1)
            rep = {"model": record.model.name, "headroom_db": round(headroom, 2), "files": outputs.describe_files(
                written), "record": f"{stem}.npz", "note": "the record holds no venue; no levels predicted"}
            if not args.no_plots:
                from .figures import save
                from .figures.filters import filters_figure

                save(filters_figure(analysis.filter_responses(tv), title=f"steering filters of {record.model.name}"),
                     folder / "filters", args.figures)
            rep["outputs"] = sorted(p.name for p in folder.iterdir()) + ["report.json"]
            (folder / "report.json").write_text(json.dumps(rep, indent=2) + "\n")
            print(f"model {rep['model']}, headroom {headroom:+.1f} dB (no venue stored with the record)")
    _finish(Path(args.output).resolve(), started, False)
    return 0


def cmd_report(args) -> int:
    folder = Path(args.folder)
    if not (folder / "report.json").is_file():
        raise CliError(f"{folder}: no report.json; not a design folder")
    try:
        system = json.loads((folder / "report.json").read_text()).get("system")
    except (OSError, ValueError, AttributeError):
        system = False
    if system:
        raise CliError(f"{folder}: the folder of a system of columns; `talvek redesign {folder} -o OUTDIR` draws "
                       "it again, and `talvek report` takes each column's folder")
    tv = _session(args)
    from .report.render import render_report

    path = render_report(tv, folder)
    print(f"wrote {path}")
    return 0


def cmd_verify(args) -> int:
    from .outputs.verify import VerifyError, verify

    tv = _session(args)
    try:
        checked, problems = verify(tv, Path(args.folder))
    except (VerifyError, TalvekError) as e:
        raise CliError(f"{e.export}: {e.text}" if isinstance(e, TalvekError) else str(e)) from None
    for line in checked:
        print(f"ok: {line}")
    for line in problems:
        print(f"{PROGRAM}: verify: {line}", file=sys.stderr)
    if problems:
        raise CliError(f"{args.folder}: {len(problems)} problem(s); do not load these files")
    print(f"{args.folder}: the processor files are the ones designed")
    return 0


def cmd_export(args) -> int:
    from .export import ExportError, export_design

    record, tv = _record_and_session(args)
    try:
        folder = export_design(tv, record, args.engine, args.output, source=str(args.record))
    except ExportError as e:
        raise CliError(str(e)) from None
    except TalvekError as e:
        raise CliError(f"{e.text} ({args.record}, made for {record.model_name or record.arraytype})") from None
    manifest = json.loads((folder / "export.json").read_text())
    print(f"{manifest['model']}: {len(manifest['channels'])} channels of {manifest['taps']} taps at "
          f"{manifest['sample_rate']} Hz for {args.engine} in {folder}")
    return 0


def cmd_serve(args) -> int:
    try:
        from .editor import serve
    except ImportError as e:
        raise CliError(f"the editor needs Flask and jsonschema (scripts/setup.sh installs them): {e}") from None
    tv = _session(args)  # refuse to start without a working library
    try:
        serve(lambda: tv, models_dir=tv.models_dir, port=args.port, open_browser=args.open, announce=lambda line: print(line, flush=True))
    except OSError as e:
        raise CliError(f"cannot listen on 127.0.0.1:{args.port}: {e.strerror or e}") from None
    except KeyboardInterrupt:
        pass
    return 0


# ---------------------------------------------------------------- parser

def build_parser() -> argparse.ArgumentParser:
    def locations(default):
        # Accepted before and after the subcommand; the subcommand's copy must
        # not overwrite a value given before it, hence SUPPRESS there.
        p = argparse.ArgumentParser(add_help=False)
        p.add_argument("--library", metavar="PATH", default=default,
                       help="libtalvek.so or its folder (default: searched; --version shows the one found)")
        p.add_argument("--models", metavar="DIR", default=default,
                       help="folder of the <model>.bin archives (default: searched; --version shows it)")
        return p

    common = locations(argparse.SUPPRESS)
    parser = argparse.ArgumentParser(
        prog=PROGRAM, description="Beam steering for Vexal column loudspeakers.", epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter, parents=[locations(None)])
    parser.add_argument("--version", action=_ShowVersion)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    p = sub.add_parser("models", parents=[common], help="list the models with channels and boxes",
                       description="List the column models, the bundled ones and the columns of your own in "
                                   "the models folder: channel counts and boxes.",
                       epilog="example:\n  talvek models", formatter_class=argparse.RawDescriptionHelpFormatter)
    p.set_defaults(run=cmd_models)

    p = sub.add_parser("model", parents=[common], help="columns of your own: `talvek model build`",
                       description="Columns of your own.")
    model_sub = p.add_subparsers(dest="model_command", metavar="ACTION", required=True)
    b = model_sub.add_parser("build", parents=[common], help="write a model archive from a column description",
                             description=textwrap.fill(
                                 "Write the model archive of a column described in COLUMN.json (see \"Your own "
                                 "array\" in README.md and column.schema.json) into the models folder DIR, enter "
                                 "its name in DIR/columns.json and link the bundled archives there if DIR lacks "
                                 "them. Nothing is written when the description or its data are refused."),
                             epilog="example:\n  talvek model build examples/columns/bench_array.json -o ~/columns\n"
                                    "  talvek design my_venue.json --models ~/columns -o out/bench",
                             formatter_class=argparse.RawDescriptionHelpFormatter)
    b.add_argument("description", metavar="COLUMN.json", help="column description")
    b.add_argument("-o", "--output", metavar="DIR", required=True, help="models folder (created if needed)")
    b.set_defaults(run=cmd_model_build)

    p = sub.add_parser("check", parents=[common], help="run the start-up self-check",
                       description="Run the library's start-up self-check: every bundled model archive opens.",
                       epilog="examples:\n  talvek check --models build/models\n  talvek check --load",
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--load", action="store_true", help="also load every model archive and time it")
    p.set_defaults(run=cmd_check)

    outputs = ("writes into OUTDIR, whole or not at all: <stem>_box<k>.bef (one per box) and <stem>_SFR.bin for\n"
               "the processor, report.json, report.pdf, and the figures coverage, levels and filters\n"
               "(and intelligibility with a room) in the formats of --figures")
    p = sub.add_parser("design", parents=[common], help="optimise for a venue file and write everything",
                       description=textwrap.fill("Optimise the steering filters for a venue and write the "
                                                 "processor files, the SFIO record (<stem>.npz), report.json "
                                                 "and the plots."),
                       epilog=f"{outputs}\n\nexamples:\n  talvek design examples/church_nave.json -o out/church\n"
                              "  talvek design examples/railway_platform.json -o out/platform --no-plots",
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("venue", metavar="VENUE.json", help="venue file (see 'Venue files' in README.md)")
    p.add_argument("-o", "--output", metavar="OUTDIR", required=True, help="output folder (created if needed)")
    p.add_argument("--name", metavar="STEM", help="file stem of the outputs (default: the venue file's)")
    _output_options(p)
    p.add_argument("--no-voicing", action="store_true",
                   help="keep the library's own design: no level correction per frequency after the optimisation")
    p.add_argument("--no-refinement", action="store_true",
                   help="voice only: do not try targets refined per audience segment")
    p.set_defaults(run=cmd_design)

    p = sub.add_parser("redesign", parents=[common], help="design from a stored SFIO record (.npz)",
                       description=textwrap.fill("Design the steering filters from an SFIO record stored by "
                                                 "`talvek design`, without optimising again; given the folder "
                                                 "of a system of several columns, every column's record and the "
                                                 "system's prediction."),
                       epilog=f"{outputs}\n(levels and coverage only when the record carries its venue)\n\n"
                              "example:\n  talvek redesign out/church/church_nave.npz -o out/church-again",
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("record", metavar="RECORD.npz", help="SFIO record written by `talvek design` (or a system's "
                   "folder)")
    p.add_argument("-o", "--output", metavar="OUTDIR", required=True, help="output folder (created if needed)")
    p.add_argument("--name", metavar="STEM", help="file stem of the outputs (default: the record file's)")
    _output_options(p)
    p.set_defaults(run=cmd_redesign)

    p = sub.add_parser("export", parents=[common], help="each channel's filter for a convolution engine",
                       description=textwrap.fill(
                           "Design from a stored SFIO record and write each channel's whole processing chain "
                           "(steering filter, crossover, woofer roll-off) as one impulse response at 96 kHz, "
                           "with a configuration for the engine. OUTDIR is written whole or not at all; an "
                           "existing OUTDIR is replaced only when it is empty or holds an earlier export."),
                       epilog="writes into OUTDIR: export.json and, per engine,\n"
                              "  brutefir    <channel>.f64 (raw float64) and brutefir.conf\n"
                              "  camilladsp  <channel>.f64 (raw float64) and camilladsp.yml\n"
                              "  wav         <channel>.wav (32-bit float)\n\n"
                              "example:\n  talvek export out/church/church_nave.npz --for brutefir -o out/church-bf",
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("record", metavar="RECORD.npz", help="SFIO record written by `talvek design`")
    p.add_argument("--for", dest="engine", required=True, choices=("brutefir", "camilladsp", "wav"),
                   help="the engine the files are for")
    p.add_argument("-o", "--output", metavar="OUTDIR", required=True, help="output folder")
    p.set_defaults(run=cmd_export)

    # Two commands on a finished design folder: render its PDF again, or check its processor files.
    for name, run, summary, description in (
            ("report", cmd_report, "render report.pdf of a design folder again",
             "Render report.pdf of a design folder again from its report.json and record, without designing: "
             "the same bytes as the design wrote."),
            ("verify", cmd_verify, "check the processor files of a design folder",
             "Decode the processor files of a design folder and check them against report.json (sizes, SHA-256) "
             "and the stored record (channel counts, and the response of the decoded taps against the "
             "library's); exit status 1 on any difference.")):
        p = sub.add_parser(name, parents=[common], help=summary, description=textwrap.fill(description),
                           epilog=f"example:\n  talvek {name} out/church",
                           formatter_class=argparse.RawDescriptionHelpFormatter)
        p.add_argument("folder", metavar="FOLDER", help="a folder written by `talvek design`")
        p.set_defaults(run=run)

    p = sub.add_parser("serve", parents=[common], help="the venue editor in the browser",
                       description=textwrap.fill("Serve the venue editor on this machine (127.0.0.1 only): draw "
                                                 "the section, move the audience lines, design and download the "
                                                 "files, as `talvek design` writes them."),
                       epilog="examples:\n  talvek serve --open\n  talvek serve --port 9000",
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--port", type=_port, default=8765, help="port on 127.0.0.1 (default 8765; 0: any free one)")
    p.add_argument("--open", action="store_true", help="open the page in the default browser")
    p.set_defaults(run=cmd_serve)
    return parser


def _port(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"expected a port 0 to 65535, got {text!r}")
    return value


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not 2 <= value <= 2000:
        raise argparse.ArgumentTypeError(f"expected a whole number 2 to 2000, got {text!r}")
    return value


def _one_line(text: str) -> str:
    return " ".join(str(text).split())


def main(argv=None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except (CliError, VenueError, pipeline.DesignError) as e:
        message = str(e)
    except TalvekError as e:
        message = f"{e.export}: {e.text}"
    except KeyboardInterrupt:
        print(f"{PROGRAM}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:  # the reader of our output went away (| head); nothing to say
        sys.stdout = open(os.devnull, "w")
        return 1
    except Exception as e:  # an unexpected failure is still one line unless debugging
        if os.environ.get("TALVEK_DEBUG"):
            raise
        message = f"unexpected {type(e).__name__}: {e} (TALVEK_DEBUG=1 shows where)"
    print(f"{PROGRAM}: error: {_one_line(message)}", file=sys.stderr)
    return 1
