"""Debian's Chromium, headless, driven over its DevTools protocol (the page's interface is
browser.py's Page)."""
import json
import os
import urllib.request

from browser import Browser, BrowserError, Page

TOUCH_TYPES = {"start": "touchStart", "move": "touchMove", "end": "touchEnd"}


class ChromiumPage(Page):
    """One page target over the DevTools protocol."""

    def __init__(self, ws_url, timeout=60):
        super().__init__(ws_url, timeout)
        self.messages = []  # every console line, exception and log entry as (level, text)
        self.call("Runtime.enable")
        self.call("Page.enable")

    def _event(self, method, params):
        if method == "Runtime.consoleAPICalled":
            self.console.append(" ".join(str(a.get("value", a.get("description", ""))) for a in params["args"]))
            self.messages.append((params["type"], self.console[-1]))
        elif method == "Runtime.exceptionThrown":
            details = params["exceptionDetails"]
            self.console.append("uncaught: " + details.get("exception", {}).get("description", details.get("text", "")))
            self.messages.append(("error", self.console[-1]))
        elif method == "Log.entryAdded":  # the browser's own (a failed load), once Log.enable is called
            self.messages.append((params["entry"]["level"], params["entry"]["text"]))

    def evaluate(self, expression, timeout=None):
        """The value of a JavaScript expression as JSON gives it (a promise is awaited); a
        thrown error fails."""
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": True}, timeout)
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            raise BrowserError("%s: %s" % (expression[:60], details.get("exception", {}).get(
                "description", details.get("text"))))
        return result["result"].get("value")

    def navigate(self, url):
        """Starts loading `url`; returns once its document replaces the old one."""
        result = self.call("Page.navigate", {"url": url})
        if result.get("errorText"):
            raise BrowserError("cannot load %s: %s" % (url, result["errorText"]))

    def set_viewport(self, width, height, scale):
        """The page's window: width x height CSS px at `scale` device px per CSS px."""
        self.call("Emulation.setDeviceMetricsOverride", {"width": width, "height": height,
                                                         "deviceScaleFactor": scale, "mobile": False})

    def mouse(self, kind, x, y, button="none", buttons=0):
        """One mouse event at (x, y) CSS px of the viewport: kind mouseMoved, mousePressed or
        mouseReleased; `button` none, left or right; `buttons` the buttons held after it (1 left,
        2 right)."""
        params = {"type": kind, "x": x, "y": y, "button": button, "buttons": buttons}
        if kind != "mouseMoved":
            params["clickCount"] = 1
        self.call("Input.dispatchMouseEvent", params)

    def add_init_script(self, source):
        """Runs `source` in every document this page loads from now on, before its own scripts."""
        self.call("Page.addScriptToEvaluateOnNewDocument", {"source": source})

    def main_thread_seconds(self):
        """The renderer main thread's busy time so far, s (TaskDuration)."""
        if not getattr(self, "_metrics", False):
            self.call("Performance.enable")
            self._metrics = True
        metrics = self.call("Performance.getMetrics")["metrics"]
        return next(m["value"] for m in metrics if m["name"] == "TaskDuration")

    def touch(self, kind, points):
        """Fingers on the viewport, one per (x, y) of `points` in CSS px (finger i the i-th):
        kind start puts them down there, move moves them there, end lifts them (give all that
        are down)."""
        touch_points = [] if kind == "end" else [{"x": x, "y": y, "id": i} for i, (x, y) in enumerate(points)]
        self.call("Input.dispatchTouchEvent", {"type": TOUCH_TYPES[kind], "touchPoints": touch_points})


class Chromium(Browser):
    """Debian's Chromium, headless, on a free DevTools port, with a temporary profile."""

    name, package = "chromium", "chromium"
    listening = r"DevTools listening on ws://127\.0\.0\.1:(\d+)/"

    def __init__(self, executable="chromium", start_timeout=60):
        super().__init__(executable, start_timeout)

    def _arguments(self):
        args = [self.executable, "--headless=new", "--remote-debugging-port=0",
                "--user-data-dir=" + self.profile, "--no-first-run", "--no-default-browser-check",
                "--disable-background-timer-throttling", "--disable-renderer-backgrounding",
                "--disable-backgrounding-occluded-windows", "--disable-extensions", "about:blank"]
        if os.geteuid() == 0:
            args.insert(1, "--no-sandbox")  # Chromium refuses its sandbox to root
        return args, None

    def page(self):
        """The first page target (the about:blank Chromium opened), connected."""
        with urllib.request.urlopen("http://127.0.0.1:%d/json/list" % self.port, timeout=10) as f:
            targets = json.load(f)
        pages = [t for t in targets if t.get("type") == "page"]
        if not pages:
            raise BrowserError("chromium has no page target")
        return ChromiumPage(pages[0]["webSocketDebuggerUrl"])
