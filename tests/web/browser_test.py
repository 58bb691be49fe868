#!/usr/bin/env python3
"""The web page in real browsers (headless Chromium and Firefox), played with the mouse and checked
against the native program and against each other.

`town`: the page is loaded with a fixed seed, a trace and a recording; two left drags raise two
towers (the canvas's pixels change over the dragged stretch, and only there), a right click
fells the first (its pixels change, then its stretch is the empty town again), and the run is
ended as closing the window ends it. The recording, replayed by the native program with the
same seed, must give the pixels the page's canvas shows and the page's trace, line for line
(but the Init line's build identifier).

`scaled`: at other window sizes and device scales, a drag at the letterboxed place of canvas
units (600, 880) .. (800, 880) must reach the program as those canvas units (the recording's
moves) and raise the tower at the same canvas place: the same pixels at every size, and the
native replay's.

`world`: what the world may do to the page: a setting with a non-ASCII name writes that file; a
headless run at the slowest frame rate leaves the page answering and ends on `end()`; a device as
the script is refused at once.

Every group runs in each browser of `--browser` in turn (chromium, firefox or both); with more than
one, each still picture a case took (the empty town, the risen and the fallen towers) must be the
same in every browser, pixel for pixel. The browsers and the page's server run in a network
namespace of their own with only loopback (browser.isolate_network).

    browser_test.py GROUP... --site build-web/site --native build-web/native/bin/stackrise [--browser firefox]

Prints one line per case and `browser: N passed, N failed`; exit status 1 if any failed.
"""
import argparse
import json
import os
import re
import shutil
import signal
import sys
import tempfile
import time
import urllib.parse

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser import CANVAS_WIDTH, BrowserError, StaticServer, isolate_network  # noqa: E402
from chromium import Chromium  # noqa: E402
from firefox import Firefox  # noqa: E402
from stackrise_page import StackrisePage, changed_columns  # noqa: E402
from web_vs_native import BUILD_ID, first_difference, png_pixels, run  # noqa: E402

SEED = "7"
# The run's outputs in the page's in-memory file system.
PAGE_TRACE, PAGE_RECORD = "/trace.txt", "/rec.script"
# Rows a tower of the least height (100 canvas px above the ground line at 910) always covers
# once it has risen, and the rows of the whole canvas.
TOWER_ROWS, ALL_ROWS = (820, 900), (0, 900)
# How far a recorded move may lie from the canvas point aimed at, in CSS px: half the finest
# step a pointer can name (the page places the canvas on whole device px, so its CSS size and
# the event's place are rounded; Firefox's events name whole CSS px only).
HALF_CSS_PX = 0.5
# Pictures differ where the program was given other canvas units: a browser whose events name
# whole CSS px only reaches a place between them within HALF_CSS_PX, not exactly.
NOT_EXACT = ("not compared: the browser's events name whole CSS px only, and a place aimed at lies "
             "between them (the program's canvas units differ by up to HALF_CSS_PX, and so its towers)")
BROWSERS = {"chromium": Chromium, "firefox": Firefox}


class Case:
    """One named case: its problems, printed as one line; the still pictures it took (name: RGBA
    bytes), for a comparison with the same case at another size or in another browser, and
    whether its events reached the places aimed at exactly (StackrisePage.exact); why it was
    skipped."""

    def __init__(self, name):
        self.name = name
        self.problems = []
        self.pictures = {}
        self.exact = True
        self.skipped = None

    def picture(self, what, page):
        """The canvas now, kept as `what`."""
        self.pictures[what] = page.pixels()[2]
        return self.pictures[what]

    def check(self, ok, problem):
        if not ok:
            self.problems.append(problem)
        return ok


def expect_span(case, columns, x0, x1, what):
    """Columns changed by a tower over canvas px [x0, x1]: all of its inside, none beyond its edges."""
    inside = set(range(x0 + 1, x1 - 1))
    if not case.check(inside <= columns, "%s: %d columns of %d..%d unchanged" % (
            what, len(inside - columns), x0, x1, )):
        return
    outside = sorted(c for c in columns if c < x0 - 1 or c > x1 + 1)
    case.check(not outside, "%s: columns outside %d..%d changed too (%s)" % (what, x0, x1, outside[:8]))


def replay_native(case, native, work, page_run, seed=SEED):
    """The page's recording replayed natively with `seed`: its picture equal to the canvas, its
    trace to the page's but for the build identifier."""
    script = os.path.join(work, "page.script")
    with open(script, "w") as f:
        f.write(page_run["record"])
    result = run([native], {"LUMEN_SCRIPT": script, "LUMEN_SEED": seed}, work, "native", picture=True)
    case.check(result.status == 0, "native replay: status %d, %r" % (result.status, result.err))
    page_trace = [BUILD_ID.sub("", line) for line in page_run["trace"].splitlines()]
    case.check(result.trace == page_trace, "trace: " + first_difference(result.trace, page_trace))
    if not case.check(os.path.exists(os.path.join(work, "native.png")), "the native replay wrote no picture"):
        return
    width, height, native_pixels = png_pixels(os.path.join(work, "native.png"))
    page_width, page_height, page_pixels = page_run["pixels"]
    if case.check((width, height) == (page_width, page_height),
                  "picture %dx%d, canvas %dx%d" % (width, height, page_width, page_height)):
        differ = changed_columns(native_pixels, page_pixels, ALL_ROWS)
        case.check(not differ, "the canvas differs from the native picture in %d columns (first %d)"
                   % (len(differ), min(differ) if differ else 0))


def moves_reached(case, record, wanted, tolerance):
    """Each canvas point of `wanted` is one of the recording's moves, within `tolerance` canvas px."""
    moves = [(float(m.group(1)), float(m.group(2)))
             for m in re.finditer(r"^\d+ move (\S+) (\S+)$", record, re.M)]
    for x, y in wanted:
        near = [(mx, my) for mx, my in moves if max(abs(mx - x), abs(my - y)) <= tolerance + 1e-9]
        case.check(near, "no move near canvas (%g, %g) in the recording; its moves: %s" % (x, y, moves[:8]))


def end_run(case, page):
    """Ends the run as closing the window does; the final canvas, recording and trace."""
    page.end()
    case.check(page.state() == "ended", "the run's state is %r, not 'ended'" % page.state())
    case.check(page.status() == 0, "ended with status %r, message %r" % (page.status(), page.message()))
    record, trace = page.read_file(PAGE_RECORD), page.read_file(PAGE_TRACE)
    case.check(record is not None and record.rstrip().endswith("quit"),
               "the recording is missing or does not end in quit: %r" % (record or "")[-80:])
    case.check(trace is not None and re.search(r"^Init ", trace, re.M), "the trace is missing or has no Init")
    acts = len(re.findall(r"^Act \d+$", trace or "", re.M))
    case.check(page.frames() == acts, "stackrise.frames is %s, the trace has %d Act lines" % (page.frames(), acts))
    case.check(page.message() == "", "an orderly end with the message %r" % page.message())
    case.exact = page.exact()
    return {"record": record or "", "trace": trace or "", "pixels": page.pixels()}


def town_case(page, server, native, work):
    case = Case("two drags raise two towers, a right click fells the first; the native replay matches")
    page.set_viewport(1280, 800, 1)  # canvas at 0.8 CSS px per canvas px, bars above and below
    page.load(server, {"LUMEN_SEED": SEED, "LUMEN_TRACE": PAGE_TRACE, "LUMEN_RECORD": PAGE_RECORD})
    empty = case.picture("the empty town", page)
    first, second = (300, 500), (900, 1100)  # canvas px
    page.drag(first[0], first[1], 880)
    page.wait_still()
    one = case.picture("one tower", page)
    expect_span(case, changed_columns(empty, one, TOWER_ROWS), *first, what="first tower")
    page.drag(second[1], second[0], 880)  # right to left: the same footprint
    page.wait_still()
    two = case.picture("two towers", page)
    expect_span(case, changed_columns(one, two, TOWER_ROWS), *second, what="second tower")
    page.right_click((first[0] + first[1]) // 2, 880)
    page.wait_frames(30)
    falling = page.pixels()[2]
    case.check(changed_columns(two, falling, TOWER_ROWS) & set(range(*first)),
               "the first tower did not move after the right click")
    page.wait_still()
    after = case.picture("the first tower fallen", page)
    gone = changed_columns(empty, after, ALL_ROWS)
    case.check(not gone & set(range(first[0] - 10, first[1] + 10)),
               "the first tower's stretch is not empty after its fall")
    case.check(gone & set(range(*second)), "the second tower is gone too")
    page_run = end_run(case, page)
    moves_reached(case, page_run["record"], [(first[0], 880), (first[1], 880), (second[0], 880)],
                  HALF_CSS_PX * CANVAS_WIDTH / page.box["width"])
    replay_native(case, native, work, page_run)
    return case


# Window sizes and device scales: (CSS px wide, high, device px per CSS px). The canvas is shown
# at 0.6 with bars above and below, and at 0.8 with bars at the sides.
SCALED = [(960, 800, 2), (2000, 720, 1.5)]


def scaled_cases(page, server, native, work):
    cases, pictures = [], []
    stretch, y = (600, 800), 880
    for width, height, scale in SCALED:
        case = Case("a %dx%d window at scale %g maps a drag to the same canvas units" % (width, height, scale))
        page.set_viewport(width, height, scale)
        page.load(server, {"LUMEN_SEED": SEED, "LUMEN_TRACE": PAGE_TRACE, "LUMEN_RECORD": PAGE_RECORD})
        box = page.content_box()
        case.check(abs(box["width"] * 900 - box["height"] * 1600) <= 1600,
                   "the canvas is shown %gx%g, not in its 16:9 shape" % (box["width"], box["height"]))
        case.check(box["left"] >= -0.5 and box["top"] >= -0.5 and box["left"] + box["width"] <= width + 0.5
                   and box["top"] + box["height"] <= height + 0.5, "the canvas is not inside the window: %s" % box)
        empty = page.pixels()[2]
        page.drag(stretch[0], stretch[1], y)
        page.wait_still()
        risen = case.picture("the risen tower", page)
        expect_span(case, changed_columns(empty, risen, TOWER_ROWS), *stretch, what="tower")
        pictures.append(risen)
        page_run = end_run(case, page)
        moves_reached(case, page_run["record"], [(stretch[0], y), (stretch[1], y)],
                      HALF_CSS_PX * CANVAS_WIDTH / box["width"])
        replay_native(case, native, work, page_run)
        cases.append(case)
    same = Case("the tower stands at the same canvas place at every window size")
    if not all(c.exact for c in cases):
        same.skipped = NOT_EXACT
    else:
        differ = changed_columns(pictures[0], pictures[1], ALL_ROWS) if len(pictures) == 2 else {0}
        same.check(not differ, "the risen towers differ in %d columns" % len(differ))
    return cases + [same]


# A name with accents, CJK, an emoji and spaces, in the page's in-memory file system.
UNICODE_PICTURE = "/a \u00f6 \u5831\u544a \U0001F389.png"


def start_run(page, server, settings, timeout=60):
    """Loads index.html with `settings` and waits until its run has started (a headless run shows
    no frames); the run's state then."""
    page.page.evaluate("window.__previousRun = true")
    page.page.navigate(server.url("index.html?" + urllib.parse.urlencode(settings)))
    return page.page.wait_for(
        "!window.__previousRun && window.stackrise && stackrise.state !== 'loading' && stackrise.state",
        "the page to start its run", timeout)


def world_cases(page, server, native, work):
    cases = []
    case = Case("a non-ASCII setting names the file it says (UTF-8 all the way)")
    page.set_viewport(1280, 800, 1)
    page.load(server, {"LUMEN_SEED": SEED, "LUMEN_TRACE": PAGE_TRACE, "LUMEN_CAPTURE": UNICODE_PICTURE})
    page.end()
    case.check(page.status() == 0, "ended with status %r, message %r" % (page.status(), page.message()))
    # The file's first bytes, read from the page's file system as they are.
    head = page.page.evaluate("(b => b && Array.from(b.subarray(0, 8)))(stackrise.readFile(%s, true))"
                              % json.dumps(UNICODE_PICTURE))
    case.check(head == [0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A], "no picture at %r: %r" % (UNICODE_PICTURE, head))
    others = page.page.evaluate("stackrise.list('/').filter(n => /png/.test(n))")
    case.check(others == [UNICODE_PICTURE[1:]], "the pictures in /: %r" % others)
    cases.append(case)

    case = Case("a headless run at one frame in 11 days keeps the page answering and ends on end()")
    state = start_run(page, server, {"LUMEN_HEADLESS": "1", "LUMEN_FPS": "0.000001", "LUMEN_TRACE": PAGE_TRACE})
    case.check(state == "running", "the run is %r: %s" % (state, page.message()))
    for _ in range(5):  # each answer needs the page's main thread
        started = time.monotonic()
        page.page.evaluate("1", timeout=10)
        case.check(time.monotonic() - started < 5, "the page took %.1f s to answer" % (time.monotonic() - started))
        time.sleep(0.2)
    page.end(timeout=30)
    case.check(page.state() == "ended" and page.status() == 0,
               "after end(): %r, status %r, %r" % (page.state(), page.status(), page.message()))
    trace = page.read_file(PAGE_TRACE) or ""
    case.check(re.search(r"^Free live=", trace, re.M), "the trace has no Free: %r" % trace[-200:])
    cases.append(case)

    case = Case("a device as the script is refused at once, naming it")
    start_run(page, server, {"LUMEN_SCRIPT": "/dev/urandom"})
    state = page.page.wait_for("window.stackrise.state !== 'running' && window.stackrise.state",
                               "the refusal", 30)
    # A bad setting: status 2, nothing played.
    case.check(state == "fault" and page.status() == 2, "the run is %r, status %r" % (state, page.status()))
    case.check("cannot read script /dev/urandom: it is a device" in page.message(),
               "the message: %r" % page.message())
    cases.append(case)
    return cases


GROUPS = {"town": lambda *a: [town_case(*a)], "scaled": scaled_cases, "world": world_cases}


class Stopped(Exception):
    """The test's time is up, or it was told to stop: no browser runs after this one."""


def run_browser(kind, executable, groups, server, native, work, cases):
    """Appends to `cases` those of `groups` in one browser; a failure that stops the browser or the
    page is one more failed case, with the page's and the browser's last words."""
    group = "its start"
    try:
        with kind(executable) as browser:
            page = StackrisePage(browser.page())
            try:
                for group in groups:
                    cases += GROUPS[group](page, server, native, work)
            except (BrowserError, Stopped) as e:
                stopped = Case("the %s group ran to its end" % group)
                stopped.problems += [str(e)] + page.diagnostics().splitlines() + [
                    "%s's last lines:" % kind.name] + browser.stderr_tail().splitlines()
                cases.append(stopped)
                if isinstance(e, Stopped):
                    raise
    except BrowserError as e:
        stopped = Case("the browser ran (%s)" % group)
        stopped.problems.append(str(e))
        cases.append(stopped)


def alike_cases(results):
    """Each still picture the first browser's cases took against the same case's in the others."""
    (first, ours), *others = results.items()
    cases = []
    for other, theirs in others:
        theirs = {c.name: c for c in theirs}
        for mine in ours:
            if not mine.pictures:
                continue
            case = Case("%s's canvas is %s's: %s" % (other, first, mine.name))
            cases.append(case)
            yours = theirs.get(mine.name)
            if yours and not (yours.exact and mine.exact):
                case.skipped = NOT_EXACT
                continue
            for what, pixels in mine.pictures.items():
                other_pixels = yours.pictures.get(what) if yours else None
                if case.check(other_pixels is not None, "%s took no picture of %s" % (other, what)):
                    differ = changed_columns(pixels, other_pixels, ALL_ROWS)
                    case.check(not differ, "%s: %d columns differ (first %d)" % (what, len(differ), min(differ or [0])))
    compared = Case("the browsers' canvases were compared")
    compared.check(any(not c.skipped for c in cases), "no case of theirs could be compared")
    return cases + [compared]


def on_alarm(signum, frame):
    raise Stopped("the browser test ran out of time")


def on_stop(signum, frame):
    raise Stopped("stopped by signal %d" % signum)


def begin(timeout):
    """Before anything starts: the network namespace, the stop signals and the time limit in s.
    False, said as a failed line, when no namespace can be made."""
    try:
        isolate_network()  # before the server's thread and the browsers start
    except BrowserError as e:
        print("FAIL %s" % e)
        return False
    signal.signal(signal.SIGALRM, on_alarm)
    for stop in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(stop, on_stop)  # so that the browsers and the server are stopped on the way out
    signal.alarm(timeout)
    return True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("groups", nargs="+", choices=list(GROUPS))
    parser.add_argument("--site", required=True, help="the page's folder (index.html)")
    parser.add_argument("--native", required=True, help="the native stackrise of the same sources")
    parser.add_argument("--browser", nargs="+", choices=list(BROWSERS), default=["chromium"],
                        help="the browsers to run in, in turn; with more than one, their pictures are compared")
    parser.add_argument("--chromium", default="chromium", help="Chromium's executable")
    parser.add_argument("--firefox", default="firefox-esr", help="Firefox's executable")
    parser.add_argument("--timeout", type=int, default=540, help="seconds for the whole run")
    args = parser.parse_args()
    native = os.path.abspath(args.native)
    if not begin(args.timeout):
        return 1
    work = tempfile.mkdtemp(prefix="stackrise-browser-")
    results, times, started, stopped = {}, {}, time.monotonic(), None
    try:
        with StaticServer(args.site) as server:
            for name in dict.fromkeys(args.browser):
                began, results[name] = time.monotonic(), []
                try:
                    run_browser(BROWSERS[name], getattr(args, name), args.groups, server, native, work, results[name])
                finally:
                    times[name] = time.monotonic() - began
    except Stopped as e:
        stopped = "FAIL %s (after %.0f s)" % (e, time.monotonic() - started)
    finally:
        signal.alarm(0)
        shutil.rmtree(work, ignore_errors=True)
    cases = [("%s: " % name, case) for name, its in results.items() for case in its]
    cases += [("", case) for case in alike_cases(results)] if len(results) > 1 and not stopped else []
    failed = skipped = 0
    for prefix, case in cases:
        print(("FAIL " if case.problems else "skip " if case.skipped else "ok   ") + prefix + case.name)
        for p in case.problems + [case.skipped] * bool(case.skipped):
            print("     " + p)
        failed += 1 if case.problems else 0
        skipped += 1 if case.skipped and not case.problems else 0
    print("; ".join("%.0f s in %s" % (t, name) for name, t in times.items()))
    print("browser: %d passed, %d failed, %d skipped" % (len(cases) - failed - skipped, failed, skipped))
    if stopped:
        print(stopped)
    return 1 if failed or stopped else 0


if __name__ == "__main__":
    sys.exit(main())
