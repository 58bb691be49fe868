#!/usr/bin/env python3
"""The web page against a hand-written page doing the same work (bench/peer_page/index.html: a
letterboxed 1600 x 900 2D canvas, 29 translucent boxes drawn every frame), in the same browser
and the same run, headless, in Chromium and in Firefox ESR:

  - weight: the bytes of every file a visit loads (the navigation and each resource the page
    fetched), as served and gzipped (-9, each file);
  - navigation to the first canvas frame: from the navigation's start to the animation frame
    after the first drawing on the canvas (putImageData or fillRect), ms; fresh loads in turn;
  - frames per second and the main thread's time per frame, 29 towers standing and towers
    moving: the peer's boxes rise and fall all the time; on the page 29 towers are raised by
    left drags, then (moving) towers are tipped over and raised again one after another for
    the whole measured time, so that some are always rising or falling in view; the peer gets
    the same mouse input meanwhile (and ignores it), so that both pay for its events. The main
    thread's time is Chromium's TaskDuration (Performance.getMetrics) where there is one, and
    in every browser the time inside animation-frame callbacks (the page's own script work).

    python3 bench/browser_bench.py [--site build-web/site] [--browser chromium|firefox|both]

Prints one table per browser: medians, and ours / the peer's. The browsers run in a network
namespace of their own with only loopback, as in the tests.
"""
import argparse
import gzip
import os
import statistics
import sys
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(HERE, "..", "tests", "web"))
from browser import StaticServer, isolate_network  # noqa: E402
from chromium import Chromium  # noqa: E402
from firefox import Firefox  # noqa: E402
from stackrise_page import StackrisePage  # noqa: E402

BROWSERS = {"chromium": Chromium, "firefox": Firefox}

WINDOW, WINDOWS, LOADS = 2.0, 5, 5  # s per measuring window, windows per scene, loads per page
TOWERS = 29

# Before the page's own scripts: the time of the first drawing on a canvas and of the
# animation frame after it (window.__firstFrame, ms since the navigation's start), and the
# duration of each animation-frame callback (window.__frameTimes, ms).
TIMING_JS = """(() => {
  const proto = CanvasRenderingContext2D.prototype, raf = window.requestAnimationFrame.bind(window);
  window.__frameTimes = [];
  for (const name of ['putImageData', 'fillRect']) {
    const draw = proto[name];
    proto[name] = function () {
      if (window.__firstDraw === undefined) {
        window.__firstDraw = performance.now();
        raf(() => { window.__firstFrame = performance.now(); });
      }
      return draw.apply(this, arguments);
    };
  }
  window.requestAnimationFrame = cb => raf(t => {
    const start = performance.now();
    try { cb(t); } finally { window.__frameTimes.push(performance.now() - start); }
  });
})();"""


def footprint(i):
    """Slot i's drag in canvas px (x0, x1): footprints of 100 to 179 px, all inside the canvas."""
    x = 10 + i * 50
    return x, x + 100 + (i * 37) % 80


def visit_weight(page, site):
    """(bytes, gzipped bytes) of the files the page loaded: the document and its resources."""
    urls = page.evaluate("[location.href].concat(performance.getEntriesByType('resource')"
                         ".map(e => e.name))")
    total = packed = 0
    for url in set(urls):
        path = urllib.parse.urlparse(url).path.lstrip("/") or "index.html"
        with open(os.path.join(site, urllib.parse.unquote(path)), "rb") as f:
            data = f.read()
        total += len(data)
        packed += len(gzip.compress(data, 9))
    return total, packed


def first_frame(page, url):
    page.navigate(url)
    return page.wait_for("window.__firstFrame", "the first canvas frame", 60)


def measure(page, busy_metric, between=None):
    """Medians over WINDOWS windows: (frames/s, main-thread ms/frame or None, callback ms/frame).
    `between` runs while each window lasts (the moving scene's input)."""
    fps, busy, callback = [], [], []
    for _ in range(WINDOWS):
        page.evaluate("window.__frameTimes.length = 0")
        f0, t0 = page.evaluate("[stackrise.frames, performance.now()]")
        b0 = busy_metric() if busy_metric else 0.0
        deadline = time.monotonic() + WINDOW
        if between:
            while time.monotonic() < deadline:
                between()
        else:
            time.sleep(WINDOW)
        f1, t1 = page.evaluate("[stackrise.frames, performance.now()]")
        b1 = busy_metric() if busy_metric else 0.0
        times = page.evaluate("window.__frameTimes.slice()")
        frames = max(f1 - f0, 1)
        fps.append(frames / ((t1 - t0) / 1000))
        busy.append((b1 - b0) * 1000 / frames)
        callback.append(sum(times) / frames)
    return (statistics.median(fps), statistics.median(busy) if busy_metric else None,
            statistics.median(callback))


class Cycle:
    """The moving scene's input: one tower tipped over, and the one tipped three steps before
    raised again, at each step, over the 29 slots in turn."""

    def __init__(self, town):
        self.town, self.step = town, 0

    def __call__(self):
        tip, again = self.step % TOWERS, (self.step - 3) % TOWERS
        self.town.right_click(footprint(tip)[0] + 5, 880)
        if self.step >= 3:
            self.town.drag(*footprint(again), 880)
        self.step += 1


def run_browser(name, make, site):
    with StaticServer(site, isolated=True) as server, \
            StaticServer(os.path.join(HERE, "peer_page"), isolated=True) as peer_server, make() as browser:
        page = browser.page()
        page.add_init_script(TIMING_JS)
        page.set_viewport(1600, 900, 1)
        busy_metric = getattr(page, "main_thread_seconds", None)
        ours_url = server.url("index.html?" + urllib.parse.urlencode({"LUMEN_SEED": "1"}))
        loads, weights = {"ours": [], "peer": []}, {}
        for _ in range(LOADS):  # in turn, so that a drift of the machine touches both alike
            loads["ours"].append(first_frame(page, ours_url))
            weights["ours"] = visit_weight(page, site)
            loads["peer"].append(first_frame(page, peer_server.url("index.html?scene=standing")))
            weights["peer"] = visit_weight(page, os.path.join(HERE, "peer_page"))
        peer = {"standing": measure(page, busy_metric)}
        page.navigate(peer_server.url("index.html?scene=moving"))
        page.wait_for("window.__firstFrame", "the peer's first frame", 60)
        boxes = StackrisePage(page)  # the same input as the town's, which the peer ignores
        boxes.box = boxes.content_box()
        peer["moving"] = measure(page, busy_metric, Cycle(boxes))
        town = StackrisePage(page)
        town.load(server, {"LUMEN_SEED": "1"})
        for i in range(TOWERS):
            town.drag(*footprint(i), 880)
        town.wait_still()
        ours = {"standing": measure(page, busy_metric), "moving": measure(page, busy_metric, Cycle(town))}
    rows = []
    for what in ("standing", "moving"):
        (fo, bo, co), (fp, bp, cp) = ours[what], peer[what]
        rows.append(("frames/s, towers " + what, "%.1f" % fo, "%.1f" % fp, "%.2f" % (fo / fp)))
        if bo is not None:
            rows.append(("main thread ms/frame, towers " + what, "%.3f" % bo, "%.3f" % bp, "%.2f" % (bo / bp)))
        rows.append(("animation-frame callbacks ms/frame, towers " + what, "%.3f" % co, "%.3f" % cp,
                     "%.2f" % (co / cp)))
    lo, lp = statistics.median(loads["ours"]), statistics.median(loads["peer"])
    rows.append(("navigation to the first canvas frame, ms", "%.0f" % lo, "%.0f" % lp, "%.2f" % (lo / lp)))
    for i, kind in enumerate(("bytes", "bytes gzipped")):
        o, p = weights["ours"][i], weights["peer"][i]
        rows.append(("weight of a visit, " + kind, "{:,}".format(o), "{:,}".format(p), "%.0f" % (o / p)))
    print("\n%s (medians; peer: bench/peer_page)" % name)
    head = ("measure", "ours", "peer", "ratio")
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(4)]
    line = lambda r: "| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |"  # noqa: E731
    print(line(head))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print(line(r))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--site", default=os.path.join(HERE, "..", "build-web", "site"))
    parser.add_argument("--browser", choices=sorted(BROWSERS) + ["both"], default="both")
    args = parser.parse_args()
    if not os.path.exists(os.path.join(args.site, "index.html")):
        sys.exit("no page in %s: build it with cmake --workflow --preset web" % args.site)
    isolate_network()  # the browsers reach nothing outside the machine
    for name in sorted(BROWSERS) if args.browser == "both" else [args.browser]:
        run_browser(name, BROWSERS[name], args.site)


if __name__ == "__main__":
    main()
