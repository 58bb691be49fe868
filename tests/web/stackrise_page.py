"""The Stackrise page seen through a browser Page (tests/web/browser.py): loading it with its
settings, the mouse in canvas px at the letterboxed place, the canvas's pixels, waiting for
frames and for the town to stand still.

The page's contract: `<canvas id="lumen">` holds Lumen's 1600 x 900 canvas px; `LUMEN_*` query
parameters are the program's environment; `window.stackrise` has `frames`, `state` ('loading',
'running', 'ended', 'fault'), `status`, `message`, `readFile(path)` and `end()`.
"""
import base64
import json
import time
import urllib.parse

from browser import CANVAS_HEIGHT, CANVAS_WIDTH, BrowserError

# The canvas element's content box in CSS px of the viewport: the element's box less border and
# padding, and for object-fit contain (or scale-down) the centred picture inside it.
CONTENT_BOX_JS = """(() => {
  const c = document.getElementById('lumen'), r = c.getBoundingClientRect(), s = getComputedStyle(c);
  const px = v => parseFloat(v) || 0;
  let left = r.left + px(s.borderLeftWidth) + px(s.paddingLeft);
  let top = r.top + px(s.borderTopWidth) + px(s.paddingTop);
  let width = r.width - px(s.borderLeftWidth) - px(s.borderRightWidth) - px(s.paddingLeft) - px(s.paddingRight);
  let height = r.height - px(s.borderTopWidth) - px(s.borderBottomWidth) - px(s.paddingTop) - px(s.paddingBottom);
  if (s.objectFit === 'contain' || s.objectFit === 'scale-down') {
    let k = Math.min(width / c.width, height / c.height);
    if (s.objectFit === 'scale-down') k = Math.min(k, 1);
    left += (width - c.width * k) / 2; top += (height - c.height * k) / 2;
    width = c.width * k; height = c.height * k;
  }
  return {left, top, width, height};
})()"""

# A hash of the canvas's pixels (FNV-1a over its 32-bit words), to see the picture change.
HASH_JS = """(() => {
  const c = document.getElementById('lumen');
  const d = new Uint32Array(c.getContext('2d').getImageData(0, 0, c.width, c.height).data.buffer);
  let h = 2166136261;
  for (let i = 0; i < d.length; i++) h = Math.imul(h ^ d[i], 16777619);
  return [h >>> 0, window.stackrise.frames];
})()"""

PIXELS_JS = """(() => {
  const c = document.getElementById('lumen');
  const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
  let s = '';
  for (let i = 0; i < d.length; i += 0x8000) s += String.fromCharCode.apply(null, d.subarray(i, i + 0x8000));
  return [c.width, c.height, btoa(s)];
})()"""

# Frames between two mouse events, so that the program sees each in a frame of its own.
EVENT_GAP = 2


class StackrisePage:
    def __init__(self, page):
        self.page = page
        self.box = None
        self.aims = []  # the CSS px places of the mouse's events since the page was loaded

    def set_viewport(self, width, height, scale):
        self.page.set_viewport(width, height, scale)

    def load(self, server, settings, timeout=90):
        """Loads index.html with `settings` (LUMEN_* query parameters) and waits for its frames."""
        self.page.evaluate("window.__previousRun = true")
        self.page.navigate(server.url("index.html?" + urllib.parse.urlencode(settings)))
        state = self.page.wait_for(
            "!window.__previousRun && window.stackrise && stackrise.state !== 'loading' && stackrise.state",
            "the page to start its run", timeout)
        if state != "running":
            raise BrowserError("the page's run is %s: %s" % (state, self.message()))
        self.wait_frames(3)
        self.box = self.content_box()
        self.aims = []

    def content_box(self):
        return self.page.evaluate(CONTENT_BOX_JS)

    def at(self, x, y):
        """Canvas px (x, y) as CSS px of the viewport, in the letterboxed canvas."""
        k = self.box["width"] / CANVAS_WIDTH
        return self.box["left"] + x * k, self.box["top"] + y * (self.box["height"] / CANVAS_HEIGHT)

    def wait_frames(self, n, timeout=60):
        """Waits until the program has made n more frames; fails if its run ends meanwhile."""
        target = self.frames() + n
        done = self.page.wait_for(
            "(s => s.state !== 'running' ? 'stopped' : s.frames >= %d)(window.stackrise)" % target,
            "frame %d" % target, timeout)
        if done == "stopped":
            raise BrowserError("the run stopped (%s): %s" % (self.state(), self.message()))

    def mouse(self, kind, x, y, button="none", buttons=0):
        self.aims.append(self.at(x, y))
        self.page.mouse(kind, *self.aims[-1], button=button, buttons=buttons)
        self.wait_frames(EVENT_GAP)

    def exact(self):
        """Whether the mouse's events since the load reached the program at the canvas places
        aimed at (to a float's rounding): always in a browser whose events have fractional CSS
        px, only at whole CSS px in one whose events name whole CSS px (Page.WHOLE_CSS_PX)."""
        return not self.page.WHOLE_CSS_PX or all(abs(v - round(v)) < 1e-6 for aim in self.aims for v in aim)

    def drag(self, x0, x1, y):
        """A left drag in canvas px from (x0, y) to (x1, y), through their middle."""
        self.mouse("mouseMoved", x0, y)
        self.mouse("mousePressed", x0, y, "left", 1)
        self.mouse("mouseMoved", (x0 + x1) / 2, y - 10, "left", 1)
        self.mouse("mouseMoved", x1, y, "left", 1)
        self.mouse("mouseReleased", x1, y, "left", 0)

    def right_click(self, x, y):
        self.mouse("mouseMoved", x, y)
        self.mouse("mousePressed", x, y, "right", 2)
        self.mouse("mouseReleased", x, y, "right", 0)

    def wait_still(self, frames=60, timeout=120):
        """Waits until the canvas has not changed for `frames` frames (a tower pauses 20 frames
        between its stages)."""
        deadline = time.monotonic() + timeout
        last, since = None, 0
        while time.monotonic() < deadline:
            if self.state() != "running":
                raise BrowserError("the run stopped (%s): %s" % (self.state(), self.message()))
            digest, frame = self.page.evaluate(HASH_JS)
            if digest != last:
                last, since = digest, frame
            elif frame - since >= frames:
                return
            time.sleep(0.05)
        raise BrowserError("the canvas did not stand still for %d frames within %d s" % (frames, timeout))

    def pixels(self):
        """(width, height, RGBA bytes) of the canvas's backing store."""
        width, height, data = self.page.evaluate(PIXELS_JS)
        return width, height, base64.b64decode(data)

    def end(self, timeout=30):
        self.page.evaluate("window.stackrise.end()")
        self.page.wait_for("window.stackrise.state !== 'running'", "the run to end", timeout)

    def frames(self):
        return self.page.evaluate("window.stackrise.frames")

    def state(self):
        return self.page.evaluate("window.stackrise.state")

    def status(self):
        return self.page.evaluate("window.stackrise.status")

    def message(self):
        return self.page.evaluate("window.stackrise && window.stackrise.message")

    def read_file(self, path):
        return self.page.evaluate("window.stackrise.readFile(%s)" % _js_string(path))

    def diagnostics(self):
        """The page's state and its last console lines, for a failure's report."""
        try:
            state = self.page.evaluate("window.stackrise ? [stackrise.state, stackrise.frames, stackrise.message] : null")
        except BrowserError as e:
            state = str(e)
        return "page: %s\nconsole:\n  %s" % (state, "\n  ".join(self.page.console) or "(nothing)")


def _js_string(text):
    return json.dumps(text)


def changed_columns(a, b, rows):
    """The canvas columns where two RGBA pictures differ in any row of [rows[0], rows[1])."""
    stride = CANVAS_WIDTH * 4
    columns = set()
    for y in range(*rows):
        row_a, row_b = a[y * stride:(y + 1) * stride], b[y * stride:(y + 1) * stride]
        if row_a == row_b:
            continue
        for x in range(CANVAS_WIDTH):
            if row_a[4 * x:4 * x + 4] != row_b[4 * x:4 * x + 4]:
                columns.add(x)
    return columns
