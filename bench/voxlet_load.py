"""The competing load of the voxlet benchmark: what a video call puts on the machine while someone
dictates. A 1920x1080 30 fps `vidlet` encode of ffmpeg's moving test pattern, paced at real time,
plus one process that keeps a core busy.

    with CompetingLoad("build/bin/vidlet") as load:
        ...  # dictate
    print(load.summary())
"""

import os
import subprocess
import threading
import time

WIDTH, HEIGHT, FPS, BITRATE = 1920, 1080, 30, 4000000
BUSY_LOOP = "while True:\n    pass\n"


def cpu_times():
    """(busy, total) jiffies of all cores since boot."""
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    idle = fields[3] + fields[4]  # idle and iowait
    return sum(fields) - idle, sum(fields)


class CompetingLoad:
    def __init__(self, vidlet, warm_up_s=3.0):
        self.vidlet_path = vidlet
        self.warm_up_s = warm_up_s
        self.procs = []
        self.frames = 0
        self.loads = []

    def __enter__(self):
        self.vidlet = subprocess.Popen([self.vidlet_path], stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                       start_new_session=True)
        self.vidlet.stdin.write(f"{WIDTH} {HEIGHT} {FPS} {BITRATE}\n".encode())
        self.vidlet.stdin.flush()
        # -re reads the pattern at its own rate: the encoder gets frames as a camera gives them.
        self.source = subprocess.Popen(
            ["ffmpeg", "-v", "error", "-nostdin", "-re", "-f", "lavfi", "-i",
             f"testsrc2=size={WIDTH}x{HEIGHT}:rate={FPS}", "-f", "rawvideo", "-pix_fmt", "bgra",
             "-"], stdout=self.vidlet.stdin, stderr=subprocess.DEVNULL, start_new_session=True)
        self.vidlet.stdin.close()
        self.busy = subprocess.Popen(["python3", "-c", BUSY_LOOP], start_new_session=True)
        self.procs = [self.source, self.vidlet, self.busy]
        self.reader = threading.Thread(target=self._count_frames, daemon=True)
        self.reader.start()
        time.sleep(self.warm_up_s)
        self.t0, self.frames0, self.cpu0 = time.monotonic(), self.frames, cpu_times()
        return self

    def _count_frames(self):
        """Reads vidlet's packets (4-byte length, type byte, payload) and counts the frames."""
        out = self.vidlet.stdout
        while True:
            head = out.read(5)
            if len(head) < 5:
                return
            length = int.from_bytes(head[:4], "big")
            if head[4] != 1:
                self.frames += 1
            left = length
            while left > 0:
                chunk = out.read(min(left, 1 << 20))
                if not chunk:
                    return
                left -= len(chunk)

    def sample(self):
        """Notes the one-minute load average; call it now and then while the load runs."""
        self.loads.append(os.getloadavg()[0])

    def __exit__(self, *exc):
        self.elapsed = time.monotonic() - self.t0
        self.fps = (self.frames - self.frames0) / self.elapsed
        busy1, total1 = cpu_times()
        self.busy_fraction = (busy1 - self.cpu0[0]) / max(1, total1 - self.cpu0[1])
        self.alive = all(p.poll() is None for p in self.procs)
        self.sample()
        for p in self.procs:
            if p.poll() is None:
                p.terminate()
        for p in self.procs:
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        self.reader.join(5)
        return False

    def summary(self):
        loads = self.loads or [float("nan")]
        ended = "" if self.alive else " (a load process ended early)"
        return (f"1080p30 encode at {self.fps:.1f} fps{ended} + 1 busy process for {self.elapsed:.0f} s: load average "
                f"{min(loads):.2f}-{max(loads):.2f}, cores busy {100 * self.busy_fraction:.0f}%")
