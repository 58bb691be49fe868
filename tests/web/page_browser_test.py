#!/usr/bin/env python3
"""The page as users meet it, in headless Chromium (tests/web/browser.py): playing again, a phone
with touch, and what the page loads and says.

`again`: the built-in demo run headless to the end of its script, then again in the same page with
Enter, gives the same trace twice, and the native program's; a windowed run ended with Escape, then
a second one started with the "Play again" button, played with the mouse and ended with Escape,
gives the trace and the pixels the native replay of its recording gives, with a fresh seed; a
planted fault says its line and offers the next run, which starts clean.

`touch`: a 390 x 844 phone with touch: the line speaks of fingers and the page of turning the phone,
the canvas has the full width in its own shape, the browser's gestures stay off it; a one-finger
drag raises a tower in the dragged columns, a long press on it fells it, and the native replay of
the recording matches the page.

`finish`: a normal run fetches each file once, none waiting for a script (the module and the export
list are preloaded), asks for no file the site lacks (no /favicon.ico: the page names its icon),
writes no console error and its informational lines as info; without JavaScript the page says it
needs it.

    page_browser_test.py GROUP... --site build-web/site --native build-web/native/bin/stackrise
"""
import argparse
import os
import re
import shutil
import signal
import sys
import tempfile
import time
import urllib.request

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser import BrowserError, StaticServer  # noqa: E402
from chromium import Chromium  # noqa: E402
from browser_test import (ALL_ROWS, PAGE_RECORD, PAGE_TRACE, SEED, TOWER_ROWS, Case, end_run,  # noqa: E402
                          begin, expect_span, replay_native, start_run)
from stackrise_page import EVENT_GAP, StackrisePage, changed_columns  # noqa: E402
from web_vs_native import BUILD_ID, first_difference, run  # noqa: E402

KEYS = {"Enter": 13, " ": 32, "Escape": 27}  # key -> Windows key code
RUN_SETTINGS = {"LUMEN_SEED": SEED, "LUMEN_TRACE": PAGE_TRACE, "LUMEN_RECORD": PAGE_RECORD}
# A finger held still this long is a long press (lumen/backends/web.cpp holds 500 ms); frames at 60/s.
HOLD_FRAMES = 45


def key(page, name):
    code = KEYS[name]
    for kind in ("keyDown", "keyUp"):
        page.page.call("Input.dispatchKeyEvent", {"type": kind, "key": name, "code": "Space" if name == " " else name,
                                                  "windowsVirtualKeyCode": code})


def wait_over(page, timeout=120):
    """Waits until the current run has ended; its state."""
    return page.page.wait_for("window.stackrise.status !== null && window.stackrise.state", "the run to end", timeout)


def ending_shown(case, page, state):
    """The page says how the run ended and offers the next one."""
    status_line, offered = page.page.evaluate(
        "[document.getElementById('stackrise-status').textContent, !document.getElementById('stackrise-again').hidden]")
    case.check(page.state() == state, "the run is %r, not %r: %r" % (page.state(), state, page.message()))
    status = page.status()
    case.check(status == 0 if state == "ended" else status not in (0, None), "the run's status is %r" % status)
    wanted = "The run has ended." if state == "ended" else page.message()
    case.check(status_line == wanted and wanted, "the line under the canvas says %r, not %r" % (status_line, wanted))
    case.check(offered, "no Play again button once the run is over")


def next_run(page, start, windowed=True):
    """Starts the next run with `start()` and waits for it (and its first frames when windowed)."""
    runs = page.page.evaluate("stackrise.runs")
    start()
    page.page.wait_for("stackrise.runs === %d && stackrise.state !== 'loading' && stackrise.state" % (runs + 1),
                       "run %d to start" % (runs + 1), 60)
    if windowed:
        page.wait_frames(3)
        page.box = page.content_box()


def click_again(page):
    r = page.page.evaluate("(b => { const r = b.getBoundingClientRect(); return [r.left + r.width / 2, "
                           "r.top + r.height / 2]; })(document.getElementById('stackrise-again'))")
    page.page.mouse("mousePressed", r[0], r[1], "left", 1)
    page.page.mouse("mouseReleased", r[0], r[1], "left", 0)


def page_trace(page):
    return [BUILD_ID.sub("", line) for line in (page.read_file(PAGE_TRACE) or "").splitlines()]


def again_cases(page, server, native, work):
    cases = []
    case = Case("the demo's script to its end, then again with Enter: the same trace, and the native one")
    page.set_viewport(1280, 800, 1)
    start_run(page, server, {"LUMEN_HEADLESS": "1", "LUMEN_SEED": SEED, "LUMEN_TRACE": PAGE_TRACE})
    wait_over(page)
    ending_shown(case, page, "ended")
    first = page_trace(page)
    next_run(page, lambda: key(page, "Enter"), windowed=False)
    wait_over(page)
    ending_shown(case, page, "ended")
    second = page_trace(page)
    case.check(first and first == second, "the second run's trace: " + first_difference(first, second))
    native_run = run([native], {"LUMEN_HEADLESS": "1", "LUMEN_SEED": SEED}, work, "demo")
    case.check(native_run.trace == second, "against the native run: " + first_difference(native_run.trace, second))
    cases.append(case)

    case = Case("Escape ends a run; the button starts a fresh one that plays as a fresh process")
    page.load(server, {"LUMEN_TRACE": PAGE_TRACE, "LUMEN_RECORD": PAGE_RECORD})
    page.drag(300, 500, 880)
    key(page, "Escape")
    wait_over(page)
    ending_shown(case, page, "ended")
    first_record = page.read_file(PAGE_RECORD) or ""
    next_run(page, lambda: click_again(page))
    case.check(page.read_file(PAGE_RECORD) is None, "the second run's file system has the first run's recording")
    empty = page.pixels()[2]
    page.drag(300, 500, 880)
    page.wait_still()
    expect_span(case, changed_columns(empty, page.pixels()[2], TOWER_ROWS), 300, 500, "the second run's tower")
    key(page, "Escape")
    wait_over(page)
    ending_shown(case, page, "ended")
    page_run = {"record": page.read_file(PAGE_RECORD) or "", "trace": page.read_file(PAGE_TRACE) or "",
                "pixels": page.pixels()}
    seeds = [re.match(r"0 seed (\d+)", r) for r in (first_record, page_run["record"])]
    case.check(all(seeds) and seeds[0].group(1) != seeds[1].group(1),
               "the runs' seeds are not two fresh ones: %r" % [s and s.group(1) for s in seeds])
    if seeds[1]:
        replay_native(case, native, work, page_run, seeds[1].group(1))
    cases.append(case)

    case = Case("a fault says its line and offers the next run, which starts clean")
    start_run(page, server, {"LUMEN_FAULT": "Act:5:1234:boom", "LUMEN_TRACE": PAGE_TRACE})
    wait_over(page)
    ending_shown(case, page, "fault")
    case.check(page.status() == 1 and "boom" in page.message(), "status %r, %r" % (page.status(), page.message()))
    errors = [text for level, text in page.page.messages if level == "error"]
    case.check(page.message() in errors, "the fault's line is not a console error: %r" % errors)
    next_run(page, lambda: key(page, " "), windowed=False)
    case.check(page.message() == "" and page.status() is None, "the next run starts with %r, status %r"
               % (page.message(), page.status()))
    wait_over(page)  # the planted fault is the address's, so it comes again
    case.check(page.state() == "fault" and page.page.evaluate("stackrise.runs") == 2, "the second run: %r" % page.state())
    cases.append(case)
    return cases


def touch_at(page, kind, x, y):
    """One finger put down (start), moved (move) or lifted (end) at canvas px (x, y), then a gap
    of frames."""
    page.page.touch(kind, [page.at(x, y)])
    page.wait_frames(EVENT_GAP)


def touch_cases(page, server, native, work):
    case = Case("on a phone a finger raises a tower and a long press fells it; the words are of fingers")
    page.page.call("Emulation.setTouchEmulationEnabled", {"enabled": True, "maxTouchPoints": 5})
    page.page.call("Emulation.setDeviceMetricsOverride", {"width": 390, "height": 844, "deviceScaleFactor": 3,
                                                          "mobile": True})
    try:
        page.load(server, RUN_SETTINGS)
        line, turn, area, styles = page.page.evaluate("""[document.getElementById('lumen-line').textContent,
          getComputedStyle(document.getElementById('stackrise-turn')).display !== 'none',
          (r => [r.width, r.height])(document.getElementById('lumen-area').getBoundingClientRect()),
          (s => [s.touchAction, s.userSelect])(getComputedStyle(document.getElementById('lumen-area')))]""")
        case.check(re.search(r"finger.*raise.*finger.*tip", line) and not re.search(r"click|mouse|button to", line),
                   "the line does not speak of fingers: %r" % line)
        case.check(turn, "upright, the page does not suggest turning the phone")
        case.check(abs(area[0] - 390) < 1 and abs(area[1] - 390 * 9 / 16) < 1.5,
                   "the canvas's area is %gx%g, not the full width in 16:9" % tuple(area))
        case.check(abs(page.box["width"] - 390) < 1, "the canvas is %g px wide of 390" % page.box["width"])
        case.check(styles == ["none", "none"], "touch-action and user-select on the canvas: %r" % styles)
        empty = page.pixels()[2]
        touch_at(page, "start", 300, 880)
        for x in (350, 420, 500):
            touch_at(page, "move", x, 880)
        touch_at(page, "end", 500, 880)
        page.wait_still()
        risen = page.pixels()[2]
        expect_span(case, changed_columns(empty, risen, TOWER_ROWS), 300, 500, "the dragged tower")
        touch_at(page, "start", 400, 880)
        page.wait_frames(HOLD_FRAMES)
        touch_at(page, "end", 400, 880)
        page.wait_still()
        fallen = changed_columns(empty, page.pixels()[2], ALL_ROWS)
        case.check(not fallen & set(range(290, 510)), "the long-pressed tower's stretch is not empty")
        # Two quick taps (a double tap) and the drags zoomed and scrolled nothing.
        for _ in range(2):
            touch_at(page, "start", 1300, 200)
            touch_at(page, "end", 1300, 200)
        view = page.page.evaluate("[visualViewport.scale, scrollX, scrollY, String(getSelection())]")
        case.check(view == [1, 0, 0, ""], "zoom, scroll and selection after the gestures: %r" % view)
        page_run = end_run(case, page)
        replay_native(case, native, work, page_run)
    finally:
        page.page.call("Emulation.setTouchEmulationEnabled", {"enabled": False})
        page.set_viewport(1280, 800, 1)
    return [case]


def finish_cases(page, server, native, work):
    cases = []
    case = Case("a normal run: each file fetched once and at once, nothing missing, no console error")
    page.page.call("Log.enable")
    page.set_viewport(1280, 800, 1)
    del server.httpd.requests[:]
    del page.page.messages[:]
    page.load(server, RUN_SETTINGS)
    page.drag(300, 500, 880)
    page.wait_still()
    page.end()
    time.sleep(0.5)  # the browser's own requests (an icon) come after the load
    requests = server.httpd.requests
    paths = [p.split("?")[0] for p, _ in requests]
    case.check(not [r for r in requests if r[1] >= 400], "requests that failed: %r" % [r for r in requests if r[1] >= 400])
    case.check("/favicon.ico" not in paths, "the browser asked for /favicon.ico")
    for name in ("/index.html", "/stackrise.js", "/page.js", "/stackrise.wasm", "/Data/Lumen.lmd"):
        case.check(paths.count(name) == 1, "%s requested %d times" % (name, paths.count(name)))
    # The icon the page names is in the site (headless Chromium does not fetch it itself).
    with urllib.request.urlopen(server.url("index.html")) as f:
        icon = re.search(r'<link rel="icon" href="([^"]+)"', f.read().decode())
    if case.check(icon, "the page names no icon"):
        with urllib.request.urlopen(server.url(icon.group(1))) as f:
            case.check(f.read(4) == b"\0\0\1\0", "%s is not an icon file" % icon.group(1))
    # The module and the export list start with the page (preloaded), not after a script.
    started = page.page.evaluate("Object.fromEntries(performance.getEntriesByType('resource').map("
                                 "e => [new URL(e.name).pathname, [e.initiatorType, e.startTime, e.responseEnd]]))")
    for name in ("/stackrise.wasm", "/Data/Lumen.lmd"):
        kind, start, _ = started.get(name, ["none", 0, 0])
        case.check(kind == "link", "%s was fetched by %r, not preloaded with the page" % (name, kind))
        case.check(start <= started.get("/stackrise.js", [0, 0, 0])[2],
                   "%s started after stackrise.js had arrived" % name)
    levels = page.page.messages
    case.check(not [m for m in levels if m[0] == "error"], "console errors: %r" % [m for m in levels if m[0] == "error"])
    case.check([m for m in levels if m[0] == "info" and "drag with the left button" in m[1]],
               "the how-to-play line is not console info: %r" % levels[:5])
    case.check(page.state() == "ended", "the run is %r" % page.state())
    cases.append(case)

    case = Case("without JavaScript the page says it needs it")
    page.page.call("Emulation.setScriptExecutionDisabled", {"value": True})
    try:
        page.page.navigate(server.url("index.html"))
        time.sleep(1)
        text = page.page.evaluate("document.body.innerText")
        case.check("needs JavaScript" in text, "the page without scripts says: %r" % text)
    finally:
        page.page.call("Emulation.setScriptExecutionDisabled", {"value": False})
    cases.append(case)
    return cases


GROUPS = {"again": again_cases, "touch": touch_cases, "finish": finish_cases}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("groups", nargs="+", choices=sorted(GROUPS))
    parser.add_argument("--site", required=True, help="the page's folder (index.html)")
    parser.add_argument("--native", required=True, help="the native stackrise of the same sources")
    parser.add_argument("--chromium", default="chromium")
    parser.add_argument("--timeout", type=int, default=540, help="seconds for the whole run")
    args = parser.parse_args()
    if not begin(args.timeout):
        return 1
    work = tempfile.mkdtemp(prefix="stackrise-page-")
    cases, started = [], time.monotonic()
    try:
        with StaticServer(args.site) as server, Chromium(args.chromium) as chromium:
            page = StackrisePage(chromium.page())
            try:
                for group in args.groups:
                    cases += GROUPS[group](page, server, os.path.abspath(args.native), work)
            except (BrowserError, TimeoutError) as e:
                print("FAIL %s (after %.0f s)\n%s" % (e, time.monotonic() - started, page.diagnostics()))
                return 1
    except (BrowserError, TimeoutError) as e:
        print("FAIL %s" % e)
        return 1
    finally:
        signal.alarm(0)
        shutil.rmtree(work, ignore_errors=True)
    failed = [c for c in cases if c.problems]
    for c in cases:
        print(("FAIL " if c.problems else "ok   ") + c.name + "".join("\n     " + p for p in c.problems))
    print("page: %d passed, %d failed (%.0f s)" % (len(cases) - len(failed), len(failed), time.monotonic() - started))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
