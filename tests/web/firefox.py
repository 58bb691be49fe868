"""Debian's Firefox ESR, headless, driven by WebDriver BiDi over its remote agent (the page's
interface is browser.py's Page, as Chromium's)."""
import json
import os

from browser import Browser, BrowserError, Page

# The profile's user.js: no background service reaches out or opens a page of its own (updates,
# telemetry and health reports, safe browsing lists, captive portal and connectivity checks,
# remote settings and experiments, add-on and plugin updates, studies, first-run and what's-new
# pages, search and region look-ups, speculative connections), and nothing is restored from a
# crash. The remote settings server holds only when the process has MOZ_REMOTE_SETTINGS_DEVTOOLS=1.
PREFS = {
    "app.update.auto": False, "app.update.checkInstallTime": False, "app.update.disabledForTesting": True,
    "app.normandy.enabled": False, "app.normandy.api_url": "", "app.shield.optoutstudies.enabled": False,
    "datareporting.policy.dataSubmissionEnabled": False, "datareporting.healthreport.uploadEnabled": False,
    "toolkit.telemetry.enabled": False, "toolkit.telemetry.unified": False, "toolkit.telemetry.server": "",
    "toolkit.telemetry.archive.enabled": False, "browser.ping-centre.telemetry": False,
    "browser.safebrowsing.malware.enabled": False, "browser.safebrowsing.phishing.enabled": False,
    "browser.safebrowsing.downloads.enabled": False, "browser.safebrowsing.blockedURIs.enabled": False,
    "browser.safebrowsing.update.enabled": False, "browser.safebrowsing.provider.google4.updateURL": "",
    "browser.safebrowsing.provider.mozilla.updateURL": "",
    "network.captive-portal-service.enabled": False, "captivedetect.canonicalURL": "",
    "network.connectivity-service.enabled": False, "network.trr.mode": 5,
    "services.settings.server": "data:,#remote-settings-off/v1",
    "extensions.update.enabled": False, "extensions.getAddons.cache.enabled": False,
    "extensions.blocklist.enabled": False, "extensions.systemAddon.update.enabled": False,
    "media.gmp-manager.updateEnabled": False, "media.gmp-gmpopenh264.autoupdate": False,
    "browser.shell.checkDefaultBrowser": False, "browser.startup.page": 0,
    "browser.startup.homepage": "about:blank", "browser.startup.homepage_override.mstone": "ignore",
    "startup.homepage_welcome_url": "about:blank", "startup.homepage_welcome_url.additional": "",
    "browser.aboutwelcome.enabled": False, "browser.newtabpage.enabled": False,
    "browser.newtabpage.activity-stream.feeds.system.topsites": False, "browser.topsites.contile.enabled": False,
    "trailhead.firstrun.didSeeAboutWelcome": True, "browser.uitour.enabled": False,
    "browser.search.update": False, "browser.region.network.url": "", "browser.region.update.enabled": False,
    "geo.provider.network.url": "", "browser.discovery.enabled": False,
    "network.dns.disablePrefetch": True, "network.prefetch-next": False, "network.http.speculative-parallel-limit": 0,
    "browser.sessionstore.resume_from_crash": False, "toolkit.startup.max_resumed_crashes": -1,
    "browser.tabs.warnOnClose": False, "dom.disable_beforeunload": True,
    "messaging-system.rsexperimentloader.enabled": False,
}
MOUSE_BUTTONS = {"left": 0, "middle": 1, "right": 2}  # Chromium's names as BiDi's numbers


def _value(remote):
    """A BiDi remote value as JSON would give it (undefined is None; what JSON has no form for,
    a function or a node, is an empty dict)."""
    kind, value = remote.get("type"), remote.get("value")
    if kind in ("array", "set"):
        return [_value(v) for v in value]
    if kind in ("object", "map"):
        return {k if isinstance(k, str) else str(_value(k)): _value(v) for k, v in value}
    if kind == "number":
        return float(value) if isinstance(value, str) else value  # NaN, -0, Infinity, -Infinity
    if kind == "bigint":
        return int(value)
    if kind in ("string", "boolean", "date", "regexp"):
        return value
    return None if kind in ("undefined", "null") else {}


class FirefoxPage(Page):
    """The browser's first top-level context over a WebDriver BiDi session."""

    WHOLE_CSS_PX = True  # a place between them is rounded to the nearest

    def __init__(self, ws_url, timeout=60):
        super().__init__(ws_url, timeout)
        self.call("session.new", {"capabilities": {}})
        contexts = self.call("browsingContext.getTree", {"maxDepth": 0})["contexts"]
        if not contexts:
            raise BrowserError("firefox has no browsing context")
        self.context = contexts[0]["context"]
        self.call("session.subscribe", {"events": ["log.entryAdded"]})

    def _event(self, method, params):
        if method == "log.entryAdded":
            self.console.append(("uncaught: " if params.get("type") == "javascript" else "") + params.get("text", ""))

    def evaluate(self, expression, timeout=None):
        """The value of a JavaScript expression as JSON gives it (a promise is awaited); a
        thrown error fails."""
        result = self.call("script.evaluate", {"expression": expression, "target": {"context": self.context},
                                               "awaitPromise": True, "resultOwnership": "none"}, timeout)
        if result.get("type") == "exception":
            raise BrowserError("%s: %s" % (expression[:60], result["exceptionDetails"].get("text")))
        return _value(result["result"])

    def navigate(self, url):
        """Loads `url`; returns once its document has been parsed."""
        try:
            self.call("browsingContext.navigate", {"context": self.context, "url": url, "wait": "interactive"})
        except BrowserError as e:
            raise BrowserError("cannot load %s: %s" % (url, e))

    def set_viewport(self, width, height, scale):
        """The page's window: width x height CSS px at `scale` device px per CSS px."""
        self.call("browsingContext.setViewport", {"context": self.context, "devicePixelRatio": scale,
                                                  "viewport": {"width": width, "height": height}})

    def add_init_script(self, source):
        """Runs `source` in every document this page loads from now on, before its own scripts."""
        self.call("script.addPreloadScript", {"functionDeclaration": "() => { %s }" % source,
                                              "contexts": [self.context]})

    def _pointer(self, sources):
        """One input.performActions: `sources` is [(id, pointer type, [action, ...])]; the
        sources' actions run side by side, one of each a tick. The pointers' state (where they
        are, what is pressed) lasts from one call to the next."""
        self.call("input.performActions", {"context": self.context, "actions": [
            {"type": "pointer", "id": name, "parameters": {"pointerType": kind}, "actions": actions}
            for name, kind, actions in sources]})

    def mouse(self, kind, x, y, button="none", buttons=0):
        """One mouse event at (x, y) CSS px of the viewport: kind mouseMoved, mousePressed or
        mouseReleased; `button` left or right for a press or release (`buttons`, the buttons
        held after it, follows from them)."""
        actions = [{"type": "pointerMove", "x": x, "y": y}]
        if kind != "mouseMoved":
            actions.append({"type": "pointerDown" if kind == "mousePressed" else "pointerUp",
                            "button": MOUSE_BUTTONS[button]})
        self._pointer([("mouse", "mouse", actions)])

    def touch(self, kind, points):
        """Fingers on the viewport, one per (x, y) of `points` in CSS px (finger i the i-th):
        kind start puts them down there, move moves them there, end lifts them (give all that
        are down)."""
        def actions(x, y):
            move = {"type": "pointerMove", "x": x, "y": y}
            return {"start": [move, {"type": "pointerDown", "button": 0}], "move": [move],
                    "end": [{"type": "pointerUp", "button": 0}]}[kind]
        self._pointer([("finger%d" % i, "touch", actions(x, y)) for i, (x, y) in enumerate(points)])


class Firefox(Browser):
    """Debian's Firefox ESR, headless, its remote agent on a free port, with a temporary profile
    whose background services are off (PREFS)."""

    name, package = "firefox", "firefox-esr"
    listening = r"WebDriver BiDi listening on ws://127\.0\.0\.1:(\d+)"

    def __init__(self, executable="firefox-esr", start_timeout=60):
        super().__init__(executable, start_timeout)

    def _arguments(self):
        with open(os.path.join(self.profile, "user.js"), "w") as f:
            f.writelines("user_pref(%s, %s);\n" % (json.dumps(k), json.dumps(v)) for k, v in PREFS.items())
        args = [self.executable, "--headless", "--remote-debugging-port=0", "--profile", self.profile]
        return args, dict(os.environ, MOZ_REMOTE_SETTINGS_DEVTOOLS="1")

    def page(self):
        """A new BiDi session on the first tab, connected."""
        return FirefoxPage("ws://127.0.0.1:%d/session" % self.port)
