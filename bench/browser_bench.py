#!/usr/bin/env python3
"""The web page's frames in headless Chromium against the native program's headless frame,
measured in the same run, and the page's weight.

    python3 bench/browser_bench.py [--site build-web/site] [--native build-web/native/bin/stackrise]

The page is loaded with seed 1 at 1600 x 900 and 29 towers are raised by left drags over the
DevTools protocol (the demo's picture holds 29); then, in windows of WINDOW s each:
  - frames delivered per second (window.stackrise.frames against the page's performance.now());
  - the main thread's busy time per frame (Chromium's TaskDuration, Performance.getMetrics);
  - the mean time inside an animation-frame callback (requestAnimationFrame wrapped before the
    page's scripts run, performance.now() around each call), the frame's own work;
first with the 29 towers standing, then while they fall after a right click on each.
The peer: a headless frame of the native program on the built-in demo (the demo run timed from
fork to exit, less a one-frame run, over its 1199 other frames). Prints medians and ratios.
"""
import argparse
import gzip
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(HERE, "..", "tests", "web"))
from browser import StaticServer, isolate_network  # noqa: E402
from chromium import Chromium  # noqa: E402
from stackrise_page import StackrisePage  # noqa: E402

WINDOW, WINDOWS = 2.0, 5  # s per measuring window, windows per state
TOWERS = 29

# Wraps requestAnimationFrame before the page's own scripts: each callback's duration in ms
# goes to window.__frameTimes.
RAF_TIMING_JS = """(() => {
  const raf = window.requestAnimationFrame.bind(window);
  window.__frameTimes = [];
  window.requestAnimationFrame = cb => raf(t => {
    const start = performance.now();
    try { cb(t); } finally { window.__frameTimes.push(performance.now() - start); }
  });
})();"""


def native_frame(native, runs=21):
    """Seconds per headless frame of the built-in demo: (demo run - one-frame run) / 1199."""
    with tempfile.TemporaryDirectory() as work:
        one = os.path.join(work, "one.script")
        with open(one, "w") as f:
            f.write("1 quit\n")

        def timed(env):
            t = time.perf_counter()
            subprocess.run([native], env=dict(env, PATH="/usr/bin:/bin"), stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=False)
            return time.perf_counter() - t
        demo, single = [], []
        for _ in range(runs):  # in turn, so that a drift of the machine touches both alike
            demo.append(timed({"LUMEN_HEADLESS": "1"}))
            single.append(timed({"LUMEN_SCRIPT": one}))
        return (statistics.median(demo) - statistics.median(single)) / 1199


def measure(page, windows):
    """Medians over `windows` windows: frames/s, main-thread ms/frame, rAF callback ms/frame."""
    fps, busy, callback = [], [], []
    for _ in range(windows):
        page.page.evaluate("window.__frameTimes.length = 0")
        f0, t0 = page.page.evaluate("[stackrise.frames, performance.now()]")
        m0 = metrics(page)
        time.sleep(WINDOW)
        f1, t1 = page.page.evaluate("[stackrise.frames, performance.now()]")
        m1 = metrics(page)
        times = page.page.evaluate("window.__frameTimes.slice()")
        frames = f1 - f0
        fps.append(frames / ((t1 - t0) / 1000))
        busy.append((m1["TaskDuration"] - m0["TaskDuration"]) * 1000 / max(frames, 1))
        if times:
            callback.append(statistics.fmean(times))
    return (statistics.median(fps), statistics.median(busy),
            statistics.median(callback) if callback else None)


def metrics(page):
    return {m["name"]: m["value"] for m in page.page.call("Performance.getMetrics")["metrics"]}


def weight(site):
    """Bytes of the page's files by kind, and of all of them gzipped (as a server may send them)."""
    kinds, total, packed = {}, 0, 0
    for root, _, names in os.walk(site):
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                data = f.read()
            kind = os.path.splitext(name)[1] or name
            kinds[kind] = kinds.get(kind, 0) + len(data)
            total += len(data)
            packed += len(gzip.compress(data, 9))
    return kinds, total, packed


def wasm_debug_bytes(path):
    """Bytes of a WebAssembly module's DWARF sections (custom sections named .debug_*)."""
    with open(path, "rb") as f:
        data = f.read()

    def leb(at):
        value, shift = 0, 0
        while True:
            byte = data[at]
            at += 1
            value |= (byte & 0x7F) << shift
            shift += 7
            if byte < 0x80:
                return value, at
    at, debug = 8, 0
    while at < len(data):
        kind = data[at]
        size, body = leb(at + 1)
        if kind == 0:
            name_size, name_at = leb(body)
            if data[name_at:name_at + name_size].startswith(b".debug"):
                debug += body + size - at
        at = body + size
    return debug


def fmt(seconds):
    return f"{seconds * 1e6:.1f} us" if seconds < 1e-3 else f"{seconds * 1e3:.2f} ms"


def main():
    root = os.path.join(HERE, "..")
    parser = argparse.ArgumentParser()
    parser.add_argument("--site", default=os.path.join(root, "build-web", "site"))
    parser.add_argument("--native", default=os.path.join(root, "build-web", "native", "bin", "stackrise"))
    parser.add_argument("--chromium", default="chromium")
    args = parser.parse_args()
    if not os.path.exists(os.path.join(args.site, "index.html")):
        sys.exit("no page in %s: build it with cmake --workflow --preset web" % args.site)
    rows = []
    isolate_network()  # the browser reaches nothing outside the machine
    with StaticServer(args.site, isolated=True) as server, Chromium(args.chromium) as chromium:
        page = StackrisePage(chromium.page())
        page.page.call("Performance.enable")
        page.page.call("Page.addScriptToEvaluateOnNewDocument", {"source": RAF_TIMING_JS})
        page.set_viewport(1600, 900, 1)
        page.load(server, {"LUMEN_SEED": "1"})
        for i in range(TOWERS):  # footprints of 100 to 179 canvas px, all inside the canvas
            x = 10 + i * 50
            page.drag(x, x + 100 + (i * 37) % 80, 880)
        page.wait_still()
        standing = measure(page, WINDOWS)
        for i in range(TOWERS):
            page.right_click(10 + i * 50 + 5, 880)
        falling = measure(page, WINDOWS)
    peer = native_frame(args.native)
    for what, (fps, busy, callback) in (("page frame, 29 towers standing", standing),
                                        ("page frame, 29 towers falling", falling)):
        ours = busy / 1000
        note = f"{fps:.1f} frames/s; rAF callback {callback:.3f} ms" if callback is not None else f"{fps:.1f} frames/s"
        rows.append((what + " (main thread)", fmt(ours), "native headless demo frame", fmt(peer),
                     f"{ours / peer:.0f}", note))
    head = ("measure (median)", "ours", "peer", "peer's", "ratio", "note")
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(6)]
    line = lambda r: "| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |"  # noqa: E731
    print(line(head))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print(line(r))
    kinds, total, packed = weight(args.site)
    parts = ", ".join(f"{k} {v:,}" for k, v in sorted(kinds.items(), key=lambda kv: -kv[1]))
    debug = sum(wasm_debug_bytes(os.path.join(root, n)) for root, _, names in os.walk(args.site)
                for n in names if n.endswith(".wasm"))
    print(f"Page weight: {total:,} bytes ({parts}); {packed:,} bytes gzipped (-9, each file); "
          f"{debug:,} bytes of it the module's debug information")


if __name__ == "__main__":
    main()
