#!/usr/bin/env python3
"""Benchmark of the installed voxlet on a private PulseAudio daemon.

Prints one table: probe time, start to "ready", "stop" to "end", end of speech to the "text"
line that holds its last word, and CPU seconds per second of audio and peak memory beside
`pocketsphinx_continuous -infile` on the same audio. With --accuracy, also word error rates per
voice and condition, sentences lost, latencies, flicker and CPU, on an idle machine and under a
competing load (a 1080p30 encode by the vidlet next to voxlet, and a busy process), with the
goals marked (voxlet_accuracy.py); about 20 minutes on two cores, 8 with --quick.

Usage: bench/voxlet-bench.py [path/to/voxlet] [--runs N] [--accuracy [--sentences N] [--quick]]
       bench/voxlet-bench.py [path/to/voxlet] --long [MINUTES]   (one long run; voxlet_long.py)
Needs pulseaudio, pulseaudio-utils, flite, espeak-ng (--accuracy), sox, pocketsphinx and
/usr/bin/time.
"""

import argparse
import json
import os
import re
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

from voxlet_corpus import VOICES

SENTENCES = [
    "please call me back when you get home",
    "we will meet at the station tomorrow morning",
    "open the door and turn on the lights",
    "i would like to order a large pizza",
    "the weather is nice today",
]

HOST_VARS = ["DBUS_SESSION_BUS_ADDRESS", "PULSE_SOURCE", "PULSE_COOKIE", "PULSE_PROP",
             "DISPLAY", "WAYLAND_DISPLAY", "LC_ALL", "LC_MESSAGES", "LANGUAGE"]


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)


class Daemon:
    """A private PulseAudio daemon with a 48 kHz float null sink whose monitor is the default
    source."""

    def __init__(self, root):
        self.root = root
        for sub in ("run/pulse", "home", "config"):
            os.makedirs(os.path.join(root, sub), exist_ok=True)
        self.socket = os.path.join(root, "run/pulse/native")
        script = os.path.join(root, "bench.pa")
        with open(script, "w") as f:
            f.write(f"load-module module-native-protocol-unix auth-anonymous=1 socket={self.socket}\n"
                    "load-module module-null-sink sink_name=vmic format=float32le rate=48000 channels=1\n"
                    "set-default-sink vmic\nset-default-source vmic.monitor\n")
        env = self.env()
        del env["PULSE_SERVER"]
        self.proc = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--system=no", "--exit-idle-time=-1",
             "--disallow-exit", "--use-pid-file=no", "--realtime=no", "--high-priority=no",
             "--disable-shm=yes",
             "--log-target=stderr", "--log-level=error", "-F", script],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            r = subprocess.run(["pactl", "info"], env=self.env(), capture_output=True, text=True)
            if r.returncode == 0 and "Default Source: vmic.monitor" in r.stdout:
                return
            time.sleep(0.02)
        raise RuntimeError("private sound server did not start")

    def env(self):
        env = {k: v for k, v in os.environ.items() if k not in HOST_VARS}
        env.update({
            "PULSE_SERVER": "unix:" + self.socket,
            "PULSE_RUNTIME_PATH": os.path.join(self.root, "run/pulse"),
            "XDG_RUNTIME_DIR": os.path.join(self.root, "run"),
            "XDG_CONFIG_HOME": os.path.join(self.root, "config"),
            "HOME": os.path.join(self.root, "home"),
            "PULSE_SINK": "vmic",
            "LANG": "en_US.UTF-8",
        })
        return env

    def play(self, wav, latency_ms=None):
        latency = [f"--latency-msec={latency_ms}"] if latency_ms else []
        return subprocess.Popen(["paplay", "--device=vmic", *latency, wav], env=self.env())

    def close(self):
        self.proc.terminate()
        self.proc.wait(5)


class Voxlet:
    """voxlet over pipes, with the monotonic arrival time of every event line."""

    def __init__(self, binary, env, args=("--locale", "en-US"), wrapper=()):
        self.start = time.monotonic()
        self.proc = subprocess.Popen(list(wrapper) + [binary] + list(args), env=env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self.events = []  # (time, event)
        self.buf = b""

    def next(self, timeout=20.0):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            ready, _, _ = select.select([self.proc.stdout], [], [], left)
            if not ready:
                return None
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                return None
            now = time.monotonic()
            self.buf += chunk
            self.stamp = now
        line, self.buf = self.buf.split(b"\n", 1)
        e = json.loads(line)
        self.events.append((self.stamp, e))
        return self.stamp, e

    def wait_for(self, kind, timeout=20.0, pred=lambda e: True):
        deadline = time.monotonic() + timeout
        while True:
            r = self.next(max(0.0, deadline - time.monotonic()))
            if r is None:
                raise RuntimeError(f"no {kind} event; got {[e for _, e in self.events][-5:]}")
            if r[1].get("t") == kind and pred(r[1]):
                return r

    def stop(self):
        t = time.monotonic()
        self.proc.stdin.write(b"stop\n")
        self.proc.stdin.flush()
        return t

    def finish(self):
        while self.next(20.0) is not None:
            pass
        err = self.proc.stderr.read()
        self.proc.wait(20)
        return err


def speech_bounds(wav):
    """Start and end (seconds) of the sound in a file, by sox's silence detection."""
    dur = float(run(["soxi", "-D", wav], text=True).stdout)
    lead = run(["sox", wav, "-n", "silence", "1", "0.01", "0.5%", "stat"],
               text=True).stderr
    trail = run(["sox", wav, "-n", "reverse", "silence", "1", "0.01", "0.5%", "stat"],
                text=True).stderr
    length = lambda s: float(re.search(r"Length \(seconds\):\s+([\d.]+)", s).group(1))
    return dur - length(lead), length(trail), dur


def make_audio(d):
    files = {}
    for i, s in enumerate(SENTENCES):
        raw = os.path.join(d, f"s{i}.wav")
        run(["flite", "-voice", "rms", "-t", s, "-o", raw])
        files[i] = raw
    # One sentence, 0.5 s before and 1.5 s after, as the server plays it.
    one = os.path.join(d, "one.wav")
    run(["sox", files[0], "-r", "48000", "-e", "floating-point", "-b", "32", one,
         "pad", "0.5", "1.5"])
    # Every sentence with a 1.5 s pause after each, three times over: about 40 s.
    parts = []
    for rep in range(3):
        for i in range(len(SENTENCES)):
            p = os.path.join(d, f"p{rep}_{i}.wav")
            run(["sox", files[i], p, "pad", "0", "1.5"])
            parts.append(p)
    long16 = os.path.join(d, "long16.wav")
    run(["sox"] + parts + [long16])
    long48 = os.path.join(d, "long48.wav")
    run(["sox", long16, "-r", "48000", "-e", "floating-point", "-b", "32", long48])
    return one, long16, long48


def time_v(cmd, env=None):
    """Runs cmd under /usr/bin/time -v; returns (cpu seconds, peak RSS in MiB, stdout)."""
    r = subprocess.run(["/usr/bin/time", "-v"] + cmd, env=env, capture_output=True, text=True)
    return parse_time_v(r.stderr) + (r.stdout,)


def parse_time_v(text):
    user = float(re.search(r"User time \(seconds\): ([\d.]+)", text).group(1))
    sys_ = float(re.search(r"System time \(seconds\): ([\d.]+)", text).group(1))
    rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", text).group(1))
    return user + sys_, rss / 1024.0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("voxlet", nargs="?", default="build/bin/voxlet")
    ap.add_argument("--runs", type=int, default=10)
    ap.add_argument("--long-runs", type=int, default=2)
    ap.add_argument("--verbose", action="store_true")
    ap.add_argument("--long", type=float, nargs="?", const=10.0, metavar="MINUTES")
    ap.add_argument("--accuracy", action="store_true",
                    help="also word error rates per voice and condition (voxlet_accuracy.py)")
    ap.add_argument("--sentences", type=int, default=2,
                    help="sentences per voice for --accuracy (each voice says others)")
    ap.add_argument("--voices", default=",".join(VOICES), help="voices for --accuracy")
    ap.add_argument("--no-load", action="store_true",
                    help="--accuracy on the idle machine only")
    ap.add_argument("--quick", action="store_true",
                    help="fewer runs, and --accuracy with two voices")
    a = ap.parse_args()
    if a.quick:
        a.runs, a.long_runs, a.voices = min(a.runs, 4), 1, "rms,slt"
    binary = os.path.abspath(a.voxlet)
    if a.long is not None:
        import voxlet_long
        return voxlet_long.main(sys.modules[__name__], binary, a.long, a.verbose)
    if a.accuracy and not a.no_load:
        import voxlet_accuracy
        voxlet_accuracy.competing_vidlet(binary)
    work = tempfile.mkdtemp(prefix="voxlet-bench-")
    daemon = None
    try:
        daemon = Daemon(os.path.join(work, "pa"))
        env = daemon.env()
        one, long16, long48 = make_audio(work)
        rows = []

        # Probe.
        probes = []
        for _ in range(a.runs * 2):
            t = time.monotonic()
            r = subprocess.run([binary, "--probe", "--locale", "en-US"], env=env,
                               capture_output=True)
            probes.append(time.monotonic() - t)
            assert r.returncode == 0 and not r.stderr, r
        rows.append(("probe (process start to exit)", probes, 0.050))

        # Start to ready, and stop to end with nothing said: once while the model still loads
        # (0.3 s after "ready"), once after it has loaded (1.5 s).
        readies, idle_loading, idle_stops = [], [], []
        for i in range(a.runs):
            v = Voxlet(binary, env)
            t_ready, _ = v.wait_for("ready")
            readies.append(t_ready - v.start)
            time.sleep(0.3 if i % 2 == 0 else 1.5)
            t_stop = v.stop()
            t_end, _ = v.wait_for("end")
            (idle_loading if i % 2 == 0 else idle_stops).append(t_end - t_stop)
            assert not v.finish()
        rows.append(("start to \"ready\"", readies, 0.150))

        # One sentence: the last word after the end of speech; stop right after the speech
        # (the recogniser closes the open request after endAudio), and stop after the pause
        # has closed the segment. The end of speech is taken where voxlet heard it: the last
        # "level" event above -46 dBFS (0.1), the level sox's silence detection uses too, which
        # leaves out the test server's own buffering (about 1 to 2 s from paplay's start).
        start_s, end_s, _ = speech_bounds(one)
        last_word = SENTENCES[0].split()[-1]
        lasts, lasts_rig, stops_open, stops_closed = [], [], [], []
        for run_i in range(a.runs):
            v = Voxlet(binary, env)
            v.wait_for("ready")
            t_play = time.monotonic()
            player = daemon.play(one)
            t_word, _ = v.wait_for("text", 20, lambda e: [
                w.rstrip(".?").lower() for w in e["text"].split()[-1:]] == [last_word])
            # Levels for the last buffers of speech may follow the text line.
            settle = time.monotonic() + 0.3
            while time.monotonic() < settle and v.next(settle - time.monotonic()):
                pass
            loud = [t for t, e in v.events if e.get("t") == "level" and e["v"] >= 0.1]
            lasts.append(t_word - loud[-1])
            lasts_rig.append(t_word - (t_play + end_s))
            if run_i % 2 == 0:
                t_stop = v.stop()
                t_end, _ = v.wait_for("end")
                stops_open.append(t_end - t_stop)
            else:
                # Wait for the pause to close the segment, then stop.
                while player.poll() is None:
                    v.next(0.1)
                t_stop = v.stop()
                t_end, _ = v.wait_for("end")
                stops_closed.append(t_end - t_stop)
            player.wait()
            assert not v.finish()
        if a.verbose:
            print("last word latencies:", [round(x, 3) for x in lasts], file=sys.stderr)
            print("including the server's buffering:", [round(x, 3) for x in lasts_rig],
                  file=sys.stderr)
        rows.append(("end of speech (as heard) to \"text\" with its last word", lasts, 1.0))
        rows.append(("\"stop\" to \"end\", stopped 0.3 s after the last word", stops_open, 0.300))
        rows.append(("\"stop\" to \"end\", after the pause closed the segment", stops_closed, 0.300))
        rows.append(("\"stop\" to \"end\", nothing said", idle_stops, 0.300))
        rows.append(("\"stop\" to \"end\", nothing said, model still loading", idle_loading,
                     0.300))

        # CPU and memory over a long dictation, beside the offline decoder on the same audio.
        # Both are taken as the least of several runs: other work on the machine only adds.
        audio_s = float(run(["soxi", "-D", long16], text=True).stdout)
        cpus, rsss, finals = [], [], []
        for _ in range(a.long_runs):
            v = Voxlet(binary, env, wrapper=["/usr/bin/time", "-v"])
            v.wait_for("ready")
            player = daemon.play(long48)
            # Keep reading, as a parent does: a full pipe would hold voxlet's output back.
            while player.poll() is None:
                v.next(0.1)
            settle = time.monotonic() + 1.0
            while time.monotonic() < settle:
                v.next(0.1)
            v.stop()
            while v.next(20.0) is not None:
                pass
            err = v.proc.stderr.read().decode()
            v.proc.wait(20)
            cpu_i, rss_i = parse_time_v(err)
            cpus.append(cpu_i)
            rsss.append(rss_i)
            finals = [e for _, e in v.events if e.get("t") == "text" and e.get("final")]
        offline = [time_v(["pocketsphinx_continuous", "-infile", long16])
                   for _ in range(a.long_runs + 1)]
        cpu, rss = min(cpus), min(rsss)
        cpu_off = min(o[0] for o in offline)
        rss_off = min(o[1] for o in offline)
        offline_text = offline[0][2]

        print(f"voxlet benchmark ({binary}), {a.runs} runs each; audio {audio_s:.1f} s; "
              f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores\n")
        print("| measure | median | min | max | goal | met |")
        print("|---|---|---|---|---|---|")
        for name, xs, goal in rows:
            med = statistics.median(xs)
            print(f"| {name} | {med * 1000:.0f} ms | {min(xs) * 1000:.0f} ms | "
                  f"{max(xs) * 1000:.0f} ms | < {goal * 1000:.0f} ms | "
                  f"{'yes' if med < goal else 'no'} |")
        cpu_ratio = (cpu / audio_s) / (cpu_off / audio_s)
        rss_ratio = rss / rss_off
        if a.verbose:
            print("voxlet CPU:", cpus, "offline CPU:", [o[0] for o in offline], file=sys.stderr)
        print(f"| CPU s per s of audio | voxlet {cpu / audio_s:.3f} | offline "
              f"{cpu_off / audio_s:.3f} | ratio {cpu_ratio:.2f} | within 10% | "
              f"{'yes' if cpu_ratio <= 1.10 else 'no'} |")
        print(f"| peak memory | voxlet {rss:.1f} MiB | offline {rss_off:.1f} MiB | "
              f"ratio {rss_ratio:.2f} | within 10% | {'yes' if rss_ratio <= 1.10 else 'no'} |")
        print()
        print("voxlet final text:", finals[-1]["text"] if finals else "(none)")
        print("offline text:     ", " ".join(offline_text.split("\n")))
        print("reference:        ", " ".join(SENTENCES * 3))
        if a.accuracy:
            import voxlet_accuracy
            voxlet_accuracy.accuracy_rows(binary, daemon, Voxlet, work, a.voices.split(","),
                                          per_voice=a.sentences, load=not a.no_load,
                                          verbose=a.verbose)
    finally:
        if daemon:
            daemon.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
