#!/usr/bin/python3
# The first paint of irigctl monitor's page in headless Chromium for a monitor of 1000 simulated
# units, beside the same page of a monitor of one unit, measured in the same run.
# Usage: bench/firstpaint.py [BUILD] [--units N] [--runs N]   (BUILD: the build folder, "build")
import argparse
import os
import statistics
import sys
import tempfile

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "support"))
from browsing import chromium, http, monitor, simulator, until  # noqa: E402

PER_SIMULATOR = 50  # as bench_fleet: one simulator's loop falls behind beyond this


def watched(folder, build, count):
    """A monitor of `count` units, once each has been measured; (its children, its URL)."""
    sims, ports = [], []
    for first in range(0, count, PER_SIMULATOR):
        # One simulator's units an hour ahead, so that the page shows diagnoses too.
        offset = "3600" if first == 0 and count > 1 else f"{(0.618034 * len(sims)) % 1:.3f}"
        sim, more = simulator(folder, os.path.join(build, "sim", "irig-unit-sim"),
                              min(PER_SIMULATOR, count - first), ["--clock-offset", offset])
        sims.append(sim)
        ports += more
    arguments = [a for port in ports for a in ("--port", port)]
    child, url = monitor(folder, os.path.join(build, "src", "irigctl"), arguments,
                         f"monitor{count}")
    until(lambda: http(url + "/metrics")[2].count(b"irig_unit_clock_offset_seconds{") == count,
          f"all {count} units measured", 300)
    return sims + [child], url


def first_paints(folder, url, runs):
    """The first-contentful-paint of `url` in a fresh Chromium each run, in milliseconds; a run
    before them, not counted, reads Chromium's files into the page cache."""
    paints = []
    for _ in range(runs + 1):
        browser = chromium(folder)
        try:
            browser.get(url)
            paints.append(until(lambda: browser.execute_script(
                "const p = performance.getEntriesByName('first-contentful-paint');"
                "return p.length ? p[0].startTime : 0"), "the first paint", 60))
        finally:
            browser.quit()
    return paints[1:]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--units", type=int, default=1000)
    parser.add_argument("--runs", type=int, default=5)
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        figures = {}
        for count in (1, options.units):
            children, url = watched(folder, options.build, count)
            try:
                size = len(http(url + "/")[2])
                figures[count] = (first_paints(folder, url + "/", options.runs), size)
            finally:
                for child in children:
                    child.stop()
        anchor = statistics.median(figures[1][0])
        print(f"first contentful paint of GET / in headless Chromium, median of {options.runs} "
              "fresh browsers:")
        for count, (paints, size) in figures.items():
            median = statistics.median(paints)
            print(f"  {count:5d} units  {size / 1024:7.1f} KiB  median {median:6.0f} ms  "
                  f"worst {max(paints):6.0f} ms  ({median / anchor:.2f}x one unit's)")


if __name__ == "__main__":
    main()
