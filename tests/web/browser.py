"""What the headless browsers share: a static server for the page, a network namespace of its own
for the browsers, a browser process with a temporary profile, and a page over a websocket.

Nothing is downloaded: the browsers are Debian's (`chromium`, chromium.py; `firefox-esr`,
firefox.py), the websocket Debian's `python3-websocket` and the HTTP server Python's own
library. Used by tests/web/browser_test.py and bench/browser_bench.py:

    isolate_network()
    with StaticServer(site) as server, Firefox() as firefox:   # or Chromium()
        page = firefox.page()
        page.navigate(server.url("index.html?LUMEN_SEED=7"))
        page.evaluate("stackrise.frames")

A browser runs in a process group of its own, killed with everything it started when the
`with` ends, also on a failure; its profile is a temporary folder, removed then.
"""
import ctypes
import fcntl
import functools
import http.server
import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

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


CLONE_NEWNET, CLONE_NEWUSER = 0x40000000, 0x10000000
SIOCGIFFLAGS, SIOCSIFFLAGS, IFF_UP = 0x8913, 0x8914, 0x1


def isolate_network():
    """Moves this process, and all it starts from now on, into a network namespace of its own
    whose only interface is loopback, up (what `unshare -n`, then `ip link set lo up` do; as a
    user other than root, inside a user namespace of its own, as `unshare -rn`). Call it before
    any thread starts. Raises BrowserError when no namespace can be made."""
    libc = ctypes.CDLL(None, use_errno=True)
    uid, gid = os.geteuid(), os.getegid()
    if libc.unshare(CLONE_NEWNET if uid == 0 else CLONE_NEWNET | CLONE_NEWUSER) != 0:
        raise BrowserError("cannot make a network namespace of its own for the browsers "
                           "(unshare: %s); run as root, or where user namespaces are allowed "
                           "(sysctl kernel.unprivileged_userns_clone=1)" % os.strerror(ctypes.get_errno()))
    if uid != 0:  # this user is root inside its namespace
        for name, text in (("setgroups", "deny"), ("uid_map", "0 %d 1" % uid), ("gid_map", "0 %d 1" % gid)):
            with open("/proc/self/" + name, "w") as f:
                f.write(text)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        request = struct.pack("16sH14x", b"lo", 0)
        flags = struct.unpack("16sH14x", fcntl.ioctl(s, SIOCGIFFLAGS, request))[1]
        fcntl.ioctl(s, SIOCSIFFLAGS, struct.pack("16sH14x", b"lo", flags | IFF_UP))
    with open("/proc/self/net/dev") as f:  # this namespace's interfaces, past two header lines
        interfaces = [line.split(":")[0].strip() for line in f.read().splitlines()[2:]]
    if interfaces != ["lo"]:
        raise BrowserError("the browsers' network namespace has the interfaces %s, not only lo" % interfaces)


class Page:
    """One page of a browser over a websocket: numbered calls and their answers, the events in
    between, waiting for the page's state. Each browser's page (chromium.py, firefox.py) adds
    navigate, evaluate, set_viewport, mouse, touch and its events."""

    WHOLE_CSS_PX = False  # whether the page's pointer events name whole CSS px only

    def __init__(self, ws_url, timeout=60):
        if websocket is None:
            raise BrowserError("%s has no module websocket (apt-get install python3-websocket)" % sys.executable)
        try:
            # No Origin header: the browsers refuse a connection from an origin they were not told of.
            self.ws = websocket.create_connection(ws_url, timeout=timeout, suppress_origin=True)
        except (OSError, websocket.WebSocketException) as e:
            raise BrowserError("cannot connect to %s: %s" % (ws_url, e))
        self.timeout = timeout
        self.next_id = 0
        self.console = []  # the page's console lines and uncaught exceptions, for diagnostics

    def call(self, method, params=None, timeout=None):
        """The result of one protocol command; an error answer raises BrowserError."""
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
                error = message.get("error")
                if error:  # DevTools: {code, message}; BiDi: a name, and the message beside it
                    raise BrowserError("%s: %s" % (method, error.get("message") if isinstance(error, dict)
                                                   else "%s: %s" % (error, message.get("message"))))
                return message.get("result", {})
            if "method" in message:
                self._event(message["method"], message.get("params", {}))
                del self.console[:-20]

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

    def _event(self, method, params):
        pass

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

    def close(self):
        self.ws.close(timeout=1)


def _die_with_parent():
    # In the child before the browser starts: killed if the process that started it ends without
    # stopping it (killed at a harness's time limit), since its own group is out of reach then.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


class Browser:
    """A headless browser process with a temporary profile, listening on a free port. Each
    browser (chromium.py, firefox.py) gives its command line, the line it says it listens with,
    its Debian package, and its page()."""

    name = package = None
    listening = None  # a regular expression of its stderr whose group 1 is its port

    def __init__(self, executable, start_timeout=60):
        self.executable = shutil.which(executable) or executable
        self.start_timeout = start_timeout
        self.process = None
        self.profile = None
        self.port = None

    def _arguments(self):
        """The command line (the profile's folder is self.profile) and the environment."""
        raise NotImplementedError

    def __enter__(self):
        self.profile = tempfile.mkdtemp(prefix="stackrise-%s-" % self.name)
        self.log = open(os.path.join(self.profile, "stderr.txt"), "w+")
        args, env = self._arguments()
        try:
            self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=self.log,
                                            stderr=self.log, env=env, start_new_session=True,
                                            preexec_fn=_die_with_parent)
        except OSError as e:
            self._cleanup()
            raise BrowserError("cannot start %s: %s (apt-get install %s)" % (self.executable, e, self.package))
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
            m = re.search(self.listening, self.log.read())
            if m:
                return int(m.group(1))
            if self.process.poll() is not None:
                raise BrowserError("%s ended with status %d before listening:\n%s"
                                   % (self.name, self.process.returncode, self.stderr_tail()))
            time.sleep(0.05)
        raise BrowserError("%s did not listen within %d s:\n%s" % (self.name, self.start_timeout, self.stderr_tail()))

    def stderr_tail(self, lines=15):
        self.log.seek(0)
        kept = [l for l in self.log.read().splitlines() if "dbus" not in l]
        return "\n".join(kept[-lines:])

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
