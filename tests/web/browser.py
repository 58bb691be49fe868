"""Headless Chromium driven over its DevTools protocol, and a static server for a page.

Nothing is downloaded: Chromium is Debian's (`chromium`), the protocol's websocket Debian's
`python3-websocket` and the HTTP server Python's own library. Used by tests/web/browser_test.py
and bench/browser_bench.py:

    with StaticServer(site) as server, Chromium() as chromium:
        page = chromium.page()
        page.navigate(server.url("index.html?LUMEN_SEED=7"))
        page.evaluate("stackrise.frames")

Chromium runs in a process group of its own, killed with everything it started when the
`with` ends, also on a failure; its profile is a temporary folder, removed then.
"""
import ctypes
import functools
import http.server
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

try:
    import websocket  # Debian's python3-websocket
except ImportError:  # said when a page is opened
    websocket = None

CANVAS_WIDTH, CANVAS_HEIGHT = 1600, 900  # Lumen's canvas, canvas px


class BrowserError(RuntimeError):
    """A failure of the browser, the protocol or the page, with what was being waited for."""


class StaticServer:
    """The files of `folder` over HTTP on a free port of 127.0.0.1, served from a thread.
    `isolated`: served cross-origin isolated, which gives the page's performance.now() 5 us
    steps instead of 100 us."""

    def __init__(self, folder, isolated=False):
        handler = functools.partial(_IsolatedHandler if isolated else _QuietHandler,
                                    directory=os.path.abspath(folder))
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.httpd.requests = []  # (path, HTTP status) of each request answered, in order
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    def url(self, path):
        return "http://127.0.0.1:%d/%s" % (self.httpd.server_address[1], path)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.httpd.shutdown()
        self.httpd.server_close()


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    # The module is compiled while it streams in only when served as application/wasm.
    extensions_map = dict(http.server.SimpleHTTPRequestHandler.extensions_map,
                          **{".wasm": "application/wasm", ".js": "text/javascript"})

    def end_headers(self):
        self.send_header("Cache-Control", "no-store")
        super().end_headers()

    def log_request(self, code="-", size="-"):
        self.server.requests.append((self.path, int(code)))

    def log_message(self, *args):
        pass


class _IsolatedHandler(_QuietHandler):
    def end_headers(self):
        self.send_header("Cross-Origin-Opener-Policy", "same-origin")
        self.send_header("Cross-Origin-Embedder-Policy", "require-corp")
        super().end_headers()


class Page:
    """One page target: protocol calls, JavaScript evaluation, waiting for the page's state."""

    def __init__(self, ws_url, timeout=60):
        if websocket is None:
            raise BrowserError("%s has no module websocket (apt-get install python3-websocket)" % sys.executable)
        try:
            # No Origin header: Chromium refuses a DevTools connection from an origin it was not told of.
            self.ws = websocket.create_connection(ws_url, timeout=timeout, suppress_origin=True)
        except (OSError, websocket.WebSocketException) as e:
            raise BrowserError("cannot connect to %s: %s" % (ws_url, e))
        self.timeout = timeout
        self.next_id = 0
        self.console = []  # the page's console lines and uncaught exceptions, for diagnostics
        self.messages = []  # every console line, exception and log entry as (level, text)
        self.call("Runtime.enable")
        self.call("Page.enable")

    def call(self, method, params=None, timeout=None):
        self.next_id += 1
        my_id = self.next_id
        self.ws.send(json.dumps({"id": my_id, "method": method, "params": params or {}}))
        deadline = time.monotonic() + (timeout or self.timeout)
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise BrowserError("no answer to %s in %s s" % (method, timeout or self.timeout))
            try:
                message = json.loads(self._receive(left))
            except websocket.WebSocketTimeoutException:
                continue
            if message.get("id") == my_id:
                if "error" in message:
                    raise BrowserError("%s: %s" % (method, message["error"].get("message")))
                return message.get("result", {})
            self._event(message)

    def _receive(self, timeout):
        """The next whole text message (the library answers pings); a close is an error."""
        self.ws.settimeout(timeout)
        try:
            opcode, data = self.ws.recv_data()
        except websocket.WebSocketConnectionClosedException:
            raise BrowserError("the browser closed the websocket")
        if opcode == websocket.ABNF.OPCODE_CLOSE:
            raise BrowserError("the browser closed the websocket")
        return data.decode()

    def _event(self, message):
        method, params = message.get("method"), message.get("params", {})
        if method == "Runtime.consoleAPICalled":
            self.console.append(" ".join(str(a.get("value", a.get("description", ""))) for a in params["args"]))
            self.messages.append((params["type"], self.console[-1]))
        elif method == "Runtime.exceptionThrown":
            details = params["exceptionDetails"]
            self.console.append("uncaught: " + details.get("exception", {}).get("description", details.get("text", "")))
            self.messages.append(("error", self.console[-1]))
        elif method == "Log.entryAdded":  # the browser's own (a failed load), once Log.enable is called
            self.messages.append((params["entry"]["level"], params["entry"]["text"]))
        del self.console[:-20]

    def evaluate(self, expression, timeout=None):
        """The value of a JavaScript expression (a promise is awaited); a thrown error fails."""
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": True}, timeout)
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            raise BrowserError("%s: %s" % (expression[:60], details.get("exception", {}).get(
                "description", details.get("text"))))
        return result["result"].get("value")

    def wait_for(self, expression, what, timeout=60, interval=0.02):
        """Polls `expression` until it is truthy and returns its value; fails after `timeout` s."""
        deadline = time.monotonic() + timeout
        while True:
            value = self.evaluate(expression)
            if value:
                return value
            if time.monotonic() > deadline:
                raise BrowserError("waited %s s for %s" % (timeout, what))
            time.sleep(interval)

    def navigate(self, url):
        result = self.call("Page.navigate", {"url": url})
        if result.get("errorText"):
            raise BrowserError("cannot load %s: %s" % (url, result["errorText"]))

    def set_viewport(self, width, height, scale):
        """The page's window: width x height CSS px at `scale` device px per CSS px."""
        self.call("Emulation.setDeviceMetricsOverride", {"width": width, "height": height,
                                                         "deviceScaleFactor": scale, "mobile": False})

    def mouse(self, kind, x, y, button="none", buttons=0):
        """One mouse event at (x, y) CSS px of the viewport: kind mouseMoved, mousePressed or
        mouseReleased; `buttons` the buttons held (1 left, 2 right)."""
        params = {"type": kind, "x": x, "y": y, "button": button, "buttons": buttons}
        if kind != "mouseMoved":
            params["clickCount"] = 1
        self.call("Input.dispatchMouseEvent", params)

    def touch(self, kind, points):
        """One touch event: kind touchStart, touchMove, touchEnd or touchCancel; `points` the
        fingers on the screen after it, as (x, y) CSS px of the viewport (touchEnd: those left)."""
        self.call("Input.dispatchTouchEvent", {"type": kind, "touchPoints": [
            {"x": x, "y": y, "id": i} for i, (x, y) in enumerate(points)]})

    def close(self):
        self.ws.close(timeout=1)


def _die_with_parent():
    # In the child before Chromium starts: killed if the process that started it ends without
    # stopping it (killed at a harness's time limit), since its own group is out of reach then.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


class Chromium:
    """Debian's Chromium, headless, on a free DevTools port, with a temporary profile."""

    def __init__(self, executable="chromium", start_timeout=60):
        self.executable = shutil.which(executable) or executable
        self.start_timeout = start_timeout
        self.process = None
        self.profile = None
        self.port = None

    def __enter__(self):
        self.profile = tempfile.mkdtemp(prefix="stackrise-chromium-")
        self.log = open(os.path.join(self.profile, "stderr.txt"), "w+")
        args = [self.executable, "--headless=new", "--remote-debugging-port=0",
                "--user-data-dir=" + self.profile, "--no-first-run", "--no-default-browser-check",
                "--disable-background-timer-throttling", "--disable-renderer-backgrounding",
                "--disable-backgrounding-occluded-windows", "--disable-extensions", "about:blank"]
        if os.geteuid() == 0:
            args.insert(1, "--no-sandbox")  # Chromium refuses its sandbox to root
        try:
            self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=self.log,
                                            stderr=self.log, start_new_session=True,
                                            preexec_fn=_die_with_parent)
        except OSError as e:
            self._cleanup()
            raise BrowserError("cannot start %s: %s (apt-get install chromium)" % (self.executable, e))
        try:
            self.port = self._wait_port()
        except BaseException:
            self.__exit__()
            raise
        return self

    def _wait_port(self):
        deadline = time.monotonic() + self.start_timeout
        while time.monotonic() < deadline:
            self.log.seek(0)
            m = re.search(r"DevTools listening on ws://127\.0\.0\.1:(\d+)/", self.log.read())
            if m:
                return int(m.group(1))
            if self.process.poll() is not None:
                raise BrowserError("chromium ended with status %d before listening:\n%s"
                                   % (self.process.returncode, self.stderr_tail()))
            time.sleep(0.05)
        raise BrowserError("chromium did not listen within %d s:\n%s" % (self.start_timeout, self.stderr_tail()))

    def stderr_tail(self, lines=15):
        self.log.seek(0)
        kept = [l for l in self.log.read().splitlines() if "dbus" not in l]
        return "\n".join(kept[-lines:])

    def page(self):
        """The first page target (the about:blank Chromium opened), connected."""
        with urllib.request.urlopen("http://127.0.0.1:%d/json/list" % self.port, timeout=10) as f:
            targets = json.load(f)
        pages = [t for t in targets if t.get("type") == "page"]
        if not pages:
            raise BrowserError("chromium has no page target")
        return Page(pages[0]["webSocketDebuggerUrl"])

    def __exit__(self, *exc):
        if self.process is not None and self.process.poll() is None:
            try:
                os.killpg(self.process.pid, signal.SIGTERM)
                self.process.wait(timeout=10)
            except (subprocess.TimeoutExpired, ProcessLookupError):
                pass
            try:
                os.killpg(self.process.pid, signal.SIGKILL)  # whatever of the group is left
            except ProcessLookupError:
                pass
            self.process.wait()
        self._cleanup()

    def _cleanup(self):
        if self.profile:
            if hasattr(self, "log"):
                self.log.close()
            shutil.rmtree(self.profile, ignore_errors=True)
            self.profile = None
