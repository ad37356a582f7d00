"""Long-run mode of voxlet-bench.py: minutes of looped speech with pauses, dictated in one run.

Prints, beside `pocketsphinx_continuous -infile` on the same audio: resident memory at the start,
after the first minute and at the end, CPU seconds per second of audio, the word error rate of the
final text, and whether any text line ever lost words that an earlier segment had already made
final.

Segments are not visible in the event stream. The pauses in the audio (2 to 4 s) close a segment
after each sentence, and no sentence has more than 8 words, so any word more than OPEN_WORDS words
before the end of a line is taken as final.
"""

import os
import re
import subprocess
import sys
import time

from voxlet_words import normalise

# The main bench's sentences and three more.
EXTRA_SENTENCES = [
    "can you send me the report before lunch",
    "my flight leaves at seven in the evening",
    "turn left at the next corner",
]
PAUSES_S = [2.0, 2.5, 3.0, 2.0, 4.0, 2.0, 3.0, 2.5]
OPEN_WORDS = 16  # two sentences
SAMPLE_EVERY_S = 10.0


def words(text):
    """Words as the person dictating reads them: case, punctuation and digits don't count."""
    return normalise(text)


def word_errors(reference, hypothesis):
    """(substitutions, deletions, insertions, reference length) of the best word alignment."""
    ref, hyp = words(reference), words(hypothesis)
    # Each cell: (cost, substitutions, deletions, insertions).
    prev = [(j, 0, 0, j) for j in range(len(hyp) + 1)]
    for i in range(1, len(ref) + 1):
        cur = [(i, 0, i, 0)]
        r = ref[i - 1]
        for j in range(1, len(hyp) + 1):
            d, ins, sub = prev[j], cur[j - 1], prev[j - 1]
            same = r == hyp[j - 1]
            cur.append(min((d[0] + 1, d[1], d[2] + 1, d[3]),
                           (ins[0] + 1, ins[1], ins[2], ins[3] + 1),
                           (sub[0] + (not same), sub[1] + (not same), sub[2], sub[3])))
        prev = cur
    _, subs, dels, inss = prev[len(hyp)]
    return subs, dels, inss, len(ref)


def word_error_rate(reference, hypothesis):
    subs, dels, inss, n = word_errors(reference, hypothesis)
    return (subs + dels + inss) / n if n else float(bool(words(hypothesis)))


def describe_errors(reference, hypothesis):
    subs, dels, inss, n = word_errors(reference, hypothesis)
    return (f"{(subs + dels + inss) / max(n, 1) * 100:.1f}% "
            f"({subs} substituted, {dels} missing, {inss} extra of {n})")


def make_audio(bench, d, minutes):
    """One cycle of every sentence with its pause, repeated to at least `minutes`; returns the
    16 kHz file (for the offline decoder), the 48 kHz float file (for the server), the reference
    text and the length in seconds."""
    sentences = bench.SENTENCES + EXTRA_SENTENCES
    parts = []
    for i, s in enumerate(sentences):
        raw = os.path.join(d, f"l{i}.wav")
        bench.run(["flite", "-voice", "rms", "-t", s, "-o", raw])
        padded = os.path.join(d, f"lp{i}.wav")
        bench.run(["sox", raw, padded, "pad", "0", str(PAUSES_S[i])])
        parts.append(padded)
    cycle = os.path.join(d, "cycle16.wav")
    bench.run(["sox"] + parts + [cycle])
    cycle_s = float(bench.run(["soxi", "-D", cycle], text=True).stdout)
    cycles = max(1, int(-(-minutes * 60 // cycle_s)))
    long16 = os.path.join(d, "run16.wav")
    # A second of silence first, so that the first words are not cut by the stream's start.
    bench.run(["sox", cycle, long16, "repeat", str(cycles - 1), "pad", "1", "0"])
    long48 = os.path.join(d, "run48.wav")
    bench.run(["sox", long16, "-r", "48000", "-e", "floating-point", "-b", "32", long48])
    audio_s = float(bench.run(["soxi", "-D", long16], text=True).stdout)
    return long16, long48, " ".join(sentences * cycles), audio_s


def rss_mib(pid):
    with open(f"/proc/{pid}/status") as f:
        m = re.search(r"VmRSS:\s+(\d+) kB", f.read())
    return int(m.group(1)) / 1024.0 if m else float("nan")


def cpu_s(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # utime and stime are fields 14 and 15 of the whole line; 12 and 13 after the name.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def lost_words(texts):
    """texts: the "text" lines in order. A segment holds at most one or two sentences (the pauses
    close it), so an open segment can only revise the last OPEN_WORDS words of a line; every word
    before them belongs to a segment that has ended and must begin every later line. Returns the
    lines that broke this, each with the words it should have begun with."""
    problems = []
    stable = []
    for text in texts:
        w = words(text)
        if w[:len(stable)] != stable:
            problems.append((" ".join(stable), text))
            stable = []
        if len(w) - OPEN_WORDS > len(stable):
            stable = w[:len(w) - OPEN_WORDS]
    return problems


def main(bench, binary, minutes, verbose=False):
    import shutil
    import tempfile

    work = tempfile.mkdtemp(prefix="voxlet-long-")
    daemon = None
    try:
        daemon = bench.Daemon(os.path.join(work, "pa"))
        long16, long48, reference, audio_s = make_audio(bench, work, minutes)

        v = bench.Voxlet(binary, daemon.env())
        pid = v.proc.pid
        v.wait_for("ready")
        rss_start = rss_mib(pid)
        cpu_start = cpu_s(pid)
        t_play = time.monotonic()
        player = daemon.play(long48)
        samples = [(0.0, rss_start)]
        rss_minute = None
        next_sample = SAMPLE_EVERY_S
        # Keep reading, as a parent does: a full pipe would hold voxlet's output back.
        while player.poll() is None:
            v.next(0.1)
            elapsed = time.monotonic() - t_play
            if rss_minute is None and elapsed >= 60.0:
                rss_minute = rss_mib(pid)
            if elapsed >= next_sample:
                samples.append((elapsed, rss_mib(pid)))
                next_sample += SAMPLE_EVERY_S
        settle = time.monotonic() + 2.0
        while time.monotonic() < settle:
            v.next(0.1)
        rss_end = rss_mib(pid)
        cpu_run = cpu_s(pid) - cpu_start
        v.stop()
        while v.next(20.0) is not None:
            pass
        err = v.proc.stderr.read()
        status = v.proc.wait(20)

        texts = [(t, e["text"]) for t, e in v.events if e.get("t") == "text"]
        finals = [e["text"] for _, e in v.events if e.get("t") == "text" and e.get("final")]
        final = finals[-1] if finals else ""
        problems = lost_words([t for _, t in texts])

        cpu_off, rss_off, offline_out = bench.time_v(
            ["pocketsphinx_continuous", "-infile", long16])
        offline_text = " ".join(offline_out.split())

        print(f"voxlet long run ({binary}): {audio_s / 60:.1f} min of audio, "
              f"{len(bench.SENTENCES + EXTRA_SENTENCES)} sentences looped with 2 to 4 s pauses; "
              f"load average "
              f"{os.getloadavg()[0]:.2f} on {os.cpu_count()} cores; exit status {status}, "
              f"standard error {len(err)} bytes\n")
        print("| measure | voxlet | offline decoder | goal | met |")
        print("|---|---|---|---|---|")
        growth = (rss_end / rss_minute - 1.0) if rss_minute else float("nan")
        print(f"| RSS at start (\"ready\") | {rss_start:.1f} MiB | | | |")
        print(f"| RSS after the first minute | "
              f"{rss_minute if rss_minute is not None else float('nan'):.1f} MiB | | | |")
        print(f"| RSS at the end | {rss_end:.1f} MiB ({growth * 100:+.1f}% on the first minute) "
              f"| peak {rss_off:.1f} MiB | within 10% of the first minute | "
              f"{'yes' if abs(growth) <= 0.10 else 'no'} |")
        print(f"| CPU s per s of audio | {cpu_run / audio_s:.3f} | {cpu_off / audio_s:.3f} | | |")
        print(f"| word error rate of the final text | {describe_errors(reference, final)} | "
              f"{describe_errors(reference, offline_text)} | | |")
        print(f"| text lines that lost words of an ended segment | {len(problems)} of "
              f"{len(texts)} | | none | "
              f"{'yes' if not problems else 'no'} |")
        print()
        print("RSS every", int(SAMPLE_EVERY_S), "s (MiB):",
              " ".join(f"{r:.1f}" for _, r in samples))
        for done, later in problems[:5]:
            print(f"lost: expected ...{done[-80:]!r} to begin {later[:120]!r}...")
        if verbose:
            print("voxlet final text:", final, file=sys.stderr)
            print("offline text:", offline_text, file=sys.stderr)
    finally:
        if daemon:
            daemon.close()
        shutil.rmtree(work, ignore_errors=True)
