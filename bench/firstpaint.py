#!/usr/bin/python3
# The first paint of irigctl monitor's page in headless Chromium for a monitor of 1000 simulated
# units, its load and the long tasks of its refreshes, beside the page of a monitor of one unit.
# Usage: bench/firstpaint.py [BUILD] [--units N] [--runs N]   (BUILD: the build folder, "build")
import argparse
import os
import statistics
import sys
import tempfile

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "support"))
from browsing import chromium, http, monitor, simulator, until

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


PAINT = ("const p = performance.getEntriesByName('first-contentful-paint');"
         "const n = performance.getEntriesByType('navigation')[0];"
         "return p.length && n.loadEventEnd ? [p[0].startTime, n.loadEventEnd] : null")
# The tasks over 50 ms in the next 16 s, three of the page's refreshes from /units: the first
# replaces the rows the server made, the others those changed since.
REFRESH = ("const done = arguments[0], tasks = []; new PerformanceObserver(l => tasks.push("
           "...l.getEntries().map(e => Math.round(e.duration)))).observe({type: 'longtask'});"
           "setTimeout(() => done(tasks), 16000)")


def first_paints(folder, url, runs):
    """The first contentful paint and the load event's end of `url` in a fresh Chromium each run,
    in milliseconds, and the long tasks of its refreshes in the last run; a run before them,
    not counted, reads Chromium's files into the page cache."""
    paints, loads = [], []
    for _ in range(runs + 1):
        browser = chromium(folder)
        try:
            browser.get(url)
            paint, loaded = until(lambda: browser.execute_script(PAINT), "the first paint", 60)
            paints.append(paint)
            loads.append(loaded)
            if len(paints) == runs + 1:
                browser.set_script_timeout(40)
                refresh = browser.execute_async_script(REFRESH)
        finally:
            browser.quit()
    return paints[1:], loads[1:], refresh


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
                figures[count] = (*first_paints(folder, url + "/", options.runs), size)
            finally:
                for child in children:
                    child.stop()
        anchor = [statistics.median(figures[1][n]) for n in (0, 1)]
        print(f"GET / in headless Chromium, median and worst of {options.runs} fresh browsers:")
        for count, (paints, loads, refresh, size) in figures.items():
            paint, loaded = statistics.median(paints), statistics.median(loads)
            print(f"  {count:5d} units, {size / 1024:6.1f} KiB: first contentful paint "
                  f"{paint:4.0f} ms, worst {max(paints):4.0f} ms ({paint / anchor[0]:.2f}x one "
                  f"unit's); loaded {loaded:4.0f} ms, worst {max(loads):4.0f} ms "
                  f"({loaded / anchor[1]:.2f}x); refreshes' tasks over 50 ms: {refresh or 'none'}")


if __name__ == "__main__":
    main()
