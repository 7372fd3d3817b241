#!/usr/bin/env python3
"""Renders the responsive and accessible HTML of mosaicer-cli in headless Chromium and checks it.

Usage: responsive_check.py MOSAICER_CLI WORK_FOLDER

Exits 0 when every check holds, 1 when one fails, 77 (skipped) when Chromium or cjpeg is missing.
Chromium is driven over DevTools on a pipe (--remote-debugging-pipe: it reads commands on fd 3
and writes replies on fd 4, each a JSON text ended by a NUL byte). The pixels are compared in a
page of the same browser (canvas), which is fast where plain Python would not be.
"""

import base64
import json
import math
import os
import shutil
import subprocess
import sys
import time

SKIP = 77
W, H = 811, 523  # odd sides, so no container width divides the cells evenly
CHUNKS = 64
ALT = 'Harbour at "dusk" & <night>'
BACKGROUND = (255, 0, 255)  # loud; the picture below never comes near it (green >= 64)
VIEWPORT = (2000, 1200)
# (name, container style, viewport width): fixed, the picture's own width, fractional ones.
CONTAINERS = [
    ("320", "width:320px", 2000), ("414", "width:414px", 2000), ("768", "width:768px", 2000),
    ("1024", "width:1024px", 2000), ("W", "width:%dpx" % W, 2000), ("1920", "width:1920px", 2000),
    ("777.5", "width:777.5px", 2000), ("61.8%", "width:61.8%", 1024),
]
FACTORS = [1, 2, 3]


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def make_picture(folder):
    """A smooth but busy picture: waves of a few pixels, so a shifted or missing column shows."""
    rows = bytearray()
    for y in range(H):
        for x in range(W):
            r = 128 + int(100 * math.sin(x / 5.0) * math.cos(y / 9.0))
            g = 64 + ((x * 3 + y * 2) % 160)
            b = 120 + int(90 * math.sin((x + 2 * y) / 13.0))
            rows += bytes((r, g, b))
    ppm = os.path.join(folder, "picture.ppm")
    with open(ppm, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (W, H) + bytes(rows))
    jpg = os.path.join(folder, "harbour.jpg")
    subprocess.run(["cjpeg", "-quality", "95", "-outfile", jpg, ppm], check=True)
    return jpg


class Browser:
    def __init__(self, extra_args, profile):
        to_browser_r, self.to_browser = os.pipe()
        self.from_browser, from_browser_w = os.pipe()

        def wire():
            # Moved out of the way first, so neither lands on the other's place.
            reading, writing = os.dup(to_browser_r), os.dup(from_browser_w)
            os.dup2(reading, 3)
            os.dup2(writing, 4)

        args = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                "--remote-debugging-pipe", "--force-color-profile=srgb", "--no-first-run",
                "--disable-lcd-text", "--window-size=%d,%d" % VIEWPORT,
                "--user-data-dir=" + profile] + extra_args  # a profile of its own, inside the work folder
        # Nothing of the browser's lands outside the work folder.
        env = dict(os.environ, XDG_CONFIG_HOME=profile, XDG_CACHE_HOME=profile, HOME=profile)
        self.process = subprocess.Popen(args, env=env, pass_fds=(3, 4, to_browser_r, from_browser_w), preexec_fn=wire,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self.buffer = b""
        self.next_id = 0
        self.events = []
        target = self.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        self.call("Page.enable", session=True)

    def close(self):
        try:
            self.call("Browser.close")
        except Exception:
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self.to_browser)
        os.close(self.from_browser)

    def read_message(self):
        while b"\0" not in self.buffer:
            block = os.read(self.from_browser, 1 << 20)
            if not block:
                raise RuntimeError("Chromium closed its DevTools pipe")
            self.buffer += block
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method, params=None, session=False):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = self.session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        while True:
            reply = self.read_message()
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError("%s: %s" % (method, reply["error"]))
                return reply["result"]
            self.events.append(reply)

    def open(self, url):
        self.events = []
        self.call("Page.navigate", {"url": url}, session=True)
        deadline = time.time() + 30
        while not any(e.get("method") == "Page.loadEventFired" for e in self.events):
            if time.time() > deadline:
                raise RuntimeError("page did not load: " + url)
            self.events.append(self.read_message())

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression, "awaitPromise": True,
                                                "returnByValue": True}, session=True)
        if "exceptionDetails" in result:
            raise RuntimeError("script failed: " + json.dumps(result["exceptionDetails"]))
        return result["result"].get("value")


def write_page(path, snippet, container, standards, with_images=True):
    if not with_images:
        snippet = snippet.replace(" src=", " data-src=")
    doctype = "<!DOCTYPE html>\n" if standards else ""
    page = (doctype + '<html><head><meta charset="utf-8"></head>'
            '<body style="margin:0;background:rgb(%d,%d,%d)">' % BACKGROUND +
            '<div id="c" style="%s">%s</div></body></html>\n' % (container, snippet))
    with open(path, "w") as f:
        f.write(page)


# Compares a screenshot with the fragments pasted (join's PNG), resized by the same browser to the
# screenshot's size. Returns the figures the checks need.
ANALYSE = r"""
(async () => {
  const load = src => new Promise((ok, bad) => { const i = new Image(); i.onload = () => ok(i); i.onerror = bad; i.src = src; });
  const shot = await load(@SHOT@), ref = await load(@REF@);
  const w = shot.width, h = shot.height;
  const pixels = (image, sw, sh) => {
    const c = document.createElement('canvas'); c.width = sw; c.height = sh;
    const g = c.getContext('2d'); g.imageSmoothingQuality = 'high'; g.drawImage(image, 0, 0, sw, sh);
    return g.getImageData(0, 0, sw, sh).data;
  };
  const a = pixels(shot, w, h), b = pixels(ref, w, h);
  const exact = ref.width === w && ref.height === h;
  let background = 0, firstBackground = null, differing = 0;
  const rows = new Float64Array(h), cols = new Float64Array(w);
  for (let y = 0; y < h; ++y) for (let x = 0; x < w; ++x) {
    const i = 4 * (y * w + x);
    if (a[i] > 200 && a[i + 1] < 40 && a[i + 2] > 200) { ++background; if (!firstBackground) firstBackground = [x, y]; }
    const d = Math.abs(a[i] - b[i]) + Math.abs(a[i + 1] - b[i + 1]) + Math.abs(a[i + 2] - b[i + 2]);
    if (d) ++differing;
    rows[y] += d / w; cols[x] += d / h;
  }
  const median = v => { const s = Array.from(v).sort((p, q) => p - q); return s[s.length >> 1]; };
  const worst = v => { let m = 0, at = 0; v.forEach((d, k) => { if (d > m) { m = d; at = k; } }); return [m, at]; };
  return {w, h, exact, background, firstBackground, differing,
          rowMedian: median(rows), colMedian: median(cols), worstRow: worst(rows), worstCol: worst(cols)};
})()
"""

BOX = "(() => { const r = document.getElementById('c').firstElementChild.getBoundingClientRect();" \
      " return [r.left, r.top, r.width, r.height]; })()"


def data_url(png_bytes):
    return "data:image/png;base64," + base64.b64encode(png_bytes).decode()


def check_render(browser, folder, snippet, reference_png, label, container, viewport_width, factor, emulate):
    problems = []
    for standards in (True, False):
        mode = "standards" if standards else "quirks"
        name = "%s at %s, %s, %s" % (label, factor, "emulated" if emulate else "screen", mode)
        if emulate:
            browser.call("Emulation.setDeviceMetricsOverride", {"width": viewport_width, "height": VIEWPORT[1],
                                                               "deviceScaleFactor": factor, "mobile": False}, session=True)
        else:
            browser.call("Emulation.setDeviceMetricsOverride", {"width": viewport_width, "height": VIEWPORT[1],
                                                               "deviceScaleFactor": 0, "mobile": False}, session=True)
        empty = os.path.join(folder, "empty.html")
        write_page(empty, snippet, container, standards, with_images=False)
        browser.open("file://" + empty)
        before = browser.evaluate(BOX)
        page = os.path.join(folder, "page.html")
        write_page(page, snippet, container, standards)
        browser.open("file://" + page)
        box = browser.evaluate(BOX)
        container_width = browser.evaluate("document.getElementById('c').getBoundingClientRect().width")
        left, top, width, height = box
        if before != box:
            problems.append("%s: the box is %s before the images load and %s after" % (name, before, box))
        expected = min(container_width, W)
        if abs(width - expected) > 0.01:
            problems.append("%s: %.3f px wide, not %.3f" % (name, width, expected))
        if abs(height - width * H / W) > 1:
            problems.append("%s: %.3f px high for %.3f px wide, not %.3f" % (name, height, width, width * H / W))
        # The device pixels inside the box. An emulated ratio lays out and snaps edges in CSS
        # pixels and only then scales up, so there every edge, a plain <img>'s too, sits on the
        # nearest CSS pixel; a real high-density screen snaps to device pixels.
        dpr = factor
        if emulate:
            snap = lambda v: math.floor(v + 0.5)  # half up, as the browser rounds
            x0, y0 = snap(left) * dpr, snap(top) * dpr
            x1, y1 = snap(left + width) * dpr, snap(top + height) * dpr
        else:
            x0, y0 = math.ceil(left * dpr), math.ceil(top * dpr)
            x1, y1 = math.floor((left + width) * dpr), math.floor((top + height) * dpr)
        clip_w, clip_h = x1 - x0, y1 - y0
        shot = browser.call("Page.captureScreenshot", {"format": "png", "clip": {
            "x": x0 / dpr, "y": y0 / dpr, "width": clip_w / dpr, "height": clip_h / dpr, "scale": 1}},
            session=True)["data"]
        stats = browser.evaluate(ANALYSE.replace("@SHOT@", json.dumps("data:image/png;base64," + shot))
                                 .replace("@REF@", json.dumps(data_url(reference_png))))
        if stats["w"] != clip_w or stats["h"] != clip_h:
            problems.append("%s: screenshot %dx%d, not %dx%d" % (name, stats["w"], stats["h"], clip_w, clip_h))
        if stats["background"]:
            problems.append("%s: %d background pixels inside the picture, the first at %s" %
                            (name, stats["background"], stats["firstBackground"]))
        for axis in ("Row", "Col"):
            worst, at = stats["worst" + axis]
            median = stats[axis.lower() + "Median"]
            if worst > 3 * median + 24:
                problems.append("%s: %s %d stands out as a seam (difference %.1f, median %.1f)" %
                                (name, axis.lower(), at, worst, median))
        if stats["exact"] and dpr == 1:
            EXACT.append(name)
            if stats["differing"]:
                problems.append("%s: %d pixels differ from the fragments pasted" % (name, stats["differing"]))
        RESULTS.append((name, width, height, stats["worstRow"][0], stats["worstCol"][0], stats["rowMedian"]))
    return problems


RESULTS = []
EXACT = []  # renders at the picture's own size on a 1x screen, compared pixel for pixel


def check_accessibility(browser, folder, page_html):
    browser.call("Emulation.clearDeviceMetricsOverride", session=True)
    browser.call("Accessibility.enable", session=True)
    browser.open("file://" + page_html)
    nodes = browser.call("Accessibility.getFullAXTree", session=True)["nodes"]
    images = [n for n in nodes if not n.get("ignored") and n.get("role", {}).get("value") in ("image", "img")]
    names = [n.get("name", {}).get("value") for n in images]
    if names != [ALT]:
        return ["the accessibility tree holds images named %s, not exactly one named %r" % (names, ALT)]
    return []


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    cli, folder = sys.argv[1], sys.argv[2]
    for tool in ("chromium", "cjpeg"):
        if not shutil.which(tool):
            print("SKIP: %s is not installed (Debian: %s)" % (tool, "chromium" if tool == "chromium" else
                                                               "libjpeg-turbo-progs"))
            return SKIP
    started = time.time()
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    picture = make_picture(folder)
    snippet_file = os.path.join(folder, "snippet.html")
    index = os.path.join(folder, "index.html")
    subprocess.run([cli, "save", picture, "--chunks", str(CHUNKS), "--seed", "11", "--out",
                    os.path.join(folder, "f"), "--prefix", "f/", "--responsive", "--alt", ALT, "--lazy",
                    "--page", index, "--html", snippet_file], check=True)
    with open(snippet_file) as f:
        lazy_snippet = f.read().strip()
    # The renders load every fragment at once; lazy loading is checked for its box and its tree.
    snippet = lazy_snippet.replace(' loading="lazy" decoding="async"', "")
    joined = os.path.join(folder, "joined.png")
    subprocess.run([cli, "join", snippet_file, "--out", joined], check=True, stdout=subprocess.DEVNULL)
    with open(joined, "rb") as f:
        reference = f.read()

    # The default markup with --alt is one image as well.
    plain_index = os.path.join(folder, "plain.html")
    subprocess.run([cli, "save", picture, "--chunks", str(CHUNKS), "--seed", "12", "--out",
                    os.path.join(folder, "g"), "--prefix", "g/", "--alt", ALT, "--page", plain_index],
                   check=True, stdout=subprocess.DEVNULL)

    problems = []
    emulating = Browser([], os.path.join(folder, "profile-emulating"))
    try:
        problems += check_accessibility(emulating, folder, index)
        problems += check_accessibility(emulating, folder, plain_index)
        for factor in FACTORS:
            for label, container, viewport_width in CONTAINERS:
                problems += check_render(emulating, folder, snippet, reference, label, container, viewport_width,
                                         factor, True)
    finally:
        emulating.close()
    for factor in FACTORS:
        screen = Browser(["--force-device-scale-factor=%d" % factor], os.path.join(folder, "profile-%d" % factor))
        try:
            for label, container, viewport_width in CONTAINERS:
                problems += check_render(screen, folder, snippet, reference, label, container, viewport_width,
                                         factor, False)
        finally:
            screen.close()

    worst_row = max(RESULTS, key=lambda r: r[3])
    worst_col = max(RESULTS, key=lambda r: r[4])
    print("%d renders in %.1f s, %d of them compared pixel for pixel; worst row difference %.1f (%s), "
          "worst column %.1f (%s)" % (len(RESULTS), time.time() - started, len(EXACT), worst_row[3], worst_row[0],
                                      worst_col[4], worst_col[0]))
    for problem in problems:
        print("FAIL: " + problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
