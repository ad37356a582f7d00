"""Accuracy part of the voxlet benchmark: voxlet dictating the corpus (voxlet_corpus.py) through
the private server's virtual microphone, on an idle machine and under the competing load
(voxlet_load.py), beside `pocketsphinx_continuous -infile` on the same files. Each dictation is
stopped 0.3 s after its last word, as a person does; voxlet_report.py prints the tables.

Used by voxlet-bench.py (--accuracy). Run on its own to try decoder options offline, or voxlet
alone on an idle machine:

    python3 bench/voxlet_accuracy.py [--voices rms,slt] [--sentences 4] [-- -lw 10 -beam 1e-60]
    python3 bench/voxlet_accuracy.py --server build/bin/voxlet [--voices rms,slt]
"""

import argparse
import concurrent.futures
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import voxlet_corpus as corpus
import voxlet_report
import voxlet_words as words
from voxlet_load import CompetingLoad

HERE = os.path.dirname(os.path.abspath(__file__))
# paplay ends when the sink has played the whole file, whatever its buffer; 20 ms buffers
# underran on a busy machine and cut words out of the played speech.
PLAY_LATENCY_MS = 200


# --- The offline decoder -----------------------------------------------------------------------

def offline(wav, args=()):
    """pocketsphinx_continuous -infile: (text, CPU seconds)."""
    cmd = ["/usr/bin/time", "-f", "%U %S", "pocketsphinx_continuous", "-infile", wav,
           "-logfn", "/dev/null", *args]
    r = subprocess.run(cmd, capture_output=True, text=True)
    u, s = (float(x) for x in r.stderr.strip().splitlines()[-1].split())
    return " ".join(r.stdout.split()), u + s


def offline_table(items, args=(), jobs=2):
    """{key: {"text", "cpu"}} of the offline decoder with extra args on every corpus file."""
    out = {}
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        futs = {pool.submit(offline, item.path, args): k for k, item in items.items()}
        for fut, k in futs.items():
            text, cpu = fut.result()
            out[k] = {"text": text, "cpu": cpu}
    return out


# --- voxlet through the virtual microphone ---------------------------------------------------

def voxlet_run(daemon, voxlet_cls, binary, item, wav48):
    """One dictation of a corpus file, stopped as the file ends (0.3 s after the last word).
    Returns {"final", "partials", "cpu", "ready", "stop_end", "last_word"}: the final text and
    the partial texts; CPU seconds; start to "ready"; "stop" to "end" (None without an "end");
    for each sentence, the end of its speech to the first text line holding its last word
    (None if no line did)."""
    v = voxlet_cls(binary, daemon.env(), wrapper=["/usr/bin/time", "-f", "%U %S"])
    out = {"final": "", "partials": [], "cpu": float("nan"), "ready": None, "stop_end": None,
           "last_word": [None] * len(item.sentences)}
    player = None
    try:
        t_ready, _ = v.wait_for("ready", 30)
        out["ready"] = t_ready - v.start
        player = daemon.play(wav48, latency_ms=PLAY_LATENCY_MS)
        played = []
        waiter = threading.Thread(target=lambda: played.append((player.wait(), time.monotonic())))
        waiter.start()
        # Keep reading, as a parent does.
        while not played:
            v.next(0.02)
        t_played = played[0][1]
        t_stop = v.stop()
        try:
            t_end, _ = v.wait_for("end", 10)
            out["stop_end"] = t_end - t_stop
        except RuntimeError:
            pass
        err = v.finish().decode()
        out["cpu"] = sum(float(x) for x in err.strip().splitlines()[-1].split())
    except (RuntimeError, subprocess.TimeoutExpired, ValueError, IndexError) as e:
        print(f"voxlet run on {item.path} failed: {e}", file=sys.stderr)
        if v.proc.poll() is None:
            v.proc.kill()
            v.proc.wait()
        if player:
            player.wait()  # the next dictation starts on a quiet microphone
        return out
    texts = [(t, e) for t, e in v.events if e.get("t") == "text"]
    lines = [(t, e["text"]) for t, e in texts]
    out["final"] = next((e["text"] for _, e in texts if e.get("final")), "")
    out["partials"] = [e["text"] for _, e in texts if not e.get("final")]
    # The sink has played the whole file when paplay ends: each sentence ended that much before.
    shown = words.last_word_times(item.sentences, lines)
    out["last_word"] = [None if t is None else t - (t_played - (item.duration - end))
                        for t, end in zip(shown, item.ends)]
    return out


def server_table(binary, daemon, voxlet_cls, items, work, load=None, verbose=False):
    """voxlet on every corpus file: {key: voxlet_run's result}."""
    results = {}
    for k, item in items.items():
        wav48 = corpus.to48(item.path, os.path.join(work, "play48.wav"))
        results[k] = r = voxlet_run(daemon, voxlet_cls, binary, item, wav48)
        if load:
            load.sample()
        if verbose:
            e, n = words.errors(item.reference(), r["final"])
            print(k, "loaded" if load else "idle", f"{e}/{n}", f"cpu {r['cpu']:.2f}",
                  f"stop-end {r['stop_end']}", "voxlet:", r["final"], file=sys.stderr)
    return results


def competing_vidlet(binary):
    """The vidlet beside voxlet, which the competing load runs; ends the bench without one."""
    vidlet = os.path.join(os.path.dirname(binary), "vidlet")
    if not os.access(vidlet, os.X_OK):
        sys.exit(f"the competing load needs {vidlet} (build the vidlet target), "
                 "or run with --no-load")
    return vidlet


def accuracy_rows(binary, daemon, voxlet_cls, work, voices=corpus.VOICES,
                  conditions=corpus.CONDITIONS, per_voice=2, load=True, verbose=False):
    """Makes the corpus, runs the offline decoder and voxlet idle and under the competing load,
    and prints the tables."""
    vidlet = competing_vidlet(binary) if load else None
    t0 = time.monotonic()
    items = corpus.make_corpus(os.path.join(work, "corpus"), voices, conditions, per_voice)
    off = offline_table(items)
    phases = {"idle": server_table(binary, daemon, voxlet_cls, items, work, verbose=verbose)}
    idle_load = os.getloadavg()[0]
    load_note = f"idle phase ended at load average {idle_load:.2f}"
    if load:
        with CompetingLoad(vidlet) as competing:
            phases["loaded"] = server_table(binary, daemon, voxlet_cls, items, work,
                                            load=competing, verbose=verbose)
        load_note += "; competing load: " + competing.summary()
    voxlet_report.print_report(items, off, phases, voices, conditions, load_note)
    tool = os.path.join(os.path.dirname(binary), "voxlet_format_lines")
    if os.path.exists(tool):
        fmt = load_script("voxlet-format-bench.py")
        exact, n, _ = fmt.format_accuracy(tool, os.path.join(HERE, "format-heldout.tsv"))
        print(f"\nHeld-out sentences formatted as a typist writes them: "
              f"{100.0 * exact / n:.1f}% ({exact}/{n})")
    print(f"\n(accuracy part took {(time.monotonic() - t0) / 60:.1f} min)")


def load_script(name):
    """Another bench script of this folder, as a module."""
    import importlib.util
    spec = importlib.util.spec_from_file_location(name.replace("-", "_")[:-3],
                                                  os.path.join(HERE, name))
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", metavar="VOXLET", help="voxlet through the virtual microphone "
                    "(idle machine) beside the offline decoder")
    ap.add_argument("--voices", default=",".join(corpus.VOICES))
    ap.add_argument("--conditions", default=",".join(corpus.CONDITIONS))
    ap.add_argument("--corpus", help="folder to keep the corpus in (made if missing)")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--sentences", type=int, default=len(corpus.SENTENCES),
                    help="sentences per voice (quicker trials)")
    ap.add_argument("args", nargs="*", help="offline decoder options, after --")
    a = ap.parse_args()
    voices, conditions = a.voices.split(","), a.conditions.split(",")
    work = tempfile.mkdtemp(prefix="voxlet-acc-")
    try:
        if a.server:
            bench = load_script("voxlet-bench.py")
            daemon = bench.Daemon(os.path.join(work, "pa"))
            try:
                accuracy_rows(os.path.abspath(a.server), daemon, bench.Voxlet, work, voices,
                              conditions, a.sentences, load=False, verbose=True)
            finally:
                daemon.close()
            return
        items = corpus.make_corpus(a.corpus or os.path.join(work, "corpus"), voices, conditions,
                                   a.sentences)
        off = offline_table(items, a.args, a.jobs)
        voxlet_report.print_offline(items, off, voices, conditions, " ".join(a.args))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
