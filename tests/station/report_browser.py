"""Opens a yield report page in a headless Chromium and checks what a
reader gets: no console errors, nothing loaded from elsewhere, no script,
the expected number of plots each drawn at a size above zero, and no page
wider than a phone's screen. Optionally saves a screenshot: the first
2300 pixels of the page at 900 wide, drawn at 0.6 scale (a small PNG).

Usage: report_browser.py PAGE PLOTS [SCREENSHOT]
Exit status 0 when every check holds; the reasons otherwise."""

import json
import os
import pathlib
import shutil
import sys
import tempfile

CHROMIUM = "/usr/bin/chromium"
DRIVER = "/usr/bin/chromedriver"


def main():
    page = pathlib.Path(sys.argv[1]).resolve()
    plots = int(sys.argv[2])
    screenshot = sys.argv[3] if len(sys.argv) > 3 else None
    for program in (CHROMIUM, DRIVER):
        if not os.access(program, os.X_OK):
            print(f"{program} is not installed (scripts/setup.sh installs it)")
            return 1
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.common.by import By
    except ImportError as e:
        print(f"selenium is not installed for {sys.executable} ({e})")
        return 1

    profile = tempfile.mkdtemp(prefix="report-browser-")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     f"--user-data-dir={profile}", "--window-size=1000,1400", "--hide-scrollbars"):
        options.add_argument(argument)
    if screenshot:
        options.add_argument("--force-device-scale-factor=0.6")
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    problems = []
    driver = webdriver.Chrome(service=Service(executable_path=DRIVER), options=options)
    try:
        driver.get(page.as_uri())
        errors = [entry for entry in driver.get_log("browser") if entry.get("level") == "SEVERE"]
        problems += [f"console: {entry.get('message')}" for entry in errors]
        loaded = driver.execute_script("return performance.getEntriesByType('resource').map(r => r.name)")
        problems += [f"loaded from elsewhere: {name}" for name in loaded]
        if driver.execute_script("return document.scripts.length") != 0:
            problems.append("the page holds a script")
        svgs = driver.find_elements(By.TAG_NAME, "svg")
        if len(svgs) != plots:
            problems.append(f"{len(svgs)} plots, expected {plots}")
        for i, svg in enumerate(svgs):
            size = svg.size
            if size["width"] <= 0 or size["height"] <= 0:
                problems.append(f"plot {i + 1} is drawn at {size['width']}x{size['height']}")
        if screenshot:
            driver.set_window_size(900, 2300)
            driver.save_screenshot(screenshot)
        # A phone: the page itself must not be wider than the screen
        # (wide tables scroll in their own box).
        driver.set_window_size(390, 844)
        widths = driver.execute_script(
            "return [document.documentElement.scrollWidth, document.documentElement.clientWidth]")
        if widths[0] > widths[1]:
            problems.append(f"on a phone the page is {widths[0]} pixels wide for a {widths[1]} pixel screen")
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)
    print(json.dumps({"plots": plots, "problems": problems}))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
