#!/usr/bin/env python3
"""Runs the README's WebCodecs example for real in headless Chromium.

vidlet encodes a clip of plain colours; one frame in it is damaged on the way. A page served on
localhost feeds the packets, at twice their frame rate, to the README's own decoding loop (taken from the README as written)
and reports back how many frames it drew, how many decoder errors it met, and the colour of the
last picture. The check passes when the picture came back after the damage with the input's
colour, every frame before the damage was drawn, and the loop got past the damaged frame.

Usage: webcodecs_check.py VIDLET README [CHROMIUM]
"""
import http.server
import json
import os
import re
import signal
import struct
import subprocess
import sys
import tempfile
import threading

W, H, FPS, FRAMES = 160, 120, 10, 50  # a key frame every 40 frames (4 s)
DAMAGED = 10  # a frame between key frames
FIRST = (200, 60, 40)  # RGB of frames before SWITCH
LAST = (40, 150, 210)  # RGB from SWITCH on
SWITCH = 30


def readme_blocks(readme):
    text = open(readme, encoding="utf-8").read()
    blocks = re.findall(r"```js\n(.*?)```", text, re.S)
    for block in blocks:
        if "new VideoDecoder" in block:
            return block
    sys.exit("the README has no WebCodecs example")


def encode(vidlet):
    frames = bytearray()
    for i in range(FRAMES):
        r, g, b = FIRST if i < SWITCH else LAST
        frames += bytes((b, g, r, 255)) * (W * H)
    header = f"{W} {H} {FPS} 1000000\n".encode()
    out = subprocess.run([vidlet], input=header + bytes(frames), capture_output=True, check=True)
    return out.stdout


def packets(stream):
    at = 0
    while at + 5 <= len(stream):
        (length,) = struct.unpack(">I", stream[at:at + 4])
        yield stream[at + 4], stream[at + 5:at + 5 + length]
        at += 5 + length


def damage(stream):
    """Frame DAMAGED keeps its start code and NAL header; its slice claims to start at
    macroblock 2047, past the end of a 20x15 picture, so decoding it fails."""
    out = bytearray()
    frame = 0
    for kind, payload in packets(stream):
        if kind != 1:
            if frame == DAMAGED:
                if kind != 0:
                    sys.exit("the frame to damage is a key frame")
                payload = payload[:5] + bytes([0x00, 0x10, 0x00, 0x10]) * 8
            frame += 1
        out += struct.pack(">IB", len(payload), kind) + payload
    return bytes(out)


PAGE = """<!doctype html><canvas id="c" width="{W}" height="{H}"></canvas><script type="module">
const W = {W}, H = {H}, FPS = {FPS};
const canvas = document.getElementById('c');
let drawn = 0, errors = 0;
const context = canvas.getContext('2d', {{ willReadFrequently: true }});
const draw = context.drawImage.bind(context);
context.drawImage = (...args) => {{ drawn++; draw(...args); }};
const warn = console.warn.bind(console);
console.warn = (...args) => {{ errors++; warn(...args); }};
async function* readPackets() {{
  const data = new Uint8Array(await (await fetch('/clip.vid')).arrayBuffer());
  const view = new DataView(data.buffer);
  for (let at = 0; at + 5 <= data.length;) {{
    const length = view.getUint32(at);
    yield {{ type: data[at + 4], payload: data.slice(at + 5, at + 5 + length) }};
    at += 5 + length;
    await new Promise((resolve) => setTimeout(resolve, 500 / FPS));  // packets arrive over time
  }}
}}
const packets = readPackets();
let report = {{}};
try {{
{EXAMPLE}
  if (decoder && decoder.state === 'configured') await decoder.flush().catch(() => {{}});
  const [r, g, b] = context.getImageData(W / 2, H / 2, 1, 1).data;
  report = {{ drawn, errors, rgb: [r, g, b] }};
}} catch (e) {{
  report = {{ drawn, errors, exception: String(e) }};
}}
await fetch('/report', {{ method: 'POST', body: JSON.stringify(report) }});
</script>"""


def main():
    vidlet, readme = sys.argv[1], sys.argv[2]
    chromium = sys.argv[3] if len(sys.argv) > 3 else "chromium"
    clip = damage(encode(vidlet))
    page = PAGE.format(W=W, H=H, FPS=FPS, EXAMPLE=readme_blocks(readme))
    reports = []
    done = threading.Event()

    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def do_GET(self):
            body, kind = (clip, "application/octet-stream") if self.path == "/clip.vid" else (
                page.encode(), "text/html")
            self.send_response(200)
            self.send_header("Content-Type", kind)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def do_POST(self):
            reports.append(json.loads(self.rfile.read(int(self.headers["Content-Length"]))))
            self.send_response(204)
            self.end_headers()
            done.set()

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    # The browser's helper processes may still be writing the profile as they go.
    with tempfile.TemporaryDirectory(ignore_cleanup_errors=True) as profile:
        browser = subprocess.Popen(
            [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", f"--user-data-dir={profile}",
             f"http://127.0.0.1:{server.server_port}/"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        try:
            finished = done.wait(60)
        finally:
            os.killpg(browser.pid, signal.SIGKILL)  # the browser and every helper it started
            browser.wait()
    server.shutdown()
    if not finished:
        sys.exit("the page reported nothing within 60 s")
    report = reports[0]
    print(json.dumps(report))
    problems = []
    if "exception" in report:
        problems.append("the example threw: " + report["exception"])
    else:
        if report["errors"] < 1:
            problems.append("the damaged frame raised no decoder error")
        if not DAMAGED <= report["drawn"] < FRAMES:
            problems.append(f"{report['drawn']} frames drawn")
        if any(abs(a - b) > 6 for a, b in zip(report["rgb"], LAST)):
            problems.append(f"last picture {report['rgb']}, sent {list(LAST)}")
    if problems:
        sys.exit("; ".join(problems))


if __name__ == "__main__":
    main()
