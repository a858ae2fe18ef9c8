"""The venue editor's web server: one page and a small JSON API, on 127.0.0.1 only.

The page keeps the venue as the JSON document of a venue file. It asks the
server to check it (the same reader as ``talvek design``, so the same one-line
messages, with the field path the page uses to show each next to its field),
and to design it: the design runs :func:`talvek.design.pipeline.design_venue` (a
venue of several columns: :func:`talvek.design.system.design_system`, one
subfolder per column) in a worker thread into a folder of its own, and the page
polls its progress and then fetches the report, the figures and the files.

The library keeps one process-wide state, so one design runs at a time: a
second request while one runs is answered 409.

API (every answer is JSON; every error is ``{"error": one line, ...}`` with a 4xx status):

- ``GET  /api/models``: the column models;
- ``GET  /api/examples``, ``GET /api/examples/<name>``: the bundled example venues;
- ``POST /api/venue`` ``{"text", "source"}``: check a venue text;
- ``POST /api/design`` ``{"text", "source", "grid", "figures"}``: start a design (202, or 409 while one runs);
- ``GET  /api/design/<id>``: its state, progress, report and files (paths below its folder);
- ``GET  /api/design/<id>/files/<path>``: one of its files;
- ``GET  /api/design/<id>/archive``: all of them as one zip file.
"""

from __future__ import annotations

import io
import json
import re
import shutil
import tempfile
import threading
import time
import uuid
import zipfile
from pathlib import Path

from flask import Flask, jsonify, request, send_file, send_from_directory
from werkzeug.exceptions import HTTPException

from .. import outputs
from ..design import pipeline
from ..figures import FORMATS
from ..report import FiguresAndReport
from ..api import Talvek, TalvekError
from ..models import all_models
from ..venue import VenueError, parse_venue

__all__ = ["create_app", "serve", "LOCAL_HOSTS", "MAX_BODY", "KEEP_DESIGNS"]

STATIC = Path(__file__).with_name("static")
EXAMPLES = Path(__file__).resolve().parents[3] / "examples"
LOCAL_HOSTS = ("127.0.0.1", "localhost", "[::1]")
MAX_BODY = 512 * 1024   # bytes; a venue of a thousand audience lines is under 100 kB
KEEP_DESIGNS = 8        # finished designs whose files stay downloadable
GRID_LIMITS = (2, 400)  # points of the coverage map per direction accepted from the page
_STEM = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.-]{0,79}")


class ApiError(Exception):
    """A refused request: status and the one-line message (and where in the venue, if known)."""

    def __init__(self, status: int, message: str, **extra):
        super().__init__(message)
        self.status, self.message, self.extra = status, message, extra


def _is_system(venue) -> bool:
    """A venue of several columns (a ``columns`` list), designed as a system."""
    return bool(getattr(venue, "is_system", False))


def _one_line(text) -> str:
    return " ".join(str(text).split())


def _stem_of(source: str) -> str:
    """File stem of the outputs, as ``talvek design`` takes it from the venue file's name."""
    stem = Path(source.replace("\\", "/")).stem
    if not _STEM.fullmatch(stem):
        raise ApiError(400, f"source: {source!r} is not a usable file name (letters, digits, '_', '.', '-')",
                       path="source")
    return stem


class Design:
    """One design job: its folder, state and progress."""

    def __init__(self, folder: Path, stem: str, source: str, formats=("png",)):
        self.id = uuid.uuid4().hex[:12]
        self.folder, self.stem, self.source, self.formats = folder, stem, source, tuple(formats)
        self.state = "queued"          # queued, running, done, failed
        self.stage = "waiting"
        self.done = self.total = 0
        self.column = None             # a system's: (position, count) of the column being worked on
        self.started = time.monotonic()
        self.seconds = None
        self.error = None
        self.report = None

    def progress(self, done: int, total: int, *, column: tuple | None = None, stage: str | None = None) -> None:
        """Called as the design goes; a system's names the column, ``(position, count, name)``."""
        stage = stage or ("drawing plots" if total and done >= total else "predicting levels")
        if column is not None:
            from ..design.system import column_label

            self.column = list(column[:2])
            stage = column_label(column, stage)
        self.stage, self.done, self.total = stage, done, total

    def as_json(self) -> dict:
        out = {"id": self.id, "state": self.state, "stage": self.stage, "done": self.done, "total": self.total,
               "elapsed": round((self.seconds if self.seconds is not None else time.monotonic() - self.started), 2),
               "stem": self.stem}
        if self.column is not None:
            out["column"] = self.column
        if self.error:
            out["error"] = self.error
        if self.state == "done":
            out["report"] = self.report
            out["files"] = self.files()
        return out

    def files(self) -> list[str]:
        """Its files as paths below its folder (a system's columns have subfolders), sorted."""
        return sorted(p.relative_to(self.folder).as_posix() for p in self.folder.rglob("*") if p.is_file())


class Designer:
    """Runs designs one at a time against the library session.

    Two locks: ``slot`` is held from the request of a design to its end (a
    second request meanwhile is refused); ``library`` is held by whatever calls
    the library, a design or the loading of the model of the venue being
    edited, which saves that time when the designer presses Design.
    """

    def __init__(self, session, workdir: Path, *, preload: bool = True):
        self._session = session      # callable returning the open Talvek (opened on first use)
        self._tv: Talvek | None = None
        self._loaded = None          # number of the model the library holds
        self.workdir = workdir
        self.preload = preload
        self.slot = threading.Lock()
        self.library = threading.Lock()
        self.jobs: dict[str, Design] = {}

    def _open(self) -> Talvek:
        if self._tv is None:
            self._tv = self._session()
        return self._tv

    def preload_model(self, number: int) -> None:
        """Load model ``number`` in the background if the library is idle and holds another."""
        if not self.preload or number == self._loaded or self.slot.locked():
            return
        if not self.library.acquire(blocking=False):
            return
        threading.Thread(target=self._preload, args=(number,), daemon=True, name="preload").start()

    def _preload(self, number: int) -> None:
        try:
            self._open().select(number)
            self._loaded = number
        except Exception:  # noqa: BLE001  (a design of this venue will report it)
            self._loaded = None
        finally:
            self.library.release()

    def start(self, venue, text: str, stem: str, grid, formats=("png",)) -> Design:
        if not self.slot.acquire(blocking=False):
            raise ApiError(409, "a design is running; wait for it to finish")
        try:
            self._forget_old()
            job = Design(Path(tempfile.mkdtemp(prefix="design-", dir=self.workdir)), stem, venue.source, formats)
            self.jobs[job.id] = job
            threading.Thread(target=self._run, args=(job, venue, grid, text), daemon=True,
                             name=f"design-{job.id}").start()
        except BaseException:
            self.slot.release()
            raise
        return job

    def _run(self, job: Design, venue, grid, text: str) -> None:
        try:
            job.state, job.stage, job.started = "running", "optimising", time.monotonic()
            with self.library:  # waits for a model being loaded meanwhile
                self._loaded = None
                tv = self._open()
                # Written whole, as the command line writes: the files appear together or not at all.
                with outputs.whole_folder(job.folder) as staging:
                    # The venue file goes with the design, byte for byte the text that was designed.
                    (staging / f"{job.stem}.json").write_text(text, encoding="utf-8")
                    if _is_system(venue):
                        from ..design.system import design_system
                        from ..report import SystemFiguresAndReport

                        job.report = design_system(tv, venue, staging, job.stem, grid=grid,
                                                   drawing=SystemFiguresAndReport(job.formats),
                                                   progress=job.progress)
                    else:
                        job.report = pipeline.design_venue(tv, venue, staging, job.stem, grid=grid,
                                                           drawing=FiguresAndReport(job.formats),
                                                           progress=job.progress)
                # A system's columns may load several models; the last one is not worth tracking.
                self._loaded = None if _is_system(venue) else venue.model.number
            job.state = "done"
        except (pipeline.DesignError, VenueError, outputs.FolderError) as e:
            job.state, job.error = "failed", _one_line(e)
        except TalvekError as e:
            job.state, job.error = "failed", _one_line(f"{e.export}: {e.text}")
        except Exception as e:  # noqa: BLE001  (the page gets one line; the server keeps serving)
            job.state, job.error = "failed", _one_line(f"unexpected {type(e).__name__}: {e}")
        finally:
            job.seconds = time.monotonic() - job.started
            job.stage = "finished"
            self.slot.release()

    def _forget_old(self) -> None:
        finished = [j for j in self.jobs.values() if j.state in ("done", "failed")]
        for job in sorted(finished, key=lambda j: j.started)[:max(len(finished) - KEEP_DESIGNS + 1, 0)]:
            shutil.rmtree(job.folder, ignore_errors=True)
            del self.jobs[job.id]

    def job(self, job_id: str) -> Design:
        job = self.jobs.get(job_id)
        if job is None:
            raise ApiError(404, f"no design {job_id!r} (the server keeps the last {KEEP_DESIGNS})")
        return job


# ---------------------------------------------------------------- request checks

def _body() -> dict:
    """The JSON object of a POST body; refuses other content types and non-objects."""
    if request.mimetype != "application/json":
        raise ApiError(415, "send the request as application/json")
    if request.content_length is None:
        raise ApiError(411, "send the request with a Content-Length")
    if request.content_length > MAX_BODY:
        raise ApiError(413, f"request body larger than {MAX_BODY // 1024} kB")
    raw = request.get_data(cache=False)
    try:
        body = json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, ValueError, RecursionError) as e:
        raise ApiError(400, _one_line(f"request body is not valid JSON: {e}")) from None
    if not isinstance(body, dict):
        raise ApiError(400, "request body must be a JSON object")
    return body


def _venue_from(body: dict, allowed: set, models_dir=None):
    unknown = sorted(set(body) - allowed)
    if unknown:
        raise ApiError(400, f"unknown request field {unknown[0]!r} (known: {', '.join(sorted(allowed))})")
    text, source = body.get("text"), body.get("source", "venue.json")
    if not isinstance(text, str):
        raise ApiError(400, "text: expected the venue file's text")
    if not isinstance(source, str) or not source:
        raise ApiError(400, "source: expected the venue file's name", path="source")
    stem = _stem_of(source)
    try:
        venue = parse_venue(text, Path(source).name, models_dir)
    except VenueError as e:
        raise ApiError(422, _one_line(e), path=e.path, line=e.line, problem=e.problem,
                       document=_document_or_none(text)) from None
    return venue, text, stem


def _document_or_none(text: str):
    """The JSON object of a venue text even when it is not a valid venue, so the page can show it."""
    try:
        doc = json.loads(text)
    except (ValueError, RecursionError):
        return None
    return doc if isinstance(doc, dict) and _finite(doc) else None


def _finite(value, depth=0) -> bool:
    # NaN and Infinity cannot go back to the page as JSON.
    if depth > 20:
        return False
    if isinstance(value, float):
        return value == value and abs(value) != float("inf")
    if isinstance(value, dict):
        return all(_finite(v, depth + 1) for v in value.values())
    if isinstance(value, list):
        return all(_finite(v, depth + 1) for v in value)
    return not isinstance(value, int) or abs(value) < 2**63


def _venue_summary(venue) -> dict:
    if _is_system(venue):
        # The reader itself refuses a line behind a column that serves it, so none is out of sight.
        out = {"name": venue.name, "columns": [{"name": c.name, "model": c.model.name,
                                                "column_length": c.model.column_length} for c in venue.columns],
               "out_of_sight": []}
    else:
        out = {"name": venue.name, "model": venue.model.name, "column_length": venue.model.column_length,
               "out_of_sight": [{"line": k, "end": end} for k, end, _ in venue.out_of_sight()]}
    if hasattr(venue, "extent"):
        (x0, x1), (z0, z1) = venue.extent()
        out["extent"] = {"x": [x0, x1], "z": [z0, z1]}
    return out


def _model_number(venue) -> int:
    """The model to load ahead of a design: the venue's, or its first column's."""
    return venue.columns[0].model.number if _is_system(venue) else venue.model.number


def _formats_from(body: dict) -> tuple:
    """The figure formats asked for, in the order of ``figures.FORMATS``; PNG always (the page shows it)."""
    figures = body.pop("figures", ["png"])
    if not (isinstance(figures, list) and figures and all(isinstance(f, str) for f in figures)
            and set(figures) <= set(FORMATS) and "png" in figures):
        raise ApiError(400, f"figures: expected a list of formats among {', '.join(FORMATS)}, png included",
                       path="figures")
    return tuple(f for f in FORMATS if f in figures)


# ---------------------------------------------------------------- the application

def create_app(session, workdir: str | Path, *, preload: bool = True, models_dir=None) -> Flask:
    """The editor's Flask application.

    Parameters
    ----------
    session : callable
        Returns the open :class:`talvek.api.Talvek` session; called once, by the first design.
    workdir : path
        Existing folder where each design gets a folder of its own.
    preload : bool
        Load the model of a venue that passes the check while the library is idle.
    models_dir : path, optional
        Models folder whose columns of the user's own the page offers beside
        the bundled ones (default: the one found, see :func:`talvek.models.find_models_dir`).
    """
    app = Flask(__name__, static_folder=str(STATIC), static_url_path="/static")
    app.config["MAX_CONTENT_LENGTH"] = MAX_BODY
    app.json.sort_keys = False
    designer = Designer(session, Path(workdir), preload=preload)
    app.extensions["talvek_designer"] = designer

    @app.before_request
    def only_local():
        # Bound to 127.0.0.1 already; the Host check also keeps out pages of other
        # sites that reach us through a name of theirs resolving to 127.0.0.1.
        host = (request.host or "").lower()
        name = host.rsplit(":", 1)[0] if not host.endswith("]") else host
        if name not in LOCAL_HOSTS:
            raise ApiError(403, f"host {request.host!r} refused: the editor answers only on this machine")
        origin = request.headers.get("Origin")
        if request.method == "POST" and origin and origin.split("://", 1)[-1].lower() != host:
            raise ApiError(403, f"origin {origin!r} refused")

    @app.errorhandler(ApiError)
    def api_error(e: ApiError):
        body = {"error": e.message}
        body.update({k: v for k, v in e.extra.items() if v is not None})
        return jsonify(body), e.status

    @app.errorhandler(HTTPException)
    def http_error(e: HTTPException):
        messages = {413: f"request body larger than {MAX_BODY // 1024} kB", 404: "no such page or API call",
                    405: f"method {request.method} not allowed here"}
        return jsonify({"error": messages.get(e.code, _one_line(e.description or e.name))}), e.code

    @app.errorhandler(Exception)
    def unexpected(e: Exception):
        return jsonify({"error": _one_line(f"unexpected {type(e).__name__}: {e}")}), 500

    @app.after_request
    def no_sniffing(response):
        response.headers["X-Content-Type-Options"] = "nosniff"
        response.headers["X-Frame-Options"] = "DENY"
        response.headers["Cache-Control"] = "no-store"
        return response

    @app.get("/")
    def page():
        return send_from_directory(STATIC, "index.html")

    @app.get("/api/models")
    def models():
        return jsonify([{"number": m.number, "name": m.name, "column_length": m.column_length,
                         "woofer_channels": m.woofer_channels, "tweeter_channels": m.tweeter_channels}
                        for m in all_models(models_dir)])

    @app.get("/api/examples")
    def examples():
        return jsonify(sorted(p.name for p in EXAMPLES.glob("*.json")))

    @app.get("/api/examples/<name>")
    def example(name):
        if name not in {p.name for p in EXAMPLES.glob("*.json")}:
            raise ApiError(404, f"no example {name!r}")
        return jsonify({"source": name, "text": (EXAMPLES / name).read_text(encoding="utf-8")})

    @app.post("/api/venue")
    def check_venue():
        venue, text, _ = _venue_from(_body(), {"text", "source"}, models_dir)
        designer.preload_model(_model_number(venue))
        return jsonify({"ok": True, "document": json.loads(text), "venue": _venue_summary(venue)})

    @app.post("/api/design")
    def start_design():
        body = _body()
        grid = body.pop("grid", [120, 60])
        if not (isinstance(grid, list) and len(grid) == 2 and all(
                isinstance(g, int) and not isinstance(g, bool) and GRID_LIMITS[0] <= g <= GRID_LIMITS[1]
                for g in grid)):
            raise ApiError(400, f"grid: expected [nx, nz], whole numbers {GRID_LIMITS[0]} to {GRID_LIMITS[1]}")
        formats = _formats_from(body)
        venue, text, stem = _venue_from(body, {"text", "source"}, models_dir)
        behind = [] if _is_system(venue) else venue.out_of_sight()
        if behind:  # the library would refuse it; say which end without asking it
            k, end, (x, z) = behind[0]
            a = venue.audience[k - 1]
            problem = f"the {end!r} end of \"{a.name}\" ({x:g}, {z:g}) m lies behind the column's front plane"
            raise ApiError(422, f"{venue.source}:{a.line}: audience[{k}].{end}: {problem}",
                           path=f"audience[{k}].{end}", line=a.line, problem=problem)
        job = designer.start(venue, text, stem, tuple(grid), formats)
        return jsonify(job.as_json()), 202

    @app.get("/api/design/<job_id>")
    def design_state(job_id):
        return jsonify(designer.job(job_id).as_json())

    def finished(job_id) -> Design:
        job = designer.job(job_id)
        if job.state != "done":
            raise ApiError(409, f"design {job_id} is {job.state}")
        return job

    @app.get("/api/design/<job_id>/files/<path:name>")
    def design_file(job_id, name):
        job = finished(job_id)
        if name not in job.files():  # only the design's own files, never a path out of its folder
            raise ApiError(404, f"design {job_id} has no file {name!r}")
        inline = name.endswith(".png") and request.args.get("download") is None
        return send_from_directory(job.folder, name, as_attachment=not inline, max_age=0)

    @app.get("/api/design/<job_id>/archive")
    def design_archive(job_id):
        job = finished(job_id)
        # Every file below a folder named after the stem, as the command line's output folder holds them.
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
            for name in job.files():
                archive.write(job.folder / name, f"{job.stem}/{name}")
        buffer.seek(0)
        return send_file(buffer, mimetype="application/zip", as_attachment=True,
                         download_name=f"{job.stem}.zip", max_age=0)

    return app


def serve(session, *, port: int = 8765, open_browser: bool = False, workdir: str | Path | None = None,
          announce=print, models_dir=None) -> None:
    """Serve the editor on 127.0.0.1:``port`` (0: any free port) until interrupted."""
    import logging

    from werkzeug.serving import make_server

    # One line per request is noise in a terminal; refusals and failures still show.
    logging.getLogger("werkzeug").setLevel(logging.WARNING)
    from .. import analysis  # noqa: F401  (imported once here rather than by the first design)
    from ..figures import preload

    preload()

    with tempfile.TemporaryDirectory(prefix="talvek-editor-") as scratch:
        app = create_app(session, workdir or scratch, models_dir=models_dir)
        server = make_server("127.0.0.1", port, app, threaded=True)
        url = f"http://127.0.0.1:{server.server_port}/"
        announce(f"talvek editor at {url} (Ctrl-C stops it)")
        if open_browser:
            import webbrowser

            webbrowser.open(url)
        try:
            server.serve_forever()
        finally:
            server.server_close()
