# Simulated units, irigctl monitor and headless Chromium as child processes, for the page's browser
# test and first-paint benchmark; what they check and measure is theirs.
import base64
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import urllib.error
import urllib.request

try:
    from selenium import webdriver
    from selenium.common.exceptions import (NoSuchElementException,
                                            StaleElementReferenceException)
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.support.wait import WebDriverWait
except ImportError:
    sys.exit("python3-selenium is missing (scripts/deps installs it)")

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
# Headless, and none of Chromium's own connections: without them it waits on a network it may
# not have.
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                  "--no-first-run", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync", "--disable-dev-shm-usage"]
# Seconds a condition may take: a measurement waits out 10 s after the last, and the sanitizer
# build's monitor is several times slower.
PATIENCE = 90


def until(condition, what, timeout=PATIENCE):
    """Polls `condition` until it is true-ish and returns it; fails naming `what`. An element
    missing, or replaced as it was read (the page refreshes its table), is polled again."""
    return WebDriverWait(None, timeout, 0.05, (NoSuchElementException,
                                              StaleElementReferenceException)).until(
        lambda _: condition(), what)


class Child:
    """A program whose standard output and error go to files, read as it runs."""

    def __init__(self, folder, name, arguments):
        self.out = os.path.join(folder, name + ".out")
        self.err = os.path.join(folder, name + ".err")
        with open(self.out, "wb") as out, open(self.err, "wb") as err:
            self.process = subprocess.Popen(arguments, stdout=out, stderr=err,
                                            stdin=subprocess.DEVNULL)

    def said(self, which="err"):
        with open(self.err if which == "err" else self.out, encoding="utf-8",
                  errors="replace") as text:
            return text.read()

    def running(self):
        return self.process.poll() is None

    def stop(self):
        """Ends it with SIGTERM; its exit code (killed after 10 s: None)."""
        if self.running():
            self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            return None


def simulator(folder, sim, count, options=()):
    """irig-unit-sim serving `count` units on a run of free TCP ports; (child, their ports)."""
    for attempt in range(20):
        first = random.randrange(10000, 32000 - count)
        child = Child(folder, f"sim{first}", [sim, "--units", str(count), "--listen",
                                              f"127.0.0.1:{first}", *options])
        until(lambda: "ready:" in child.said("out") or not child.running(), "the simulator",
              30)
        if child.running():
            return child, [f"socket://127.0.0.1:{first + n}" for n in range(count)]
    raise RuntimeError(f"the simulator did not start: {child.said()}")


def monitor(folder, irigctl, arguments, name="monitor"):
    """irigctl monitor on a free loopback port with `arguments`; (child, its base URL)."""
    child = Child(folder, name, [irigctl, "monitor", "--listen", "127.0.0.1:0", *arguments])
    serving = re.compile(r"serving (https?://127\.0\.0\.1:\d+)/metrics")
    until(lambda: serving.search(child.said()) or not child.running(), "the monitor to serve")
    if not child.running():
        raise RuntimeError(f"the monitor ended: {child.said()}")
    return child, serving.search(child.said()).group(1)


def chromium(folder, width=1280, height=800):
    """A fresh headless Chromium showing pages width x height, its console log kept; fails
    plainly where it is missing."""
    for program in (CHROMIUM, CHROMEDRIVER):
        if not shutil.which(program):
            sys.exit(f"{program} is missing (scripts/deps installs chromium and chromium-driver)")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in CHROMIUM_FLAGS + ["--user-data-dir=" + tempfile.mkdtemp(dir=folder)]:
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    browser = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
        "width": width, "height": height, "deviceScaleFactor": 1, "mobile": False})
    return browser


def http(url, method="GET", user=None):
    """(status, headers, body) of a request with an empty body, user as (name, password)."""
    request = urllib.request.Request(url, method=method, data=b"" if method == "POST" else None)
    if user:
        token = base64.b64encode(f"{user[0]}:{user[1]}".encode()).decode()
        request.add_header("Authorization", "Basic " + token)
    try:
        with urllib.request.urlopen(request, timeout=PATIENCE) as reply:
            return reply.status, reply.headers, reply.read()
    except urllib.error.HTTPError as refusal:
        return refusal.code, refusal.headers, refusal.read()
