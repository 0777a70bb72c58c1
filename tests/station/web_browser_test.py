#!/usr/bin/env python3
"""The operator's web view in a real browser: headless Chromium, driven
through chromedriver by Selenium, against a station that serves the view.

    web_browser_test.py --demo PROGRAM [options]        starts the scripted station (webview_demo)
    web_browser_test.py --station PROGRAM [options]     starts `station serve` on three simulated DUTs
                                                        (slot 1 passes, slot 2 fails its uart step,
                                                        slot 3 is slow), its store and plan made here
    web_browser_test.py --url http://HOST:PORT/ [options]   a station that serves already

What is checked, with the expectations as options (the defaults fit the
scripted station):

  1. the page opens with no console errors and a panel per slot;
  2. --pass SLOT SERIAL: the serial, typed and ended with Enter as a barcode
     scanner does, shows the unit's steps, a value with its limit, and PASS
     within 1 s of /api/status showing the PASS;
  3. --fail SLOT SERIAL STEP: FAIL, with STEP marked FAIL in the steps;
  4. --refuse SLOT SERIAL TEXT (repeatable): the refusal, containing TEXT,
     is shown under the slot's entry, as text (no markup of it is made);
  5. --running SLOT SERIAL starts a unit that is still running when the same
     serial goes to --busy-slot, which is refused with --busy-text;
  6. the Stop button, confirmed, stops the station: the running unit shows
     ABORT, and the station says it is stopping or goes away (the scripted
     station ends with status 0).

--token TOKEN opens the page as an operator would, with "?token=TOKEN" once.
--screenshots DIR keeps web-view.png and web-view-fail.png (and failure.png
when a check fails). Prints one line per check; exits 1 when one fails. A
missing browser or driver is a failure, not a skip.
"""

import argparse
import json
import os
import queue
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait


class CheckFailed(Exception):
    pass


def find_program(names):
    for name in names:
        path = shutil.which(name)
        if path:
            return path
    raise CheckFailed("none of %s is installed (scripts/setup.sh installs chromium and chromium-driver)"
                      % ", ".join(names))


def start_serve(program, token, folder):
    """`station serve` on simulated DUTs, with a store, the bench plan and a
    fixture in folder. Returns the process and its page's address."""
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
    db = os.path.join(folder, "station.db")
    subprocess.run([program, "addresses", "add", "--db", db, "--nap", "0x5B", "--uap", "2", "--first", "0x100",
                    "--last", "0x1FF"], check=True, stdout=subprocess.DEVNULL)
    with open(os.path.join(source, "plans", "bench.toml")) as f:
        plan_text = f.read().replace("{bin}/../dut{slot}.uart", os.path.join(folder, "uart{slot}"))
    plan = os.path.join(folder, "plan.toml")
    with open(plan, "w") as f:
        f.write(plan_text)
    fixture = os.path.join(folder, "fixture.toml")
    with open(fixture, "w") as f:
        f.write('serial_pattern = "SN-[0-9A-Z]{4,12}"\nmax_attempts = 1\n')
        for slot, extra in [(1, ""), (2, ",uart=short"), (3, ",fwfault=delay:100")]:
            f.write('[[slot]]\ntransport = "sim:uartlink=%s%s"\n' % (os.path.join(folder, "uart%d" % slot), extra))
    command = [program, "serve", "--fixture", fixture, "--plan", plan, "--db", db, "--results",
               os.path.join(folder, "results"), "--station", "line-3-bench-1", "--web", "127.0.0.1:0"]
    if token:
        command += ["--token", token]
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(line) for line in process.stdout], daemon=True).start()
    try:
        ready = json.loads(lines.get(timeout=20))
    except (queue.Empty, ValueError):
        process.kill()
        raise CheckFailed("station serve did not say where it serves")
    if ready.get("event") != "ready" or not ready.get("web"):
        process.kill()
        raise CheckFailed("station serve said %r" % ready)
    return process, ready["web"]


def start_demo(program, token):
    command = [program, "--listen", "127.0.0.1:0"]
    if token:
        command += ["--token", token]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(line) for line in process.stdout], daemon=True).start()
    try:
        first = lines.get(timeout=10)
    except queue.Empty:
        process.kill()
        raise CheckFailed("the scripted station did not say where it listens")
    prefix = "webview_demo: listening on "
    if not first.startswith(prefix):
        process.kill()
        raise CheckFailed("the scripted station said %r" % first)
    return process, first[len(prefix):].strip()


class Station:
    """The station's JSON interface, as a script reads it."""

    def __init__(self, url, token):
        self.url = url.rstrip("/")
        self.headers = {"Authorization": "Bearer " + token} if token else {}

    def status(self):
        request = urllib.request.Request(self.url + "/api/status", headers=self.headers)
        with urllib.request.urlopen(request, timeout=5) as response:
            return json.load(response)

    def slot(self, state, number):
        for view in state["slots"]:
            if view["slot"] == number:
                return view
        raise CheckFailed("the station has no slot %d" % number)


class Page:
    def __init__(self, driver):
        self.driver = driver

    def wait(self, what, condition, timeout=10):
        try:
            return WebDriverWait(self.driver, timeout, poll_frequency=0.02).until(lambda d: condition())
        except Exception:
            raise CheckFailed("%s (not within %g s)" % (what, timeout))

    def panel(self, slot):
        return self.driver.find_element(By.ID, "slot-%d" % slot)

    def text(self, slot, selector):
        return self.panel(slot).find_element(By.CSS_SELECTOR, selector).text

    def result(self, slot):
        return self.text(slot, ".result")

    def steps(self, slot):
        return [(item.find_element(By.CSS_SELECTOR, ".step-name").text, item.get_attribute("data-outcome"))
                for item in self.panel(slot).find_elements(By.CSS_SELECTOR, ".steps li")]

    def enter(self, slot, serial):
        """Types a serial and Enter into the slot's entry, as a scanner does."""
        field = self.driver.find_element(By.ID, "serial-%d" % slot)
        field.click()
        field.clear()
        field.send_keys(serial + Keys.ENTER)

    def console_errors(self):
        return [entry["message"] for entry in self.driver.get_log("browser") if entry["level"] == "SEVERE"]


def screenshot(driver, folder, name):
    if folder:
        driver.execute_script("window.scrollTo(0, 0)")
        driver.save_screenshot(os.path.join(folder, name))


def check(name, function):
    started = time.monotonic()
    function()
    print("web_browser_test: %s: ok (%.1f s)" % (name, time.monotonic() - started), flush=True)


def run(args, driver, station, url, screenshots):
    page = Page(driver)

    def opens():
        driver.get(url + ("?token=" + args.token if args.token else ""))
        state = station.status()
        slots = [view["slot"] for view in state["slots"]]
        page.wait("a panel per slot", lambda: all(driver.find_elements(By.ID, "slot-%d" % n) for n in slots))
        page.wait("the live state", lambda: driver.find_element(By.ID, "link").get_attribute("data-link") == "live")
        errors = page.console_errors()
        if errors:
            raise CheckFailed("console errors on opening: %s" % errors)

    def passes():
        slot, serial = int(args.passing[0]), args.passing[1]
        # When the page shows PASS, by the browser's clock ...
        driver.execute_script("""
            const panel = document.getElementById('slot-' + arguments[0]);
            const serial = arguments[1];
            window.__passShown = null;
            const observer = new MutationObserver(() => {
              if (window.__passShown === null && panel.querySelector('.serial').textContent === serial
                  && panel.querySelector('.result').textContent === 'PASS') window.__passShown = Date.now();
            });
            observer.observe(panel, {subtree: true, childList: true, characterData: true, attributes: true});
        """, slot, serial)
        # ... and when the station knows it, by its JSON interface.
        known = {}

        def watch():
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline and "at" not in known:
                view = station.slot(station.status(), slot)
                if view["serial"] == serial and view["state"] != "running" and view["outcome"] == "PASS":
                    known["at"] = time.time() * 1000
                elif view["serial"] == serial and view["state"] != "running" and view["outcome"]:
                    known["other"] = view["outcome"] + " " + view["text"]
                    return
                time.sleep(0.005)

        watcher = threading.Thread(target=watch)
        watcher.start()
        page.enter(slot, serial)
        page.wait("PASS on slot %d" % slot, lambda: page.result(slot) == "PASS" or "other" in known, timeout=30)
        watcher.join()
        if "other" in known:
            raise CheckFailed("%s ended %s" % (serial, known["other"]))
        shown = page.wait("the time PASS was shown", lambda: driver.execute_script("return window.__passShown"))
        delay = shown - known["at"]
        print("web_browser_test: PASS shown %.0f ms after the station knew it" % delay)
        if delay > 1000:
            raise CheckFailed("PASS was shown %.0f ms after the station knew it" % delay)
        steps = page.steps(slot)
        if not steps or any(outcome != "PASS" for _, outcome in steps):
            raise CheckFailed("the steps of a unit that passed: %s" % steps)
        if not page.text(slot, ".value") or not page.text(slot, ".limit"):
            raise CheckFailed("no value with its limit on slot %d" % slot)
        if page.text(slot, ".serial") != serial:
            raise CheckFailed("slot %d shows serial %r" % (slot, page.text(slot, ".serial")))

    def fails():
        slot, serial, step = int(args.failing[0]), args.failing[1], args.failing[2]
        page.enter(slot, serial)
        page.wait("FAIL on slot %d" % slot, lambda: page.text(slot, ".serial") == serial and page.result(slot) == "FAIL",
                  timeout=30)
        if (step, "FAIL") not in page.steps(slot):
            raise CheckFailed("the step %s is not marked FAIL: %s" % (step, page.steps(slot)))

    def refuses():
        for slot, serial, text in args.refuse:
            slot = int(slot)
            page.enter(slot, serial)
            page.wait("the refusal of %r on slot %d" % (serial, slot), lambda: text in page.text(slot, ".refusal"))
            if page.panel(slot).find_elements(By.CSS_SELECTOR, ".refusal *"):
                raise CheckFailed("the refusal of %r made markup" % serial)

    def busy():
        slot, serial = int(args.running[0]), args.running[1]
        page.enter(slot, serial)
        page.wait("%s running on slot %d" % (serial, slot),
                  lambda: page.text(slot, ".serial") == serial and page.result(slot) == "TESTING")
        page.wait("a step running on slot %d" % slot, lambda: page.text(slot, ".value") != "")
        other = int(args.busy_slot)
        page.enter(other, serial)
        page.wait("the refusal of %s on slot %d" % (serial, other),
                  lambda: args.busy_text in page.text(other, ".refusal"))

    def stops():
        slot, serial = int(args.running[0]), args.running[1]
        if page.result(slot) != "TESTING":
            raise CheckFailed("%s is no longer running on slot %d" % (serial, slot))
        driver.find_element(By.ID, "stop").click()
        page.wait("the confirmation", lambda: driver.find_element(By.ID, "confirm-stop").is_displayed())
        driver.find_element(By.ID, "stop-confirm").click()
        page.wait("ABORT on slot %d" % slot, lambda: page.result(slot) == "ABORT")
        try:
            if not station.status()["stopping"]:
                raise CheckFailed("the station does not say it is stopping")
        except (urllib.error.URLError, ConnectionError):
            pass  # gone already

    check("the page opens without console errors", opens)
    check("a unit that passes", passes)
    check("a unit that fails", fails)
    if args.refuse:
        check("refused serials", refuses)
    screenshot(driver, screenshots, "web-view-fail.png")
    if args.running:
        check("a serial running on another slot", busy)
        screenshot(driver, screenshots, "web-view.png")
    errors = page.console_errors()
    if errors:
        raise CheckFailed("console errors: %s" % errors)
    if args.running:
        check("the Stop button", stops)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--demo", help="the scripted station program to start")
    where.add_argument("--url", help="the address of a station that serves its view")
    where.add_argument("--station", help="the station program: `station serve` on simulated DUTs")
    parser.add_argument("--token", default="")
    parser.add_argument("--screenshots", default="")
    parser.add_argument("--pass", dest="passing", nargs=2, metavar=("SLOT", "SERIAL"), default=None)
    parser.add_argument("--fail", dest="failing", nargs=3, metavar=("SLOT", "SERIAL", "STEP"),
                        default=None)
    parser.add_argument("--refuse", nargs=3, action="append", metavar=("SLOT", "SERIAL", "TEXT"))
    parser.add_argument("--running", nargs=2, metavar=("SLOT", "SERIAL"))
    parser.add_argument("--busy-slot", default="1")
    parser.add_argument("--busy-text", default=None)
    args = parser.parse_args()
    if args.demo:
        if args.refuse is None:
            args.refuse = [["2", "<b>SN</b>", "does not match the pattern"],
                           ["2", "SN-Q003", "quarantined after 5 attempts"]]
        if args.running is None:
            args.running = ["2", "SN-S004"]
    if args.station:
        args.failing = args.failing or ["2", "SN-0002", "uart"]
        if args.refuse is None:
            args.refuse = [["2", "<b>SN</b>", "does not match the pattern"],
                           ["1", "SN-0001", "is quarantined after 1 attempt"]]
        args.running = args.running or ["3", "SN-0004"]
        args.busy_text = args.busy_text or "is running on slot 3"
    args.passing = args.passing or ["1", "SN-0001"]
    args.failing = args.failing or ["2", "SN-F002", "tx_power"]
    args.busy_text = args.busy_text or "is running on slot 2"
    args.refuse = args.refuse or []

    chromium = find_program(["chromium", "chromium-browser"])
    chromedriver = find_program(["chromedriver"])
    if args.screenshots:
        os.makedirs(args.screenshots, exist_ok=True)
    demo = None
    driver = None
    profile = tempfile.mkdtemp(prefix="web-view-browser-")
    bench = tempfile.mkdtemp(prefix="web-view-serve-")
    try:
        if args.demo:
            demo, url = start_demo(args.demo, args.token)
        elif args.station:
            demo, url = start_serve(args.station, args.token, bench)
        else:
            url = args.url if args.url.endswith("/") else args.url + "/"
        station = Station(url, args.token)
        options = Options()
        options.binary_location = chromium
        for argument in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                         "--disable-background-networking", "--disable-component-update", "--disable-sync",
                         "--user-data-dir=" + profile, "--window-size=1200,900", "--hide-scrollbars"]:
            options.add_argument(argument)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        driver = webdriver.Chrome(service=Service(executable_path=chromedriver), options=options)
        try:
            run(args, driver, station, url, args.screenshots)
        except Exception:
            if args.screenshots:
                driver.save_screenshot(os.path.join(args.screenshots, "failure.png"))
            raise
        if demo:
            try:
                status = demo.wait(timeout=10)
            except subprocess.TimeoutExpired:
                raise CheckFailed("the station did not end after the stop")
            if status != 0:
                raise CheckFailed("the station ended with status %d" % status)
    except CheckFailed as failure:
        print("web_browser_test: FAILED: %s" % failure, file=sys.stderr)
        return 1
    finally:
        if driver:
            driver.quit()
        if demo and demo.poll() is None:
            demo.kill()
            demo.wait()
        shutil.rmtree(profile, ignore_errors=True)
        shutil.rmtree(bench, ignore_errors=True)
    print("web_browser_test: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
