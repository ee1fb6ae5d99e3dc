#!/usr/bin/python3
# irigctl monitor's page in a real browser (headless Chromium through Selenium) over simulated
# units, with axe-core; how the server orders rows and scales plots is tested in C++.
# Usage: page_test.py IRIGCTL IRIG_UNIT_SIM FOLDER (FOLDER keeps axe-core, the logs, page.png)
import base64
import hashlib
import io
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import traceback
from urllib.parse import quote

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
from browsing import chromium, http, monitor, simulator, until
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

AXE = "https://registry.npmjs.org/axe-core/-/axe-core-4.10.3.tgz"
AXE_SHA512 = ("Xm7bpRXnDSX2YE2YFfBk2FnF0ep6tmG7xPh8iHee8MIcrgq762Nkce856dYtJYLkuIoYZvGfTs/PbZhi"
              "deTcEg==")
# The units and their states on the page: the first three of one simulator, the second silent
# and the third lent by the test; the fourth an hour ahead.
UNITS = {"mast-a": "up", "mast-b": "down", "spare": "lent", "hall-c": "up"}


def axe_source(folder):
    """axe-core's script, fetched once into `folder` and checked against the registry's hash."""
    tarball = os.path.join(folder, os.path.basename(AXE))
    if not os.path.exists(tarball):
        try:
            status, _, body = http(AXE)
        except OSError as error:
            status = error
        assert status == 200, f"cannot fetch {AXE}: {status}"
        with open(tarball, "wb") as out:
            out.write(body)
    with open(tarball, "rb") as packed:
        data = packed.read()
    assert base64.b64encode(hashlib.sha512(data).digest()).decode() == AXE_SHA512, tarball
    with tarfile.open(fileobj=io.BytesIO(data)) as archive:
        return archive.extractfile("package/axe.min.js").read().decode()


def row(browser, name):
    return browser.find_element(By.CSS_SELECTOR, f'#units tr[data-unit="{name}"]')


def names(browser):
    return [r.get_attribute("data-unit")
            for r in browser.find_elements(By.CSS_SELECTOR, "#units tr[data-unit]")]


def circles(scope):
    return len(scope.find_elements(By.CSS_SELECTOR, "svg.offset-history circle"))


def states(t):
    t.browser.get(t.url + "/")
    until(lambda: {n: row(t.browser, n).get_attribute("data-state") for n in UNITS} == UNITS,
          f"the rows' states {UNITS}")


def diagnosis(t):
    diagnosed = 'td[data-field="diagnosis"][data-kind="hour_offset"]'  # its kind, and in words
    until(lambda: "1 hour ahead" in row(t.browser, "hall-c").find_element(
        By.CSS_SELECTOR, diagnosed).text, "hall-c's diagnosis: an hour ahead")


def filtering(t):
    t.browser.find_element(By.ID, "filter").send_keys("hall")
    until(lambda: [n for n in UNITS if row(t.browser, n).is_displayed()] == ["hall-c"],
          "only hall-c shown")
    t.browser.find_element(By.ID, "filter").send_keys(Keys.BACKSPACE * len("hall"))


def sorting(t):
    t.browser.find_element(By.CSS_SELECTOR, '#units th button[data-sort="name"]').click()
    until(lambda: names(t.browser) in (sorted(UNITS), sorted(UNITS, reverse=True)),
          "sorted by name")


def live_refresh(t):
    t.browser.get(t.url + "/")
    before = until(lambda: circles(row(t.browser, "mast-a")), "mast-a's first point")
    asked = http(f"{t.url}/check-time?port={quote(t.ports['mast-a'], safe='')}", "POST")
    assert asked[0] == 202, asked
    until(lambda: circles(row(t.browser, "mast-a")) > before, "a point more without reload")
    t.browser.save_screenshot(os.path.join(t.top, "page.png"))


def announced(t):
    assert http(t.url + "/units/spare/lease", "DELETE")[0] == 200
    until(lambda: "spare is now up" in t.browser.find_element(By.ID, "announce").text,
          "the live region to say the unit returned is up")


def measure_now(t):
    t.browser.get(t.url + "/units/hall-c")
    facts = "table.facts td[data-field=measured]"
    points = until(lambda: circles(t.browser), "hall-c's first point")
    when = t.browser.find_element(By.CSS_SELECTOR, facts).text
    t.browser.find_element(By.CSS_SELECTOR, 'button[data-action="check-time"]').click()
    until(lambda: circles(t.browser) > points and
          t.browser.find_element(By.CSS_SELECTOR, facts).text != when,
          "a point more and a new time after Measure now")


def accessible(t):
    t.browser.set_script_timeout(60)
    for path in ("/", "/units/hall-c"):
        t.browser.get(t.url + path)
        t.browser.execute_script(t.axe)
        found = t.browser.execute_async_script(
            "const done = arguments[0]; axe.run(document).then(r => done(r.violations.map("
            "v => ({id: v.id, impact: v.impact, help: v.help, nodes: v.nodes.length}))))")
        grave = [v for v in found if v["impact"] in ("serious", "critical")]
        assert not grave, f"{path}: {grave}"


def own_origin_only(t):
    status, headers, _ = http(t.url + "/")
    assert status == 200 and headers["Content-Security-Policy"] == "default-src 'self'", headers
    others = t.browser.execute_script(
        "return performance.getEntriesByType('resource').map(e => e.name)"
        ".filter(n => !n.startsWith(location.origin))")
    errors = [e for e in t.browser.get_log("browser")
              if e["level"] == "SEVERE" and "/favicon.ico" not in e["message"]]
    assert not others and not errors, f"other origins {others}, console errors {errors}"


def users(t):
    config = os.path.join(t.folder, "web.yml")
    hashed = subprocess.run([t.irigctl, "hash-password", "--cost", "4"], input="try-me\n",
                            capture_output=True, text=True, check=True).stdout.strip()
    with open(config, "w") as out:
        out.write(f"basic_auth_users:\n  tech: {hashed}\n")
    child, url = monitor(t.folder, t.irigctl, ["--port", t.ports["mast-b"], "--web-config",
                                               config], "guarded")
    t.children.append(child)
    for path in ("/", "/units", "/page.js", "/page.css"):
        assert http(url + path)[0] == 401, f"{path} without credentials"
    assert http(url + "/", user=("tech", "try-me"))[0] == 200


CHECKS = [states, diagnosis, filtering, sorting, live_refresh, announced, measure_now,
          accessible, own_origin_only, users]


class Test:
    def __init__(self, irigctl, top):
        self.irigctl, self.top, self.children = irigctl, top, []
        self.folder = tempfile.mkdtemp(dir=top)
        self.monitor = self.browser = None

    def start(self, sim):
        self.axe = axe_source(self.top)
        first, ports = simulator(self.folder, sim, 3, ["--fault-units", "2", "--silent"])
        self.children.append(first)
        hour, hourly = simulator(self.folder, sim, 1, ["--clock-offset", "3600"])
        self.children.append(hour)
        self.ports = dict(zip(UNITS, ports + hourly))
        inventory = os.path.join(self.folder, "units.yaml")
        with open(inventory, "w") as out:
            out.write("units:\n" + "".join(
                f"  {name}: {{port: '{port}', labels: {{site: north}}}}\n"
                for name, port in self.ports.items()))
        self.monitor, self.url = monitor(self.folder, self.irigctl, ["-i", inventory, "--all"])
        self.children.append(self.monitor)
        lent = http(f"{self.url}/units/spare/lease?seconds=600&by=page-test", "POST")
        assert lent[0] == 200, lent
        self.browser = chromium(self.folder)

    def close(self):
        """Ends what it started; why the monitor did not end well, if it did not."""
        if self.browser:
            self.browser.quit()
        ended = self.monitor.stop() if self.monitor else 143
        for child in self.children:
            child.stop()
        return None if ended == 143 else f"the monitor ended with {ended}"


def main():
    irigctl, sim, folder = sys.argv[1:4]
    os.makedirs(folder, exist_ok=True)
    test = Test(irigctl, folder)
    failed = None
    try:
        test.start(sim)
        for check in CHECKS:  # in order: each goes on from where the last left the page
            failed = check.__name__
            check(test)
            print(f"ok      {check.__name__}")
        failed = None
    except Exception as error:
        lines = [f.lineno for f in traceback.extract_tb(error.__traceback__)
                 if f.filename == __file__]
        failed = f"{failed or 'start'} (line {lines[-1]}): {getattr(error, 'msg', error)}"
        if test.browser:
            test.browser.save_screenshot(os.path.join(test.top, "failed.png"))
    finally:
        ended = test.close()
    failed = failed or ended
    if failed:
        print(f"FAILED  {failed}")
        print("the monitor said:\n" + test.monitor.said()[-3000:] if test.monitor else "")
        return 1
    shutil.rmtree(test.folder)
    return 0


if __name__ == "__main__":
    sys.exit(main())
