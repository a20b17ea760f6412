"""Figures for the HTML page on a generated home: the page's size beside the
zstd -3 JSONL of the same events, the time from the page's load to its first
painted timeline, and how long a filter takes to reach the screen, in headless
Chromium (the system's chromium and chromedriver, through selenium).

    PYTHONPATH=build/release python3 bench/page_bench.py [--home DIR] [--out DIR]

Without --home it generates one of about 100,000 events in /tmp/tq-page-home
(generate_profiles.py --size-mb 100 --transcripts-mb 70) unless it is there.
Prints one line per figure; the page and a screenshot stay in --out.
"""

from __future__ import annotations

import argparse
import pathlib
import subprocess
import sys
import time

import tracequill
from selenium import webdriver
from selenium.webdriver.support.ui import WebDriverWait

HERE = pathlib.Path(__file__).resolve().parent

# Changes a filter the way a person's choice does, then answers after the
# browser has painted the frame that shows it (two animation frames later).
FILTER_TO_SCREEN = """
const [id, value, done] = arguments;
const select = document.getElementById(id);
const started = performance.now();
select.value = value;
select.dispatchEvent(new Event("change"));
requestAnimationFrame(() => requestAnimationFrame(() => done(performance.now() - started)));
"""

FIRST_PAINT = """
const at = (name) => performance.getEntriesByName(name)[0].startTime;
const load = performance.getEntriesByType("navigation")[0].loadEventEnd;
return [load, at("tq-unpacked"), at("tq-indexed"), at("tq-first-paint")];
"""


def home_of(arguments: argparse.Namespace) -> pathlib.Path:
    if arguments.home:
        return pathlib.Path(arguments.home)
    home = pathlib.Path("/tmp/tq-page-home")
    if not home.exists():
        subprocess.run(
            [sys.executable, HERE / "generate_profiles.py", home, "--size-mb", "100", "--transcripts-mb", "70", "--seed", "1"],
            check=True,
            stdout=subprocess.DEVNULL,
        )
    return home


def browser() -> webdriver.Chrome:
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1280,800"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    return webdriver.Chrome(service=webdriver.ChromeService("/usr/bin/chromedriver"), options=options)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--home")
    parser.add_argument("--out", default="/tmp/tq-page-bench")
    arguments = parser.parse_args()
    out = pathlib.Path(arguments.out)
    out.mkdir(parents=True, exist_ok=True)

    timeline = tracequill.Timeline(home_of(arguments))
    page = out / "page.html"
    started = time.perf_counter()
    timeline.write(page)
    written = time.perf_counter() - started
    jsonl = out / "events.jsonl"
    timeline.write(jsonl)
    subprocess.run(["zstd", "-3", "-q", "-f", jsonl, "-o", out / "events.jsonl.zst"], check=True)
    zst = (out / "events.jsonl.zst").stat().st_size
    print(f"events                {len(timeline)}  ({len(timeline.summary()['sessions'])} sessions)")
    print(f"page written in       {written:.2f} s")
    print(f"page size             {page.stat().st_size} bytes")
    print(f"zstd -3 JSONL size    {zst} bytes  (JSONL {jsonl.stat().st_size})")
    print(f"page / zstd JSONL     {page.stat().st_size / zst:.3f}")

    driver = browser()
    try:
        driver.get(page.as_uri())
        WebDriverWait(driver, 60).until(lambda d: d.execute_script("return document.body.dataset.ready") == "true")
        load, unpacked, indexed, paint = driver.execute_script(FIRST_PAINT)
        print(f"load event            {load:.0f} ms after navigation")
        print(f"data unpacked         {unpacked:.0f} ms after navigation, indexed at {indexed:.0f} ms")
        print(f"first paint           {paint:.0f} ms after navigation, {paint - load:.0f} ms after load")
        for element, value in (("f-type", "tool_call"), ("f-provider", "codex"), ("f-type", ""), ("f-provider", "")):
            took = driver.execute_async_script(FILTER_TO_SCREEN, element, value)
            print(f"filter {element}={value or 'all':<11} {took:.0f} ms to the screen")
        driver.save_screenshot(str(out / "page.png"))
        errors = [e["message"] for e in driver.get_log("browser") if e["level"] == "SEVERE"]
        requests = {e["message"] for e in driver.get_log("performance") if "Network.requestWillBeSent" in e["message"]}
        print(f"console errors        {len(errors)}")
        print(f"network requests      {len(requests)} (the page's own file)")
        print(f"screenshot            {out / 'page.png'}")
    finally:
        driver.quit()
    return 0


if __name__ == "__main__":
    sys.exit(main())
