"""Accuracy rows of the voxlet benchmark: word error rate per voice and listening condition,
voxlet through the private server's virtual microphone beside `pocketsphinx_continuous -infile`
on the same audio; words that partial results showed and the final text dropped; CPU per second
of audio beside the live decoder (`pocketsphinx_continuous -inmic yes` on the same server) and
the offline one.

Used by voxlet-bench.py (--accuracy). Run on its own to try decoder options offline:

    python3 bench/voxlet_accuracy.py --offline [--voices rms,slt] [-- -lw 10 -beam 1e-60 ...]
"""

import argparse
import concurrent.futures
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# Dictation-style sentences, about 30 s of speech per voice. No digits: the reference is the
# spoken words.
SENTENCES = [
    "please send the quarterly report to the whole team before friday",
    "i will be late for the meeting this afternoon",
    "can you check whether the new version works on your computer",
    "thank you for your help with the project last week",
    "let us talk about the budget when you are back in the office",
    "the train was delayed so i missed the first part of the talk",
    "could you book a table for dinner on saturday evening",
    "remember to buy milk and bread on the way home",
    "we should update the documentation before the next release",
    "i think the problem is in the network settings",
]

VOICES = ["rms", "slt", "awb", "kal16", "espeak"]
CONDITIONS = ["clean", "pink20", "pink10", "reverb", "phone"]
PAUSE_S = 1.2  # silence after each sentence; the decoder closes an utterance after 0.5 s

ONES = "zero one two three four five six seven eight nine".split()


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)


def normalise(text):
    """Lower case words without punctuation; digits spelled out one by one."""
    text = text.lower().replace("%", " percent ")
    text = re.sub(r"\d", lambda m: " " + ONES[int(m.group(0))] + " ", text)
    text = re.sub(r"[^a-z' ]+", " ", text)
    return [w.strip("'") for w in text.split() if w.strip("'")]


def alignment(ref, hyp):
    """Levenshtein table between two word lists."""
    d = [[0] * (len(hyp) + 1) for _ in range(len(ref) + 1)]
    for i in range(len(ref) + 1):
        d[i][0] = i
    for j in range(len(hyp) + 1):
        d[0][j] = j
    for i in range(1, len(ref) + 1):
        for j in range(1, len(hyp) + 1):
            d[i][j] = min(d[i - 1][j] + 1, d[i][j - 1] + 1,
                          d[i - 1][j - 1] + (ref[i - 1] != hyp[j - 1]))
    return d


def errors(ref, hyp):
    """Word errors (substitutions, deletions, insertions) of hyp against ref."""
    r, h = normalise(ref), normalise(hyp)
    return alignment(r, h)[len(r)][len(h)], len(r)


def unmatched(final, shown):
    """Positions of `shown` that a best alignment with `final` does not match to an equal word
    (the longest common subsequence)."""
    n, m = len(final), len(shown)
    lcs = [[0] * (m + 1) for _ in range(n + 1)]
    for i in range(n - 1, -1, -1):
        for j in range(m - 1, -1, -1):
            lcs[i][j] = (lcs[i + 1][j + 1] + 1 if final[i] == shown[j]
                         else max(lcs[i + 1][j], lcs[i][j + 1]))
    i = j = 0
    out = set(range(m))
    while i < n and j < m:
        if final[i] == shown[j]:
            out.discard(j)
            i += 1
            j += 1
        elif lcs[i + 1][j] >= lcs[i][j + 1]:
            i += 1
        else:
            j += 1
    return out


def flicker(partials, final):
    """Words that partial texts showed and the final text does not hold: each time a position
    of a partial shows a new word that the final text leaves unmatched, once."""
    final_w = normalise(final)
    count, before = 0, []
    for text in partials:
        words = normalise(text)
        for j in unmatched(final_w, words):
            if j >= len(before) or before[j] != words[j]:
                count += 1
        before = words
    return count


# --- Audio ------------------------------------------------------------------------------------

def rms(wav):
    out = run(["sox", wav, "-n", "stat"], text=True).stderr
    return float(re.search(r"RMS\s+amplitude:\s+([\d.e-]+)", out).group(1))


def speak(voice, text, path, tmp):
    raw = os.path.join(tmp, "raw.wav")
    if voice == "espeak":
        run(["espeak-ng", "-v", "en-us", "-w", raw, text])
    else:
        run(["flite", "-voice", voice, "-t", text, "-o", raw])
    run(["sox", raw, "-r", "16000", "-c", "1", "-b", "16", path])


def make_corpus(root, voices=VOICES, conditions=CONDITIONS):
    """16 kHz files root/<voice>-<condition>.wav: the sentences, each followed by a pause, under
    each condition. Returns {(voice, condition): path}."""
    os.makedirs(root, exist_ok=True)
    files = {}
    for voice in voices:
        tmp = tempfile.mkdtemp(dir=root)
        parts, speech = [], []
        for i, s in enumerate(SENTENCES):
            p = os.path.join(tmp, f"{i}.wav")
            speak(voice, s, p, tmp)
            speech.append(p)
            padded = os.path.join(tmp, f"{i}p.wav")
            run(["sox", p, padded, "pad", "0", str(PAUSE_S)])
            parts.append(padded)
        clean = os.path.join(root, f"{voice}-clean.wav")
        run(["sox", *parts, clean, "pad", "0.5", "0", "gain", "-n", "-3"])
        only = os.path.join(tmp, "speech.wav")
        run(["sox", *speech, only, "gain", "-n", "-3"])
        level = rms(only)
        dur = float(run(["soxi", "-D", clean], text=True).stdout)
        for cond in conditions:
            out = os.path.join(root, f"{voice}-{cond}.wav")
            if cond == "clean":
                pass
            elif cond.startswith("pink"):
                snr = float(cond[4:])
                noise = os.path.join(tmp, "noise.wav")
                # Repeatable noise: runs on different days compare on the same files.
                run(["sox", "-R", "-n", "-r", "16000", "-c", "1", "-b", "16", noise,
                     "synth", str(dur), "pinknoise", "vol", "0.3"])
                gain = level / (10 ** (snr / 20)) / rms(noise)
                run(["sox", "-m", "-v", "0.5", clean, "-v", f"{0.5 * gain:.6f}", noise, out])
            elif cond == "reverb":
                run(["sox", clean, out, "reverb", "50", "50", "100", "gain", "-n", "-3"])
            elif cond == "phone":
                narrow = os.path.join(tmp, "narrow.wav")
                run(["sox", clean, "-r", "8000", narrow, "sinc", "300-3400"])
                run(["sox", narrow, "-r", "16000", out])
            files[(voice, cond)] = clean if cond == "clean" else out
        shutil.rmtree(tmp, ignore_errors=True)
    return files


def to48(wav, out):
    run(["sox", wav, "-r", "48000", "-e", "floating-point", "-b", "32", out])
    return out


def reference():
    return " ".join(SENTENCES)


# --- Decoders ---------------------------------------------------------------------------------

def child_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def process_cpu(pid):
    """User and system CPU seconds of a running process."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wait_idle(pid, least, step=lambda: time.sleep(0.2)):
    """Waits at least `least` seconds, and until the process has used no CPU for a second."""
    end = time.monotonic() + least
    last, idle_since = process_cpu(pid), time.monotonic()
    while time.monotonic() < end or time.monotonic() - idle_since < 1.0:
        step()
        now = process_cpu(pid)
        if now - last > 0.02:
            idle_since = time.monotonic()
        last = now


def offline(wav, args=()):
    """pocketsphinx_continuous -infile: (text, CPU seconds)."""
    cmd = ["/usr/bin/time", "-f", "%U %S", "pocketsphinx_continuous", "-infile", wav,
           "-logfn", "/dev/null", *args]
    r = subprocess.run(cmd, capture_output=True, text=True)
    u, s = (float(x) for x in r.stderr.strip().splitlines()[-1].split())
    return " ".join(r.stdout.split()), u + s


def offline_table(files, args=(), jobs=2):
    """{(voice, condition): (errors, words, cpu)} of the offline decoder with extra args."""
    out = {}
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        futs = {pool.submit(offline, f, args): k for k, f in files.items()}
        for fut, k in futs.items():
            text, cpu = fut.result()
            e, n = errors(reference(), text)
            out[k] = (e, n, cpu, text)
    return out


def voxlet_run(daemon, voxlet_cls, binary, wav48, settle=2.0):
    """voxlet through the virtual microphone: (final text, partial texts, CPU seconds)."""
    v = voxlet_cls(binary, daemon.env(), wrapper=["/usr/bin/time", "-f", "%U %S"])
    v.wait_for("ready", 30)
    player = daemon.play(wav48)
    while player.poll() is None:
        v.next(0.1)
    # On a busy machine the decoder may lag behind the audio: stop once it has caught up, when
    # voxlet has used no CPU for a while.
    pid = int(run(["pgrep", "-P", str(v.proc.pid)], text=True).stdout.split()[0])
    wait_idle(pid, settle, lambda: v.next(0.2))
    v.stop()
    while v.next(20.0) is not None:
        pass
    err = v.proc.stderr.read().decode()
    v.proc.wait(20)
    u, s = (float(x) for x in err.strip().splitlines()[-1].split())
    texts = [e for _, e in v.events if e.get("t") == "text"]
    final = next((e["text"] for e in texts if e.get("final")), "")
    partials = [e["text"] for e in texts if not e.get("final")]
    return final, partials, u + s


def live_run(daemon, wav48, settle=2.0):
    """pocketsphinx_continuous -inmic yes on the same server: (text, CPU seconds)."""
    env = daemon.env()
    p = subprocess.Popen(["/usr/bin/time", "-f", "%U %S", "pocketsphinx_continuous",
                          "-inmic", "yes", "-logfn", "/dev/null"], env=env,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    # It records once its model has loaded.
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        r = subprocess.run(["pactl", "list", "short", "source-outputs"], env=env,
                           capture_output=True, text=True)
        if r.stdout.strip():
            break
        time.sleep(0.1)
    daemon.play(wav48).wait()
    # /usr/bin/time ignores SIGINT while it waits; the decoder takes it once it has caught up.
    pid = int(run(["pgrep", "-P", str(p.pid)], text=True).stdout.split()[0])
    wait_idle(pid, settle)
    os.kill(pid, 2)
    out, err = p.communicate(timeout=30)
    cpu = 0.0
    m = re.search(r"([\d.]+) ([\d.]+)\s*$", err)
    if m:
        cpu = float(m.group(1)) + float(m.group(2))
    return " ".join(out.split()), cpu


# --- Tables -----------------------------------------------------------------------------------

def print_wer_table(title, columns, voices, conditions):
    """columns: [(name, {(voice, condition): (errors, words, ...)})]."""
    print(f"\n{title}\n")
    print("| voice | condition | " + " | ".join(n for n, _ in columns) + " |")
    print("|---|---|" + "---|" * len(columns))
    totals = {n: {} for n, _ in columns}
    for v in voices:
        for c in conditions:
            cells = []
            for n, t in columns:
                e, w = t[(v, c)][0], t[(v, c)][1]
                totals[n].setdefault(c, [0, 0])
                totals[n][c][0] += e
                totals[n][c][1] += w
                cells.append(f"{100.0 * e / w:.1f}%")
            print(f"| {v} | {c} | " + " | ".join(cells) + " |")
    for c in conditions:
        print(f"| all | {c} | " + " | ".join(
            f"{100.0 * totals[n][c][0] / totals[n][c][1]:.1f}%" for n, _ in columns) + " |")
    print("| all | all | " + " | ".join(
        f"{100.0 * sum(x[0] for x in totals[n].values()) / sum(x[1] for x in totals[n].values()):.1f}%"
        for n, _ in columns) + " |")


def server_table(binary, daemon, voxlet_cls, files, work, verbose=False):
    """voxlet through the virtual microphone on each file: ({key: (errors, words, cpu, text)},
    flickered words, audio seconds)."""
    vox, flickered, audio_s = {}, 0, 0.0
    for k, f in files.items():
        wav48 = to48(f, os.path.join(work, "play48.wav"))
        final, partials, cpu = voxlet_run(daemon, voxlet_cls, binary, wav48)
        e, n = errors(reference(), final)
        vox[k] = (e, n, cpu, final)
        flickered += flicker(partials, final)
        audio_s += float(run(["soxi", "-D", f], text=True).stdout)
        if verbose:
            print(k, f"{e}/{n}", cpu, "voxlet:", final, file=sys.stderr)
    return vox, flickered, audio_s


def accuracy_rows(binary, daemon, voxlet_cls, work, voices=VOICES, conditions=CONDITIONS,
                  verbose=False):
    """Runs voxlet, the offline and the live decoder on the corpus and prints the tables."""
    files = make_corpus(os.path.join(work, "corpus"), voices, conditions)
    off = offline_table(files)
    vox, flickered, audio_s = server_table(binary, daemon, voxlet_cls, files, work, verbose)
    vox_cpu = sum(x[2] for x in vox.values())
    flick = [flickered, sum(x[1] for x in vox.values())]
    print_wer_table("Word error rate (voxlet through the virtual microphone; offline decoder "
                    "with its defaults on the same files)",
                    [("voxlet", vox), ("offline", off)], voices, conditions)
    # The live decoder on the clean file of each voice, for CPU beside voxlet on the same audio.
    live_cpu, live_s, vox_live_cpu, off_live_cpu, live_err = 0.0, 0.0, 0.0, 0.0, [0, 0]
    for v in voices:
        f = files[(v, "clean")]
        wav48 = to48(f, os.path.join(work, "play48.wav"))
        text, cpu = live_run(daemon, wav48)
        e, n = errors(reference(), text)
        live_err[0] += e
        live_err[1] += n
        live_cpu += cpu
        live_s += float(run(["soxi", "-D", f], text=True).stdout)
        vox_live_cpu += vox[(v, "clean")][2]
        off_live_cpu += off[(v, "clean")][2]
    clean_err = [sum(vox[(v, "clean")][i] for v in voices) for i in (0, 1)]
    off_clean_err = [sum(off[(v, "clean")][i] for v in voices) for i in (0, 1)]
    print("\n| measure | voxlet | live decoder | offline decoder |")
    print("|---|---|---|---|")
    print(f"| word error rate, clean files | {100.0 * clean_err[0] / clean_err[1]:.1f}% | "
          f"{100.0 * live_err[0] / live_err[1]:.1f}% | "
          f"{100.0 * off_clean_err[0] / off_clean_err[1]:.1f}% |")
    print(f"| CPU s per s of audio, clean files | {vox_live_cpu / live_s:.3f} | "
          f"{live_cpu / live_s:.3f} | {off_live_cpu / live_s:.3f} |")
    off_cpu = sum(x[2] for x in off.values())
    print(f"| CPU s per s of audio, all files | {vox_cpu / audio_s:.3f} | - | "
          f"{off_cpu / audio_s:.3f} |")
    print(f"| words shown in partials, absent from the final text, per 100 words | "
          f"{100.0 * flick[0] / flick[1]:.2f} | - | - |")
    tool = os.path.join(os.path.dirname(os.path.abspath(binary)), "voxlet_format_lines")
    if os.path.exists(tool):
        fmt = load_script("voxlet-format-bench.py")
        exact, n, _ = fmt.format_accuracy(tool, os.path.join(HERE, "format-heldout.tsv"))
        print(f"| held-out sentences formatted as a typist writes them | "
              f"{100.0 * exact / n:.1f}% ({exact}/{n}) | - | - |")


def load_script(name):
    """Another bench script of this folder, as a module."""
    import importlib.util
    spec = importlib.util.spec_from_file_location(name.replace("-", "_")[:-3],
                                                  os.path.join(HERE, name))
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


def load_bench():
    """voxlet-bench.py's private server and voxlet runner."""
    return load_script("voxlet-bench.py")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", metavar="VOXLET", help="voxlet through the virtual microphone "
                    "instead of the offline decoder")
    ap.add_argument("--voices", default=",".join(VOICES))
    ap.add_argument("--conditions", default=",".join(CONDITIONS))
    ap.add_argument("--corpus", help="folder to keep the corpus in (made if missing)")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--sentences", type=int, default=len(SENTENCES),
                    help="only the first N sentences (quicker trials)")
    ap.add_argument("args", nargs="*", help="offline decoder options, after --")
    a = ap.parse_args()
    del SENTENCES[a.sentences:]
    voices, conditions = a.voices.split(","), a.conditions.split(",")
    root = a.corpus or tempfile.mkdtemp(prefix="voxlet-acc-")
    files = {(v, c): os.path.join(root, f"{v}-{c}.wav") for v in voices for c in conditions}
    if not all(os.path.exists(f) for f in files.values()):
        files = make_corpus(root, voices, conditions)
    audio = sum(float(run(["soxi", "-D", f], text=True).stdout) for f in files.values())
    if a.server:
        bench = load_bench()
        work = tempfile.mkdtemp(prefix="voxlet-acc-run-")
        daemon = bench.Daemon(os.path.join(work, "pa"))
        try:
            t, flickered, _ = server_table(os.path.abspath(a.server), daemon, bench.Voxlet, files,
                                           work, verbose=True)
        finally:
            daemon.close()
            shutil.rmtree(work, ignore_errors=True)
        print_wer_table("voxlet " + a.server, [("voxlet", t)], voices, conditions)
        words = sum(x[1] for x in t.values())
        print(f"flicker per 100 words: {100.0 * flickered / words:.2f}")
    else:
        t = offline_table(files, a.args, a.jobs)
        print_wer_table("offline " + " ".join(a.args), [("offline", t)], voices, conditions)
    print(f"CPU s per s of audio: {sum(x[2] for x in t.values()) / audio:.3f}")


if __name__ == "__main__":
    main()
