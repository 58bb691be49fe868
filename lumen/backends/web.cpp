// The web backend: Lumen's window on a browser page, the web build's page in build-web/site/
// (features: backends/backend.h).
//
// Provides: the page's <canvas id="lumen"> (made if the page has none), its backing store the
// canvas's 1600 x 900 px written as they are (the same pixels as a native capture) and scaled by
// CSS without smoothing into its area (the canvas's parent element). Mouse, pen and touch come
// as pointer events: the primary button (a mouse's left, a pen's contact) is the left button,
// the secondary (a mouse's right, a pen's barrel button) the right one. A finger that moves is
// the left button from where it touched; one held still for kHoldMs is a right click there, as
// is a second finger. The line under the canvas says how to play, in the words of the pointer at
// hand (a finger's where the page's main pointer is coarse, until another kind is used). A
// "Fullscreen" button beside it puts the area in fullscreen; Escape leaves it, as the browser does.
// Pacing: displayFrame() pauses the program (asyncify: the module's stack is put aside and the
// browser runs) until the browser's next animation frame, so the program runs at 60 frames a
// second on any display rate; each frame is shown at the animation frame after it.
// Limits: one page, one canvas at a time; touch has no hover. After the run ends the layout
// stays as it was and the page's listeners are gone (lumen_web_close, or Module.lumenWeb.detach()
// from the page when the run ended without closing). A hidden tab gets no animation frames: the
// program waits until the tab is shown.
// Depends on: emscripten (EM_JS), a browser page, and -sASYNCIFY with lumen_web_next_frame
// among the imports that may pause (cmake/web_page.cmake).
#include <emscripten.h>

#include <cstdint>
#include <memory>

#include "backends/backend.h"
#include "pixels/canvas.h"
#include "pixels/icon.h"
#include "pixels/letterbox.h"

// Opens the page's side: the canvas, title, icon (an .ico image of `iconSize` bytes, none when
// 0), the text line and button, and the event listeners. 0 when there is no page.
EM_JS(int, lumen_web_open,
      (const char* title, const uint8_t* icon, int iconSize, int width, int height), {
    if (typeof document == "undefined" || typeof requestAnimationFrame == "undefined") return 0;
    var canvas = document.getElementById("lumen");
    if (!canvas) {
        canvas = document.createElement("canvas");
        canvas.id = "lumen";
        document.body.appendChild(canvas);
    }
    canvas.width = width;
    canvas.height = height;
    var ctx = canvas.getContext("2d");
    if (!ctx) return 0;
    var area = canvas.parentElement;
    canvas.style.position = "absolute";
    canvas.style.imageRendering = "pixelated";
    area.style.touchAction = "none";
    document.title = UTF8ToString(title);
    if (iconSize > 0) {
        var text = "";
        for (var i = 0; i < iconSize; ++i) text += String.fromCharCode(HEAPU8[icon + i]);
        var link = document.querySelector("link[rel~=icon]") || document.createElement("link");
        link.rel = "icon";
        link.type = "image/x-icon";
        link.href = "data:image/x-icon;base64," + btoa(text);
        document.head.appendChild(link);
    }
    var stop = typeof AbortController == "function" ? new AbortController() : null;
    var listen = function(target, type, f) {
        target.addEventListener(type, f, stop ? { signal: stop.signal } : false);
    };
    var web = { canvas: canvas, ctx: ctx, area: area, events: [], open: true, place: "" };
    var hold = null;  // a first finger not yet moved: { id, x, y, timer }
    var full = document.getElementById("lumen-fullscreen");
    web.detach = function() {
        web.open = false;
        if (hold) clearTimeout(hold.timer);
        hold = null;
        if (stop) stop.abort();
        if (full) full.onclick = null;
    };
    Module.lumenWeb = web;
    // How to play, in the words of each kind of pointer.
    var words = {
        mouse: "Drag with the left button to raise a tower; right click a tower to tip it over. " +
            "Fullscreen: the button. Escape ends the run.",
        touch: "Drag a finger to raise a tower; hold a finger on a tower (or tap with a second " +
            "finger) to tip it over. Fullscreen: the button."
    };
    var line = document.getElementById("lumen-line");
    var spoken = "";
    var speak = function(kind) {
        if (line && kind != spoken) line.textContent = words[kind];
        spoken = kind;
    };
    var coarse = typeof matchMedia == "function" && matchMedia("(pointer: coarse)").matches;
    speak(coarse ? "touch" : "mouse");
    if (full && area.requestFullscreen) {
        full.onclick = function() {
            if (document.fullscreenElement) document.exitFullscreen();
            else area.requestFullscreen().catch(function() {});
        };
    }
    var held = {};
    var kHoldMs = 500, kSlop = 10;  // a long press: a finger held this long within this many CSS px
    // A first finger: held still it becomes a right click, moved the left button from where it
    // touched, lifted at once a left click; false when it is done with.
    var finger = function(e, x, y) {
        if (e.type == "pointerdown") {
            if (hold) clearTimeout(hold.timer);
            hold = { id: e.pointerId, x: x, y: y };
            hold.timer = setTimeout(function() {
                if (!web.open || !hold) return;
                web.events.push(hold.x, hold.y, 1, 1, hold.x, hold.y, 1, 0);
                hold = null;
                held[e.pointerId] = 4;  // spent: its moves and lift are nothing
            }, kHoldMs);
            if (area.setPointerCapture) area.setPointerCapture(e.pointerId);
            return true;
        }
        if (held[e.pointerId] == 4) {
            if (e.type != "pointermove") delete held[e.pointerId];
            return true;
        }
        if (!hold || hold.id != e.pointerId) return false;
        var far = Math.abs(x - hold.x) > kSlop || Math.abs(y - hold.y) > kSlop;
        if (e.type == "pointermove" && !far) return true;
        clearTimeout(hold.timer);
        var moved = e.type == "pointermove";
        if (e.type != "pointercancel") {
            web.events.push(hold.x, hold.y, 0, 1);
            held[e.pointerId] = 1;
        }
        hold = null;
        // A frame's pointer is where its last event left it: the press is where the finger
        // touched only if the moves wait for the next frame.
        web.settle = moved;
        return moved;
    };
    var note = function(e) {
        if (!web.open) return;
        var r = area.getBoundingClientRect();
        var x = e.clientX - r.left, y = e.clientY - r.top;
        if (e.type == "pointerdown") speak(e.pointerType == "touch" ? "touch" : "mouse");
        if (e.pointerType == "touch") {
            if (e.isPrimary && (finger(e, x, y) || (web.settle && e.type == "pointermove"))) {
                e.preventDefault();
                return;
            }
            // A second finger while the first is still: the two are one tap of the second.
            if (!e.isPrimary && e.type == "pointerdown" && hold) {
                clearTimeout(hold.timer);
                held[hold.id] = 4;
                hold = null;
            }
        }
        var was = held[e.pointerId] || 0;
        if (e.type == "pointercancel") {
            for (var c = 0; c < 2; ++c) if (was & (1 << c)) web.events.push(x, y, c, 0);
            delete held[e.pointerId];
            return;
        }
        var b = e.button == 0 ? 0 : e.button == 2 ? 1 : -1;
        if (b == 0 && e.pointerType != "mouse" && !e.isPrimary) b = 1;
        if (b < 0) { web.events.push(x, y, -1, 0); return; }
        var mask = b == 0 ? 1 : 2;
        var down = e.type == "pointerdown" || (e.type == "pointermove" && (e.buttons & mask) != 0);
        if (e.pointerType == "touch") down = e.type == "pointerdown";
        held[e.pointerId] = down ? was | (1 << b) : was & ~(1 << b);
        web.events.push(x, y, b, down ? 1 : 0);
        if (down && area.setPointerCapture) area.setPointerCapture(e.pointerId);
        e.preventDefault();
    };
    listen(area, "pointerdown", note);
    listen(area, "pointermove", note);
    listen(area, "pointerup", note);
    listen(area, "pointercancel", note);
    listen(area, "contextmenu", function(e) { e.preventDefault(); });
    listen(window, "keydown", function(e) {
        if (!web.open) return;
        if (e.key == "F12" && !e.repeat) {
            web.pictureAsked = true;  // taken by the next poll; the download is the Session's
            e.preventDefault();
            return;
        }
        if (e.key != "Escape" || document.fullscreenElement) return;
        Module.lumenCloseRequested = true;
    });
    return 1;
});

// The area's size in CSS px and the device pixel ratio, into out[0..2].
EM_JS(void, lumen_web_area, (double* out), {
    var web = Module.lumenWeb;
    HEAPF64[out >> 3] = web.area.clientWidth;
    HEAPF64[(out >> 3) + 1] = web.area.clientHeight;
    HEAPF64[(out >> 3) + 2] = window.devicePixelRatio || 1;
});

// Places the canvas in its area: CSS px.
EM_JS(void, lumen_web_place, (double x, double y, double w, double h), {
    var web = Module.lumenWeb;
    var place = x + "," + y + "," + w + "," + h;
    if (place == web.place) return;
    web.place = place;
    var s = web.canvas.style;
    s.left = x + "px";
    s.top = y + "px";
    s.width = w + "px";
    s.height = h + "px";
});

// Writes w x h px of RGBA bytes at `rgba` into the canvas at (x, y).
EM_JS(void, lumen_web_upload, (const uint8_t* rgba, int x, int y, int w, int h), {
    var bytes = new Uint8ClampedArray(HEAPU8.buffer, rgba, w * h * 4);
    Module.lumenWeb.ctx.putImageData(new ImageData(bytes, w, h), x, y);
});

// Moves up to `max` pointer events into out (x, y in CSS px of the area, button or -1 for a
// move, down 0/1: four doubles each); the number moved. Counts the Act that polls.
EM_JS(int, lumen_web_take_events, (double* out, int max), {
    var web = Module.lumenWeb;
    Module.lumenFrames = (Module.lumenFrames || 0) + 1;
    web.settle = false;
    var n = Math.min(max, web.events.length / 4);
    for (var i = 0; i < n * 4; ++i) HEAPF64[(out >> 3) + i] = web.events[i];
    web.events.splice(0, n * 4);
    return n;
});

EM_JS(int, lumen_web_close_requested, (), { return Module.lumenCloseRequested ? 1 : 0; });

// Whether F12 was pressed since the last call.
EM_JS(int, lumen_web_picture_asked, (), {
    var asked = Module.lumenWeb.pictureAsked;
    Module.lumenWeb.pictureAsked = false;
    return asked ? 1 : 0;
});

EM_JS(void, lumen_web_close, (), {
    if (Module.lumenWeb) Module.lumenWeb.detach();
});

// Pauses the module until the browser's next animation frame; its time, ms. An error out of the
// program after it resumes (its end, a fault the platform did not catch) goes to
// Module.onRunError when the page has one.
EM_JS(double, lumen_web_next_frame, (), {
    return Asyncify.handleSleep(function(wakeUp) {
        requestAnimationFrame(function(time) {
            try {
                wakeUp(time);
            } catch (e) {
                if (!Module.onRunError) throw e;
                Module.onRunError(e);
            }
        });
    });
});

namespace lumen {

namespace {

constexpr int kCanvasW = Canvas::kWidth;   // canvas px
constexpr int kCanvasH = Canvas::kHeight;  // canvas px
constexpr int kEventBatch = 64;            // pointer events taken from the page at a time

// 0xAARRGGBB to the bytes R, G, B, A (a little-endian uint32 0xAABBGGRR), opaque as shown.
uint32_t rgbaBytes(uint32_t argb) {
    return ((argb >> 16) & 0xFFu) | (argb & 0xFF00u) | ((argb & 0xFFu) << 16) | 0xFF000000u;
}

// The backend's whole state; one instance (webPage) serves the table.
struct WebPage {
    InputQueue input;             // pointer and button events not yet polled
    // One box of the frame as RGBA bytes, for the page: a canvas's worth, not cleared (a
    // cleared one cost the first frame a pass over 1.4 million pixels).
    std::unique_ptr<uint32_t[]> rgba;
    PageArea area{};              // the area as last placed

    bool open(const char* title, WindowIcon icon) {
        const uint8_t* ico = icon.file != nullptr ? icon.file->data : nullptr;
        const int icoSize = icon.file != nullptr ? static_cast<int>(icon.file->size) : 0;
        if (!lumen_web_open(title, ico, icoSize, kCanvasW, kCanvasH)) return false;
        rgba.reset(new uint32_t[static_cast<std::size_t>(kCanvasW) * kCanvasH]);
        layout();
        return true;
    }

    void present(const uint32_t* pixels, int width, int height, const CanvasRegion& changed) {
        if (width != kCanvasW || height != kCanvasH) return;
        for (int i = 0; i < changed.count; ++i) {
            const CanvasRect& c = changed.boxes[i];
            const int w = c.x1 - c.x0;
            uint32_t* out = rgba.get();
            for (int y = c.y0; y < c.y1; ++y) {
                const uint32_t* row = pixels + static_cast<std::size_t>(y) * kCanvasW + c.x0;
                for (int x = 0; x < w; ++x) *out++ = rgbaBytes(row[x]);
            }
            const auto* bytes = reinterpret_cast<const uint8_t*>(rgba.get());
            lumen_web_upload(bytes, c.x0, c.y0, w, c.y1 - c.y0);
        }
    }

    bool poll(InputState& state) {
        layout();
        double events[kEventBatch * 4];
        for (int n = kEventBatch; n == kEventBatch;) {
            n = lumen_web_take_events(events, kEventBatch);
            for (int i = 0; i < n; ++i) {
                const double* e = events + i * 4;
                double cx = 0.0;
                double cy = 0.0;
                pageToCanvas(area, e[0], e[1], cx, cy);
                if (e[2] < 0.0) {
                    input.pointer(cx, cy);
                } else {
                    input.button(static_cast<int>(e[2]), e[3] != 0.0, cx, cy);
                }
            }
        }
        if (lumen_web_picture_asked() != 0) input.askPicture();
        input.take(state);
        return lumen_web_close_requested() != 0;
    }

    void close() {
        lumen_web_close();
        *this = WebPage{};
    }

private:
    // Places the canvas in its area as the area is now.
    void layout() {
        double now[3];
        lumen_web_area(now);
        area = pageArea(now[0], now[1], now[2]);
        const PageBox box = pageBox(area);
        lumen_web_place(box.x, box.y, box.w, box.h);
    }
};

WebPage webPage;

// The next animation frame's time, ms, the module paused until then.
double nextAnimationFrame() { return lumen_web_next_frame(); }

constexpr Backend kBackend = backendOf<webPage>("web", nextAnimationFrame);

}  // namespace

const Backend& webBackend() { return kBackend; }

}  // namespace lumen
