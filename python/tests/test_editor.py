"""The venue editor (`talvek serve`): bad input gets one line and a 4xx, only this
machine is served, one design runs at a time, and in a real browser the page
designs exactly what `talvek design` designs from the same venue file."""

import io
import json
import shutil
import socket
import subprocess
import sys
import threading
import time
import types
import urllib.error
import urllib.request
import zipfile
from pathlib import Path

import numpy as np
import pytest
from hostpaths import REPO, needs_library

import talvek.report
from talvek.editor import server as editor_server
from talvek.editor.server import MAX_BODY, create_app
from talvek.models import model_info
from talvek.venue import Venue, VenueError, parse_venue

VENUE = {"name": "Small hall", "model": "Vexal16", "height": 1.5, "tilt": 0,
         "audience": [{"name": "floor", "from": [2, 1.2], "to": [12, 1.2], "level": 80},
                      {"name": "gallery", "from": [8, 4], "to": [14, 5], "level": 78}]}


def venue_text(**changes):
    return json.dumps({**VENUE, **changes}, indent=1)


@pytest.fixture
def client(tmp_path):
    app = create_app(lambda: pytest.fail("no design may start"), tmp_path, preload=False)
    return app.test_client()


def post(client, url, body, **kw):
    data = body if isinstance(body, (bytes, str)) else json.dumps(body)
    return client.post(url, data=data, content_type=kw.pop("content_type", "application/json"), **kw)


# ---------------------------------------------------------------- the API without the library

behind = {**VENUE["audience"][0], "to": [-2, 1.2]}


@pytest.mark.parametrize("method, url, body, status, fragment", [
    ("POST", "/api/venue", {"text": venue_text(height=float("nan")), "source": "hall.json"}, 422,
     "hall.json:4: height: expected a number in m, got NaN"),
    ("POST", "/api/venue", {"text": venue_text(height=1e999)}, 422, "height: expected a number in m, got Infinity"),
    ("POST", "/api/venue", {"text": venue_text(colour="red")}, 422, "colour: unknown field"),
    ("POST", "/api/venue", {"text": venue_text(tilt=10**400)}, 422, "tilt: expected a number in degrees"),
    ("POST", "/api/venue", {"text": "[" * 50000}, 422, "not valid JSON"),
    ("POST", "/api/venue", {"text": venue_text(), "colour": 1}, 400, "unknown request field 'colour'"),
    ("POST", "/api/venue", {"text": 5}, 400, "text: expected the venue file's text"),
    ("POST", "/api/venue", b"{not json", 400, "request body is not valid JSON"),
    ("POST", "/api/venue", b"\xff\xfe", 400, "request body is not valid JSON"),
    ("POST", "/api/venue", [1], 400, "request body must be a JSON object"),
    ("POST", "/api/venue", {"text": "x" * MAX_BODY}, 413, "request body larger than"),
    ("POST", "/api/design", {"text": venue_text(audience=[behind]), "source": "hall.json"}, 422,
     "audience[1].to: the 'to' end of \"floor\" (-2, 1.2) m lies behind the column's front plane"),
    ("POST", "/api/design", {"text": venue_text(), "grid": [10**9, 2]}, 400, "grid: expected [nx, nz]"),
    ("POST", "/api/design", {"text": venue_text(), "source": ".json"}, 400, "source: '.json' is not a usable"),
    ("POST", "/api/design", {"text": venue_text(), "figures": ["svg"]}, 400, "figures: expected a list of formats"),
    ("POST", "/api/design", {"text": venue_text(), "figures": "png,gif"}, 400, "figures: expected a list of formats"),
    ("GET", "/api/design/nosuchjob", None, 404, "no design 'nosuchjob'"),
    ("GET", "/api/design/nosuchjob/files/..%2F..%2Fetc%2Fpasswd", None, 404, "no "),
    ("GET", "/api/examples/..%2FREADME.md", None, 404, "no "),
    ("DELETE", "/api/venue", None, 405, "method DELETE not allowed"),
])
def test_bad_requests_get_one_line_and_4xx(client, method, url, body, status, fragment):
    if method == "POST":
        response = post(client, url, body)
    else:
        response = client.open(url, method=method)
    message = response.get_json()["error"]
    assert response.status_code == status and fragment in message and "\n" not in message, message
    assert client.get("/api/models").status_code == 200


def test_venue_errors_carry_the_field_for_the_page(client):
    text = venue_text(audience=[{**VENUE["audience"][0], "level": [80, 300]}])
    answer = post(client, "/api/venue", {"text": text, "source": "hall.json"}).get_json()
    assert (answer["path"], answer["problem"]) == ("audience[1].level", "300 is outside 0 to 200 dB SPL")
    assert answer["error"] == f"hall.json:{answer['line']}: audience[1].level: 300 is outside 0 to 200 dB SPL"
    assert answer["document"]["audience"][0]["level"] == [80, 300]  # the page can still show the file


def test_only_local_hosts_and_same_origin_posts(client):
    assert client.get("/api/models", headers={"Host": "evil.example:8765"}).status_code == 403
    assert client.get("/api/models", headers={"Host": "127.0.0.1.evil.example"}).status_code == 403
    assert client.get("/", headers={"Host": "localhost:8765"}).status_code == 200
    foreign = post(client, "/api/venue", {"text": venue_text()}, headers={"Origin": "http://evil.example"})
    assert foreign.status_code == 403
    # A cross-site form can only send text/plain without asking first; it is refused.
    assert post(client, "/api/venue", json.dumps({"text": venue_text()}), content_type="text/plain").status_code == 415


def test_a_second_design_while_one_runs_is_refused(client):
    designer = client.application.extensions["talvek_designer"]
    with designer.slot:  # as held by a running design
        response = post(client, "/api/design", {"text": venue_text(), "source": "hall.json"})
    assert response.status_code == 409 and "a design is running" in response.get_json()["error"]


# ---------------------------------------------------------------- a venue of several columns

SYSTEM = {"name": "Platform", "columns": [
    {"name": "north", "model": "Vexal16", "x": 0, "height": 2.5, "tilt": 0, "serves": ["north end"]},
    {"name": "south", "model": "Vexal16", "x": 30, "height": 2.5, "tilt": 0, "facing": "-x", "serves": ["south end"],
     "delay_ms": 12}],
    "audience": [{"name": "north end", "from": [1, 1.6], "to": [15, 1.6], "level": 80},
                 {"name": "south end", "from": [15, 1.6], "to": [29, 1.6], "level": 80}]}
READER_KNOWS_COLUMNS = hasattr(Venue, "is_system")


def _system_reader(text, source, models_dir=None):
    """A columns venue as the several-column reader gives it (until that reader is here)."""
    doc = json.loads(text)
    if "columns" not in doc:
        return parse_venue(text, source, models_dir)
    columns = tuple(types.SimpleNamespace(**{**c, "model": model_info(c["model"])}) for c in doc["columns"])
    return types.SimpleNamespace(is_system=True, name=doc["name"], source=source, text=text, columns=columns)


def test_a_systems_job_names_the_column_it_is_at(tmp_path):
    job = editor_server.Design(tmp_path, "platform", "platform.json")
    seen = []
    for done, total, more in [(0, 0, {"column": (1, 2, "north"), "stage": "optimising"}),
                              (400, 900, {"column": (1, 2, "south")}), (900, 900, {"column": (1, 2, "south")})]:
        job.progress(done, total, **more)
        state = job.as_json()
        seen.append((state["stage"], state.get("column")))
    assert seen == [("column 1 of 2 (north): optimising", [1, 2]), ("column 1 of 2 (south): predicting levels", [1, 2]),
                    ("column 1 of 2 (south): drawing plots", [1, 2])]


def test_a_columns_venue_is_designed_as_a_system(tmp_path, monkeypatch):
    calls = []

    class Drawing:  # the presentation layer's drawing of a system
        def __init__(self, formats):
            self.formats = formats

    def design_system(tv, venue, folder, stem, *, grid, drawing, progress, **options):
        calls.append((tv, venue, stem, grid, drawing.formats))
        for name in ("report.json", "coverage.png", "coverage.svg", "report.pdf", "north/north_SFR.bin",
                     "south/platform_box1.bef"):
            (folder / name).parent.mkdir(exist_ok=True)
            (folder / name).write_bytes(name.encode())
        progress(1, 1)
        return {"columns": [{"name": c.name, "folder": c.name} for c in venue.columns], "bands": []}

    if not READER_KNOWS_COLUMNS:
        monkeypatch.setattr(editor_server, "parse_venue", _system_reader)
    monkeypatch.setitem(sys.modules, "talvek.design.system", types.SimpleNamespace(design_system=design_system))
    monkeypatch.setattr(talvek.report, "SystemFiguresAndReport", Drawing, raising=False)
    client = create_app(lambda: "the session", tmp_path, preload=False).test_client()
    text = json.dumps(SYSTEM, indent=1)

    checked = post(client, "/api/venue", {"text": text, "source": "platform.json"}).get_json()
    assert [c["name"] for c in checked["venue"]["columns"]] == ["north", "south"], checked
    started = post(client, "/api/design", {"text": text, "source": "platform.json", "grid": [20, 10],
                                           "figures": ["svg", "png"]})
    assert started.status_code == 202, started.get_json()
    job = started.get_json()["id"]
    for _ in range(200):
        state = client.get(f"/api/design/{job}").get_json()
        if state["state"] in ("done", "failed"):
            break
        time.sleep(0.05)
    assert state["state"] == "done", state
    ((tv, venue, stem, grid, formats),) = calls
    assert (tv, stem, grid, formats) == ("the session", "platform", (20, 10), ("png", "svg"))
    assert [c.name for c in venue.columns] == ["north", "south"]

    # The venue file beside the system's files, each column's in its subfolder, all downloadable.
    assert state["files"] == sorted(["platform.json", "report.json", "coverage.png", "coverage.svg", "report.pdf",
                                     "north/north_SFR.bin", "south/platform_box1.bef"])
    assert state["report"]["columns"][1] == {"name": "south", "folder": "south"}
    assert client.get(f"/api/design/{job}/files/platform.json").data.decode() == text
    assert client.get(f"/api/design/{job}/files/north/north_SFR.bin").data == b"north/north_SFR.bin"
    for escape in ("north/../../x", "..%2F" * 3 + "etc/passwd", "north"):
        assert client.get(f"/api/design/{job}/files/{escape}").status_code == 404, escape
    archive = zipfile.ZipFile(io.BytesIO(client.get(f"/api/design/{job}/archive").data))
    assert sorted(archive.namelist()) == [f"platform/{name}" for name in state["files"]]


@pytest.mark.skipif(not READER_KNOWS_COLUMNS, reason="the reader of several columns is not in this tree yet")
def test_columns_venue_messages_reach_the_page_with_their_line(client):
    doc = json.loads(json.dumps(SYSTEM))
    doc["columns"][1]["serves"] = ["north end", "nowhere"]
    text = json.dumps(doc, indent=1)
    answer = post(client, "/api/venue", {"text": text, "source": "platform.json"}).get_json()
    with pytest.raises(VenueError) as reader:
        parse_venue(text, "platform.json")
    assert answer["error"] == str(reader.value) and answer["line"] == reader.value.line
    assert answer["path"].startswith("columns[2]"), answer


# ---------------------------------------------------------------- a real server

@pytest.fixture(scope="module")
def server(env_for_subprocess, tmp_path_factory):
    # stderr to a file: an unread pipe would fill up and stall the server.
    log = tmp_path_factory.mktemp("serve") / "stderr.txt"
    with open(log, "w") as stderr:
        proc = subprocess.Popen([str(REPO / "bin" / "talvek"), "serve", "--port", "0"], stdout=subprocess.PIPE,
                                stderr=stderr, text=True, env=env_for_subprocess)
    line = proc.stdout.readline()
    if "http://" not in line:
        proc.kill()
        pytest.fail(f"talvek serve did not start: {line}{log.read_text()}")
    yield line.split()[3]
    proc.terminate()
    proc.wait(timeout=10)


def _listening_addresses(port):
    """Local addresses listening on ``port`` by the kernel's TCP tables, as hex (Linux)."""
    rows = [row.split() for table in ("/proc/net/tcp", "/proc/net/tcp6") if Path(table).exists()
            for row in Path(table).read_text().splitlines()[1:]]
    return [local.rsplit(":", 1)[0] for _, local, _, state, *_ in rows
            if state == "0A" and int(local.rsplit(":", 1)[1], 16) == port]


@needs_library
def test_server_serves_only_loopback_and_survives_a_burst(server):
    port = int(server.rstrip("/").rsplit(":", 1)[1])
    # Bound to 127.0.0.1 and nothing else: no other host can reach it.
    if Path("/proc/net/tcp").exists():
        assert _listening_addresses(port) == ["0100007F"]

    garbage = [b"GARBAGE\r\n\r\n", b"GET /" + b"a" * 70000 + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
               b"POST /api/venue HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
               b"Content-Length: 100000000\r\n\r\n{",
               b"POST /api/design HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
               b"Content-Length: 9\r\n\r\n{\"text\":1",
               b"GET /api/models HTTP/1.1\r\nHost: evil.example\r\n\r\n", b"\x00\xff" * 500]

    def send(payload):
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
                s.sendall(payload)
                s.shutdown(socket.SHUT_WR)
                s.recv(4096)
        except OSError:
            pass

    threads = [threading.Thread(target=send, args=(garbage[i % len(garbage)],)) for i in range(120)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    with urllib.request.urlopen(server + "api/models", timeout=10) as r:
        assert r.status == 200 and len(json.loads(r.read())) == 10


# ---------------------------------------------------------------- in a real browser

def _browser(downloads: Path, profile: Path):
    webdriver = pytest.importorskip("selenium.webdriver")
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver = shutil.which("chromedriver") or ("/usr/bin/chromedriver" if Path("/usr/bin/chromedriver").exists()
                                              else None)
    if not chromium or not driver:
        pytest.skip("chromium or chromedriver not installed")
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--window-size=1400,1000", f"--user-data-dir={profile}"):
        options.add_argument(flag)
    # Several downloads in a row count as "automatic downloads", which Chromium may hold back.
    options.add_experimental_option("prefs", {"download.default_directory": str(downloads),
                                              "download.prompt_for_download": False,
                                              "profile.default_content_setting_values.automatic_downloads": 1})
    browser = webdriver.Chrome(service=Service(driver), options=options)
    browser.execute_cdp_cmd("Page.setDownloadBehavior", {"behavior": "allow", "downloadPath": str(downloads)})
    return browser


def _wait(predicate, timeout=180, what="the page"):  # generous: CI machines can be busy
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.1)
    pytest.fail(f"timed out waiting for {what() if callable(what) else what}")


@needs_library
def test_page_edits_designs_and_downloads_what_the_command_line_writes(server, tmp_path, env_for_subprocess):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select

    downloads, opened = tmp_path / "downloads", tmp_path / "opened"
    downloads.mkdir()
    opened.mkdir()
    (opened / "small.json").write_text(venue_text())
    browser = _browser(downloads, tmp_path / "profile")
    find = browser.find_element
    try:
        browser.get(server)
        _wait(lambda: len(Select(find(By.ID, "f-model")).options) == 10, what="the models")
        find(By.ID, "open-file").send_keys(str(opened / "small.json"))
        _wait(lambda: find(By.ID, "f-name").get_attribute("value") == "Small hall", what="the opened venue")
        Select(find(By.ID, "grid")).select_by_value("60,30")

        def design():
            before = find(By.ID, "img-coverage").get_attribute("src")
            find(By.ID, "design").click()
            src = _wait(lambda: find(By.ID, "design").is_enabled() and find(By.ID, "img-coverage").get_attribute(
                "src") not in ("", before) and find(By.ID, "img-coverage").get_attribute("src"), what="a design")
            assert find(By.ID, "message").is_displayed() is False, find(By.ID, "message").text
            with urllib.request.urlopen(src) as r:
                return r.read()

        first = design()

        # Drag the floor's far end up and away; the panel follows the drawing.
        handle = find(By.CSS_SELECTOR, 'circle.handle[data-line="0"][data-end="to"]')
        ActionChains(browser).drag_and_drop_by_offset(handle, 150, -100).perform()
        line = find(By.CSS_SELECTOR, "#lines > li")
        x1, z1 = (float(line.find_element(By.CLASS_NAME, c).get_attribute("value")) for c in ("l-x1", "l-z1"))
        assert x1 > 13.5 and z1 > 2.5, (x1, z1)
        gallery_level = find(By.CSS_SELECTOR, "#lines > li:nth-child(2) .l-lv0")
        gallery_level.clear()
        gallery_level.send_keys("84")

        # A level the reader refuses is shown next to its field; putting it right clears it.
        gallery_level.send_keys("0")  # 840 dB
        note = _wait(lambda: browser.find_elements(By.CSS_SELECTOR, "#lines > li:nth-child(2) .error-note"),
                     what="the error next to the level")
        assert "840 is outside 0 to 200 dB SPL" in note[0].text
        gallery_level.send_keys("\b")
        _wait(lambda: not browser.find_elements(By.CSS_SELECTOR, ".error-note"), what="the error to clear")

        # The room: seven RT60 values or one; six are refused next to the field.
        find(By.CSS_SELECTOR, "#room > summary").click()
        find(By.ID, "f-volume").send_keys("2500")
        find(By.ID, "f-rt60").send_keys("1.4, 1.3, 1.2, 1.1, 1.0, 0.9")
        note = _wait(lambda: browser.find_elements(By.CSS_SELECTOR, '[data-path="room.rt60"] .error-note'),
                     what="the error next to the RT60")
        assert "seven of them" in note[0].text
        find(By.ID, "f-rt60").send_keys(", 0.8")
        find(By.ID, "f-noise").send_keys("40")
        _wait(lambda: not browser.find_elements(By.CSS_SELECTOR, ".error-note"), what="the error to clear")

        second = design()
        assert second != first  # the coverage picture changed with the venue
        find(By.CSS_SELECTOR, '.tabs button[data-tab="intelligibility"]').click()
        cells = [td.text for td in browser.find_elements(By.CSS_SELECTOR, "#sti-detail td")]
        assert cells[0] == "floor" and 0.2 < float(cells[1]) < 1.0, cells

        find(By.CSS_SELECTOR, '.tabs button[data-tab="summary"]').click()
        names = [a.text for a in browser.find_elements(By.CSS_SELECTOR, "#downloads a")]
        assert {"small.json", "small.npz", "small_SFR.bin", "report.json", "coverage.png"} <= set(names)
        for link in browser.find_elements(By.CSS_SELECTOR, "#downloads a"):
            link.click()
        _wait(lambda: all((downloads / n).exists() for n in names) and not list(downloads.glob("*.crdownload")),
              what=lambda: f"the downloads of {names} (have {sorted(p.name for p in downloads.iterdir())})")
        # Refused venues show up as failed requests (422) in the log; script errors must not.
        assert not [e for e in browser.get_log("browser") if e["level"] == "SEVERE" and e["source"] != "network"]
    finally:
        browser.quit()

    saved = json.loads((downloads / "small.json").read_text())
    assert saved["audience"][0]["to"] == [x1, z1] and saved["audience"][1]["level"] == [84, 78]
    assert saved["room"] == {"volume": 2500, "rt60": [1.4, 1.3, 1.2, 1.1, 1.0, 0.9, 0.8], "noise": 40}

    # The same venue file through the command line gives the same files.
    result = subprocess.run([str(REPO / "bin" / "talvek"), "design", "small.json", "-o", str(tmp_path / "cli"),
                             "--grid", "60", "30"], cwd=downloads, capture_output=True, text=True,
                            env=env_for_subprocess, timeout=120)
    assert result.returncode == 0, result.stderr
    cli = tmp_path / "cli"
    for processor_file in [n for n in names if n.startswith("small_")]:
        assert (downloads / processor_file).read_bytes() == (cli / processor_file).read_bytes(), processor_file
    page_record, cli_record = np.load(downloads / "small.npz"), np.load(cli / "small.npz")
    assert sorted(page_record.files) == sorted(cli_record.files)
    for key in page_record.files:
        np.testing.assert_array_equal(page_record[key], cli_record[key], err_msg=key)
    # Apart from the date, where the venue came from and the page's copy of the venue file.
    page_report, cli_report = (json.loads((folder / "report.json").read_text()) for folder in (downloads, cli))
    for report in (page_report, cli_report):
        for key in ("designed", "venue_source", "outputs"):
            del report[key]
    assert page_report == cli_report


def _steady(action, tries=5):
    """``action()`` again when the drawing was redrawn under it (each check of the venue redraws it)."""
    from selenium.common.exceptions import StaleElementReferenceException

    for _ in range(tries - 1):
        try:
            return action()
        except StaleElementReferenceException:
            time.sleep(0.2)
    return action()


@needs_library
def test_page_adds_drags_and_removes_columns_and_converts_back(server, tmp_path):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select

    downloads, opened = tmp_path / "downloads", tmp_path / "opened"
    downloads.mkdir()
    opened.mkdir()
    (opened / "small.json").write_text(venue_text())
    browser = _browser(downloads, tmp_path / "profile")
    find, find_all = browser.find_element, browser.find_elements
    feet = lambda: find_all(By.CSS_SELECTOR, "circle.col-handle")  # noqa: E731
    labels = lambda: browser.execute_script(  # noqa: E731  (read at once: a redraw cannot come between)
        "return [...document.querySelectorAll('text.col-label')].map((t) => t.textContent)")
    try:
        browser.get(server)
        _wait(lambda: len(Select(find(By.ID, "f-model")).options) == 10, what="the models")
        find(By.ID, "open-file").send_keys(str(opened / "small.json"))
        _wait(lambda: find(By.ID, "f-name").get_attribute("value") == "Small hall", what="the opened venue")
        assert not feet()  # the single column is not dragged

        find(By.ID, "to-columns").click()
        assert find(By.ID, "columns-panel").is_displayed() and not find(By.ID, "single-column").is_displayed()
        assert len(feet()) == 1 and labels() == ["column 1 →"]
        find(By.ID, "add-column").click()
        assert len(feet()) == 2
        second = find_all(By.CSS_SELECTOR, "#columns > li")[1]
        assert second.find_element(By.CLASS_NAME, "c-x").get_attribute("value") == "15"

        # Drag the new column by its foot: x and height follow, on the 5 cm grid. (Once the venue is
        # checked: the reader's message above the drawing may come or go and move it.)
        _wait(lambda: not browser.execute_script("return document.body.dataset.checking"), what="the check")
        _steady(lambda: ActionChains(browser).drag_and_drop_by_offset(feet()[1], -60, -40).perform())
        x, height = (float(second.find_element(By.CLASS_NAME, c).get_attribute("value")) for c in ("c-x", "c-height"))
        assert x < 15 and height > 1.5, (x, height)
        assert all(abs(v / 0.05 - round(v / 0.05)) < 1e-6 for v in (x, height)), (x, height)
        Select(second.find_element(By.CLASS_NAME, "c-facing")).select_by_value("-x")
        assert labels() == ["column 1 →", "column 2 ←"]
        gallery = second.find_element(By.CSS_SELECTOR, 'input.c-serve[value="gallery"]')
        gallery.click()
        assert gallery.is_selected()

        # A second column cannot go back to the single form; removed, it can.
        assert not find(By.ID, "to-single").is_enabled()
        second.find_element(By.CLASS_NAME, "c-delete").click()
        assert len(feet()) == 1 and not find(By.CSS_SELECTOR, "#columns .c-delete").is_enabled()
        find(By.ID, "to-single").click()
        assert find(By.ID, "single-column").is_displayed() and not feet()
        find(By.ID, "save-venue").click()
        _wait(lambda: (downloads / "small.json").exists(), what="the saved venue")
        assert not [e for e in browser.get_log("browser") if e["level"] == "SEVERE" and e["source"] != "network"]
    finally:
        browser.quit()
    assert json.loads((downloads / "small.json").read_text()) == json.loads(venue_text())


def _system_example():
    """The bundled example of several columns with the fewest columns, or None."""
    found = [(len(json.loads(p.read_text()).get("columns", [])), p.name) for p in sorted((REPO / "examples").glob("*.json"))]
    found = sorted(f for f in found if f[0])
    return REPO / "examples" / found[0][1] if found else None


def _same_design(page: Path, cli: Path):
    """Processor files byte for byte, records' arrays equal, reports equal but for date and origin."""
    names = sorted(p.relative_to(cli).as_posix() for p in cli.rglob("*") if p.is_file())
    assert set(names) <= {p.relative_to(page).as_posix() for p in page.rglob("*") if p.is_file()}
    for name in names:
        if name.endswith((".png", ".svg", ".pdf")):
            continue
        a, b = page / name, cli / name
        if name.endswith(".npz"):
            x, y = np.load(a), np.load(b)
            assert sorted(x.files) == sorted(y.files), name
            for key in x.files:
                np.testing.assert_array_equal(x[key], y[key], err_msg=f"{name}: {key}")
        elif name.endswith("report.json"):
            reports = [json.loads(p.read_text()) for p in (a, b)]
            for report in reports:
                for key in ("designed", "venue_source", "outputs"):
                    report.pop(key, None)
            assert reports[0] == reports[1], name
        else:
            assert a.read_bytes() == b.read_bytes(), name


@needs_library
@pytest.mark.skipif(not READER_KNOWS_COLUMNS or _system_example() is None,
                    reason="the design of several columns is not in this tree yet")
def test_page_designs_a_system_as_the_command_line_does(server, tmp_path, env_for_subprocess):
    example = _system_example()
    stem = example.stem

    def call(url, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(server + url, data=data, headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=60) as r:
            return r.read()

    job = json.loads(call("api/design", {"text": example.read_text(), "source": example.name, "grid": [60, 30],
                                         "figures": ["png", "svg"]}))["id"]
    state = _wait(lambda: (s := json.loads(call(f"api/design/{job}")))["state"] in ("done", "failed") and s,
                  timeout=600, what="the system's design")
    assert state["state"] == "done", state.get("error")
    folders = [c["folder"] for c in state["report"]["columns"]]
    assert {name.split("/")[0] for name in state["files"] if "/" in name} == set(folders)
    assert {"report.json", "report.pdf"} <= set(state["files"]) and any(n.endswith(".svg") for n in state["files"])
    zipfile.ZipFile(io.BytesIO(call(f"api/design/{job}/archive"))).extractall(tmp_path / "page")

    # The command line on the venue file by its bare name, as the page names it (records keep the name).
    (tmp_path / example.name).write_bytes(example.read_bytes())
    result = subprocess.run([str(REPO / "bin" / "talvek"), "design", example.name, "-o", str(tmp_path / "cli"),
                             "--grid", "60", "30", "--figures", "png,svg"], capture_output=True, text=True,
                            cwd=tmp_path, env=env_for_subprocess, timeout=600)
    assert result.returncode == 0, result.stderr
    _same_design(tmp_path / "page" / stem, tmp_path / "cli")
