#!/usr/bin/env python3
"""The web build against a native build of the same sources, end to end.

Each case runs the native program and the web runner (node stackrise.js) with the same
environment (a script, a seed, a planted fault) and compares what they leave: the exit status,
every line of the call trace (but the Init line's build identifier), the diagnostic line (but
the fault's place, which names a different module), and the pixels of the captured picture;
where there is a picture, the picture and the movie must also be the same files, byte for byte
(the encoders are Lumen's own in every build).
The group `binding` checks the web runner's loading on its own: it runs from another folder, its
export list holds the 132 names, a damaged list is refused (a missing list or name: web_e2e.cpp).

    web_vs_native.py GROUP --node NODE --web stackrise.js --native stackrise --source SRC

GROUP: demo, scripts, faults, binding. Prints one line per case; exit status 1 if any failed.
"""
import argparse
import glob
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

BUILD_ID = re.compile(r" build=0x[0-9A-Fa-f]+")
PLACE = re.compile(r" at (0x[0-9a-f]+( \([^)]*\))?|an unknown place): ")

# A drag that raises one tower, then FRAME's command.
DRAG = "0 seed 5\n1 move 100 100\n2 press left\n3 move 400 100\n4 release left\n"


class Result:
    def __init__(self, status, err, trace):
        self.status = status
        self.err = err
        self.trace = trace


def run(command, env_extra, work, name, picture=False):
    """Runs `command` with a minimal environment plus `env_extra`, a trace and maybe a picture
    and a movie."""
    trace = os.path.join(work, name + ".trace")
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": work}
    env.update(env_extra)
    env["LUMEN_TRACE"] = trace
    if picture:
        env["LUMEN_CAPTURE"] = os.path.join(work, name + ".png")
        env["LUMEN_MOVIE"] = os.path.join(work, name + ".gif")
    done = subprocess.run(command, env=env, cwd=work, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=900)
    lines = []
    if os.path.exists(trace):
        with open(trace, encoding="utf-8", errors="replace") as f:
            lines = [BUILD_ID.sub("", line.rstrip("\n")) for line in f]
    err = PLACE.sub(" at PLACE: ", done.stderr.decode("utf-8", "replace"))
    return Result(done.returncode, err, lines)


def png_pixels(path):
    """The pixels of an 8-bit RGB or RGBA PNG as RGBA bytes, with its width and height."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError(path + ": not a PNG")
    at, idat, width, height, kind = 8, b"", 0, 0, 0
    while at < len(data):
        (length,) = struct.unpack(">I", data[at:at + 4])
        tag = data[at + 4:at + 8]
        body = data[at + 8:at + 8 + length]
        if tag == b"IHDR":
            width, height, depth, kind = struct.unpack(">IIBB", body[:10])
            if depth != 8 or kind not in (2, 6) or body[12] != 0:
                raise ValueError(path + ": not an 8-bit RGB(A) PNG without interlace")
        elif tag == b"IDAT":
            idat += body
        at += 12 + length
    raw = zlib.decompress(idat)
    bpp = 4 if kind == 6 else 3
    stride = width * bpp
    rows, prev, pos = [], bytearray(stride), 0
    for _ in range(height):
        kind_of_filter = raw[pos]
        row = bytearray(raw[pos + 1:pos + 1 + stride])
        pos += 1 + stride
        for i in range(stride):
            left = row[i - bpp] if i >= bpp else 0
            up = prev[i]
            corner = prev[i - bpp] if i >= bpp else 0
            if kind_of_filter == 1:
                row[i] = (row[i] + left) & 255
            elif kind_of_filter == 2:
                row[i] = (row[i] + up) & 255
            elif kind_of_filter == 3:
                row[i] = (row[i] + ((left + up) >> 1)) & 255
            elif kind_of_filter == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                pred = left if pa <= pb and pa <= pc else (up if pb <= pc else corner)
                row[i] = (row[i] + pred) & 255
        rows.append(bytes(row))
        prev = row
    pixels = b"".join(rows)
    if bpp == 3:
        pixels = b"".join(pixels[i:i + 3] + b"\xff" for i in range(0, len(pixels), 3))
    return width, height, pixels


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return "line %d: native %r, web %r" % (i + 1, x, y)
    return "native has %d lines, web %d" % (len(a), len(b))


def compare(name, native, web, expect_trace=None):
    """Problems between the native and the web result; `expect_trace` maps the native trace to
    the one the web build gives (where the web differs on purpose)."""
    problems = []
    if native.status != web.status:
        problems.append("status: native %d, web %d" % (native.status, web.status))
    if native.err != web.err:
        problems.append("stderr: native %r, web %r" % (native.err, web.err))
    wanted = expect_trace(native.trace) if expect_trace else native.trace
    if not native.trace:
        problems.append("no native trace")
    if wanted != web.trace:
        problems.append("trace: " + first_difference(wanted, web.trace))
    return problems


def write(work, name, text):
    path = os.path.join(work, name)
    with open(path, "w") as f:
        f.write(text)
    return path


def with_raise_after_crash(trace):
    """On the web the write to address 0 succeeds: Lumen raises 0xC0000005 itself, with its line."""
    out = []
    for line in trace:
        out.append(line)
        if line == "crash":
            out.append("raise 3221225477 null")
    return out


def without_unwinding_after_overflow(trace):
    """On the web the stack running out stops the module: the runner hands the fault to the
    program at the top without unwinding, so the objects that unwinding releases on Linux (the
    FreeMem lines between `overflow` and the error record) stay live until the end."""
    out, kept, i = [], 0, 0
    while i < len(trace) and trace[i] != "overflow":
        out.append(trace[i])
        i += 1
    out.append("overflow")
    i += 1
    while i < len(trace) and trace[i].startswith("FreeMem "):
        kept += 1
        i += 1
    for line in trace[i:]:
        match = re.fullmatch(r"Free live=(\d+)", line)
        out.append("Free live=%d" % (int(match.group(1)) + kept) if match else line)
    return out


def group_cases(group, source, work):
    """(name, environment, picture, expected web trace from the native one) of each case."""
    demo = os.path.join(source, "lumen", "demo.script")
    if group == "demo":
        return [("demo", {"LUMEN_HEADLESS": "1"}, True, None)]
    if group == "scripts":
        cases = [(os.path.basename(s), {"LUMEN_SCRIPT": s}, False, None)
                 for s in sorted(glob.glob(os.path.join(source, "tests", "web", "scripts", "*.script")))]
        cases.append(("demo.script seed 7", {"LUMEN_SCRIPT": demo, "LUMEN_SEED": "7"}, True, None))
        cases.append(("demo.script seed 0xFFFFFFFFFFFFFFFF",
                      {"LUMEN_SCRIPT": demo, "LUMEN_SEED": "0xFFFFFFFFFFFFFFFF"}, False, None))
        return cases
    if group == "faults":
        planted = ["Act:5:1234:planted message", "AllocMem:3:1003", "AllocMem/skip:1:77",
                   "Rnd:1:bad_alloc", "RndF:2:exception:boom", "DrawRect:3:0xC0000094",
                   "Init:1:1002:bad setting", "Free:1:1006:late", "Mouse:4:0xC0000005",
                   "MouseX:2:3000"]
        cases = [("LUMEN_FAULT=" + p, {"LUMEN_SCRIPT": demo, "LUMEN_FAULT": p}, False, None) for p in planted]
        scripts = {
            "fault with a message": DRAG + "30 fault 4321 a message # kept\n",
            "fault of the processor's kind": DRAG + "30 fault 0xC0000094\n",
            "NaN drag (invalid comparison)": "0 seed 5\n1 move nan 100\n2 press left\n4 release left\n",
            "inf - inf drag (invalid subtraction)":
                "0 seed 5\n1 move inf 100\n2 press left\n3 move inf 200\n4 release left\n",
            "right click at NaN on a standing tower":
                DRAG + "400 move nan 850\n401 press right\n402 release right\n",
            "tiny and huge coordinates":
                "0 seed 9\n1 move 1e-310 5e-324\n2 press left\n3 move 1e308 -0\n4 release left\n"
                "5 move -1e308 1e-300\n6 press right\n7 release right\n500 quit\n",
            "huge integral coordinates":
                "0 seed 1\n1 move 123456789012345683968 -174337452651840569344\n1 press left\n"
                "2 release left\n3 move 9007199254740993 1e22\n5 press right\n6 release right\n40 quit\n",
            "script error": "0 seed 5\n1 jump\n",
            "empty script": "",
        }
        for name, text in scripts.items():
            path = write(work, re.sub(r"\W+", "_", name) + ".script", text)
            cases.append((name, {"LUMEN_SCRIPT": path}, False, None))
        cases.append(("bad seed", {"LUMEN_SCRIPT": demo, "LUMEN_SEED": "zz"}, False, None))
        cases.append(("crash", {"LUMEN_SCRIPT": write(work, "crash.script", DRAG + "30 crash\n")},
                      False, with_raise_after_crash))
        cases.append(("overflow", {"LUMEN_SCRIPT": write(work, "overflow.script", DRAG + "30 overflow\n")},
                      False, without_unwinding_after_overflow))
        return cases
    raise SystemExit("unknown group " + group)


def check_binding(args, work):
    """The web runner's library: found beside its script from any folder, all 132 names listed,
    refused when damaged."""
    failures = 0
    bin_dir = os.path.dirname(os.path.abspath(args.web))
    copy = os.path.join(work, "bin")
    shutil.copytree(bin_dir, copy)
    js = os.path.join(copy, os.path.basename(args.web))
    lmd = os.path.join(copy, "Data", "Lumen.lmd")
    with open(lmd) as f:
        original = f.read()
    names = original.splitlines()[1:]

    def expect(label, pattern, status=1, env=None, cwd=work):
        nonlocal failures
        done = subprocess.run([args.node, js], env=env or {"PATH": os.environ.get("PATH", ""),
                                                            "LUMEN_HEADLESS": "1", "LUMEN_SCRIPT": empty},
                              cwd=cwd, capture_output=True, timeout=300)
        err = done.stderr.decode("utf-8", "replace")
        ok = done.returncode == status and re.fullmatch(pattern, err, re.S) is not None
        print(("ok   " if ok else "FAIL ") + label + ("" if ok else ": status %d, stderr %r" % (done.returncode, err)))
        failures += 0 if ok else 1

    empty = write(work, "empty.script", "")
    if len(names) != 132:
        print("FAIL Data/Lumen.lmd lists %d names, not 132" % len(names))
        failures += 1
    other = os.path.join(work, "elsewhere")
    os.mkdir(other)
    expect("runs from another folder", "", status=0, cwd=other)
    with open(lmd, "w") as f:
        f.write("\x7fELF damaged\n" + "\n".join(names) + "\n")
    expect("a damaged library is fault 3001",
           r"Stackrise: fault 0xBB9 \(3001\) at [^:]*: cannot load Data/Lumen.lmd \(.*Lumen.lmd: not a Lumen export list\)\n")
    return failures


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("group")
    parser.add_argument("--node", required=True)
    parser.add_argument("--web", required=True, help="the web runner, stackrise.js")
    parser.add_argument("--native", required=True, help="the native stackrise of the same sources")
    parser.add_argument("--source", required=True)
    args = parser.parse_args()
    args.web, args.native, args.source = (os.path.abspath(p) for p in (args.web, args.native, args.source))
    work = tempfile.mkdtemp(prefix="stackrise-web-")
    try:
        if args.group == "binding":
            failures = check_binding(args, work)
        else:
            failures = 0
            for i, (name, env, picture, expect_trace) in enumerate(group_cases(args.group, args.source, work)):
                native = run([args.native], env, work, "native%d" % i, picture)
                web = run([args.node, args.web], env, work, "web%d" % i, picture)
                problems = compare(name, native, web, expect_trace)
                if picture:
                    a = png_pixels(os.path.join(work, "native%d.png" % i))
                    b = png_pixels(os.path.join(work, "web%d.png" % i))
                    if a != b:
                        problems.append("picture: the pixels differ")
                    for ext, what in ((".png", "picture"), (".gif", "movie")):
                        files = [os.path.join(work, side + "%d" % i + ext) for side in ("native", "web")]
                        if not all(os.path.exists(f) for f in files):
                            problems.append(what + ": not written")
                        elif read_bytes(files[0]) != read_bytes(files[1]):
                            problems.append(what + ": the files differ")
                print(("ok   " if not problems else "FAIL ") + name +
                      " (status %d, %d trace lines)" % (web.status, len(web.trace)))
                for p in problems:
                    print("     " + p)
                failures += 1 if problems else 0
        print("%s: %d failed" % (args.group, failures))
        return 1 if failures else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
