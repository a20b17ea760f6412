"""The HTML page, opened from a file in headless Chromium as a person would
use it: counts shown, filters, a click, the brush, the search, the keyboard.

One browser serves the whole module: Chromium is heavy. Screenshots land in
build/page-screenshots (or $TQ_SCREENSHOTS), kept after the run.
"""

import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

from conftest import PLATFORM_LACKS, write_tree

import tracequill

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import Select, WebDriverWait  # noqa: E402

REPO = pathlib.Path(__file__).resolve().parents[2]
SAMPLE = REPO / "examples" / "sample-home"
SHAPES = REPO / "tests" / "data" / "shapes"
SHOTS = pathlib.Path(os.environ.get("TQ_SCREENSHOTS", REPO / "build" / "page-screenshots"))
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
CHROMEDRIVER = shutil.which("chromedriver")

if not (CHROMIUM and CHROMEDRIVER):
    pytest.skip(PLATFORM_LACKS + "chromium and chromedriver", allow_module_level=True)

# Text an event may hold that markup would run: it must show as characters.
HOSTILE = "<script>window.hostile = 1</script><img src=x onerror=\"window.hostile = 2\"> javascript:alert(1)"


def page_of(home: pathlib.Path, out: pathlib.Path) -> pathlib.Path:
    """The page the command writes for `home`."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-m", "tracequill", home, "-o", out], capture_output=True, env=env)
    assert done.returncode == 0, done.stderr
    return out


class Page:
    """A page open in the browser, read and driven through what it shows."""

    def __init__(self, driver, path: pathlib.Path):
        self.driver = driver
        self.url = path.as_uri()
        driver.get(self.url)
        self.wait(lambda d: d.execute_script("return document.body.dataset.ready") == "true")

    def wait(self, condition):
        return WebDriverWait(self.driver, 20).until(condition)

    def text(self, element_id: str) -> str:
        return self.driver.find_element(By.ID, element_id).text

    def shown(self) -> int:
        """The number of events the counts line says are shown."""
        return int(self.text("counts").split(" of ")[0])

    def shows(self, count: int) -> None:
        self.wait(lambda d: self.shown() == count)

    def clear(self) -> None:
        self.driver.find_element(By.ID, "clear").click()

    def rows(self):
        return [r for r in self.driver.find_elements(By.CSS_SELECTOR, "#list .event") if r.is_displayed()]

    def screenshot(self, name: str) -> pathlib.Path:
        SHOTS.mkdir(parents=True, exist_ok=True)
        path = SHOTS / f"{name}.png"
        self.driver.save_screenshot(str(path))
        return path

    def requests(self) -> set[str]:
        """Every URL the page asked for since it was opened."""
        urls = set()
        for entry in self.driver.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            if message["method"] == "Network.requestWillBeSent":
                urls.add(message["params"]["request"]["url"])
        return urls

    def errors(self) -> list[str]:
        return [e["message"] for e in self.driver.get_log("browser") if e["level"] == "SEVERE"]


@pytest.fixture(scope="module")
def driver(request):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1280,800"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    # The browser is no part of what a sanitizer run checks, and can't start
    # with the sanitizer's runtime preloaded into it.
    environment = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    browser = webdriver.Chrome(service=webdriver.ChromeService(CHROMEDRIVER, env=environment), options=options)
    yield browser
    browser.quit()
    capture = request.config.pluginmanager.get_plugin("capturemanager")
    with capture.global_and_fixture_disabled():
        print(f"\npage screenshots: {SHOTS}")


@pytest.fixture(scope="module")
def sample(driver, tmp_path_factory):
    timeline = tracequill.Timeline(SAMPLE)
    page = Page(driver, page_of(SAMPLE, tmp_path_factory.mktemp("page") / "sample.html"))
    return page, timeline


def test_sample_page_opens_offline_showing_every_event_and_session(sample):
    page, timeline = sample
    sessions = len(timeline.summary()["sessions"])
    assert page.text("counts") == f"{len(timeline)} of {len(timeline)} events · {sessions} of {sessions} sessions"
    page.screenshot("sample")
    # The coverage tab accounts for every file of the parse, as coverage() does.
    page.driver.find_element(By.CSS_SELECTOR, '[data-tab="coverage"]').click()
    files = timeline.coverage()["files"]
    page.wait(lambda d: all(f["path"] in page.text("table") for f in files))
    assert page.requests() <= {page.url}
    assert page.errors() == []


SESSION = "019c9f00-1111-7222-8333-444455556666"
NARROWING = [
    ("event type", lambda p: Select(p.driver.find_element(By.ID, "f-type")).select_by_value("tool_call"), {"event_types": "tool_call"}),
    ("provider", lambda p: Select(p.driver.find_element(By.ID, "f-provider")).select_by_value("codex"), {"providers": "codex"}),
    ("session", lambda p: Select(p.driver.find_element(By.ID, "f-session")).select_by_value(SESSION), {"sessions": SESSION}),
    ("search", lambda p: p.driver.find_element(By.ID, "search").send_keys("FAILING"), {"text": "failing"}),
    ("actor", lambda p: Select(p.driver.find_element(By.ID, "f-actor")).select_by_value("user"), {"actor": "user"}),
]


@pytest.mark.parametrize("act,kept", [row[1:] for row in NARROWING], ids=[row[0] for row in NARROWING])
def test_a_filter_narrows_the_list_to_the_events_it_keeps(sample, act, kept):
    page, timeline = sample
    page.clear()
    act(page)
    expected = len(timeline.filter(**kept))
    assert 0 < expected < len(timeline)
    page.shows(expected)
    # Few enough to fit on screen: every kept event has its row, no other.
    assert len(page.rows()) == expected


def test_a_click_and_the_arrow_keys_show_an_event_in_the_detail_pane(sample):
    page, timeline = sample
    page.clear()
    page.rows()[0].click()
    page.wait(lambda d: page.text("detail").startswith(timeline[0]["event_id"]))
    assert page.driver.find_element(By.CSS_SELECTOR, ".detail-message").text == timeline[0]["message"]
    page.driver.find_element(By.TAG_NAME, "body").send_keys(Keys.ARROW_DOWN)
    page.wait(lambda d: page.text("detail").startswith(timeline[1]["event_id"]))


def test_a_brush_on_the_axis_keeps_its_time_range(sample):
    page, timeline = sample
    page.clear()
    canvas = page.driver.find_element(By.ID, "axis")
    width = canvas.size["width"]
    # From the left edge of the time area to a third of the way: the sample's
    # March sessions, not the cache files stamped months later.
    (
        ActionChains(page.driver)
        .key_down(Keys.SHIFT)
        .move_to_element_with_offset(canvas, -width // 2 + 152, 0)
        .click_and_hold()
        .move_by_offset(width // 3, 0)
        .release()
        .key_up(Keys.SHIFT)
        .perform()
    )
    page.wait(lambda d: page.text("range") != "")
    assert 0 < page.shown() < len(timeline)
    page.screenshot("sample-brushed")


def test_event_text_shows_as_characters_never_as_markup(driver, tmp_path):
    session = "5b1c7e2a-0000-4000-8000-000000000001"
    project = ".claude/projects/-home-user-project/"
    home = write_tree(
        tmp_path / "home",
        {
            ".claude/history.jsonl": (
                b'{"display":' + json.dumps(HOSTILE).encode() + b',"timestamp":1000000001000,"sessionId":"c1","project":"/w"}\n'
            ),
            f"{project}{session}.jsonl": (SHAPES / "claude-transcript-shapes.jsonl").read_bytes(),
            f"{project}{session}/subagents/agent-a1b2c3d.jsonl": (SHAPES / "claude-subagent-transcript-shapes.jsonl").read_bytes(),
        },
    )
    timeline = tracequill.Timeline(home)
    page = Page(driver, page_of(home, tmp_path / "hostile.html"))
    # A subagent's events sit in its own lane, under the session that started it.
    subagent = next(i for i, e in enumerate(timeline) if "/subagents/" in e["source"]["relative_path"])
    page.driver.execute_script("document.getElementById('list').scrollTop = arguments[0] * 22", subagent)
    page.wait(lambda d: d.find_elements(By.CSS_SELECTOR, f'#list .event[data-index="{subagent}"]'))
    page.driver.find_element(By.CSS_SELECTOR, f'#list .event[data-index="{subagent}"]').click()
    parent = timeline[subagent]["who"]["parent_session_id"]
    page.wait(lambda d: f"agent-a1b2c3d under {parent}" in page.text("detail"))
    page.clear()
    page.driver.find_element(By.ID, "list").send_keys(Keys.HOME)
    page.wait(lambda d: page.text("detail").startswith(timeline[0]["event_id"]))
    page.wait(lambda d: page.driver.find_element(By.CSS_SELECTOR, ".detail-message").text == HOSTILE)
    assert page.rows()[0].find_element(By.CSS_SELECTOR, ".message").text == HOSTILE
    assert page.driver.execute_script("return window.hostile") is None
    assert page.driver.find_elements(By.CSS_SELECTOR, "#list img, #detail img, #detail script") == []
    page.driver.find_element(By.ID, "theme").click()
    page.screenshot("hostile-dark")
    assert page.errors() == []
