#!/usr/bin/env python3
"""The benchmark's corpus replayed through the recogniser's pipeline (voxlet_replay) as fast as it
decodes, beside the offline decoder: the same tables as the accuracy part, in a minute or two
instead of real time, with latencies in audio time (as if the decoder kept up). For trying decoder
settings; the live bench (voxlet-bench.py --accuracy) has the last word.

    python3 bench/voxlet_replay.py --replay build/tests/voxlet_linux/voxlet_replay \\
        --corpus /tmp/corpus [--voices rms,slt] [--sentences 2] [--hold 0.3] [-- decoder options]

The corpus folder is kept: its files, their 48 kHz copies and the offline decoder's texts are made
once.
"""

import argparse
import concurrent.futures
import json
import os
import subprocess
import sys

import voxlet_corpus as corpus
import voxlet_report
import voxlet_words as words
from voxlet_accuracy import offline_table


def load_corpus(root, voices, conditions, per_voice):
    """make_corpus's items, made once and kept with the offline decoder's texts in root."""
    index = os.path.join(root, f"items-{per_voice}.json")
    if os.path.exists(index):
        with open(index) as f:
            saved = json.load(f)
    else:
        saved = {}
    items = {}
    missing = [v for v in voices if any(f"{v}/{c}" not in saved for c in conditions)]
    if missing:
        os.makedirs(root, exist_ok=True)
        made = {}
        for v in missing:  # each voice says the sentences it says in the live bench
            sentences = corpus.sentences_for(voices.index(v), per_voice)
            for c, item in corpus.make_voice(root, v, sentences, conditions).items():
                made[(v, c)] = item
        for (v, c), item in made.items():
            saved[f"{v}/{c}"] = {"path": item.path, "sentences": item.sentences,
                                 "ends": item.ends, "duration": item.duration}
        off = offline_table(made)
        for (v, c), o in off.items():
            saved[f"{v}/{c}"]["offline"] = o
        with open(index, "w") as f:
            json.dump(saved, f)
    off = {}
    for v in voices:
        for c in conditions:
            s = saved[f"{v}/{c}"]
            items[(v, c)] = corpus.Item(s["path"], s["sentences"], s["ends"], s["duration"])
            off[(v, c)] = s["offline"]
            wav48 = s["path"][:-4] + "-48k.wav"
            if not os.path.exists(wav48):
                corpus.to48(s["path"], wav48)
    return items, off


def replay(tool, paths, settings, options):
    """{path: {"lines": [(t, kind, text)], "cpu"}} from one run of the replay tool."""
    cmd = [tool, *settings, *paths, "--", *options]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    runs, cur = {}, None
    for line in out.splitlines():
        kind, _, rest = line.partition(" ")
        if kind == "file":
            cur = runs[rest] = {"lines": [], "cpu": float("nan")}
        elif kind == "cpu":
            cur["cpu"] = float(rest)
        elif kind in ("P", "F", "E"):
            t, _, text = rest.partition(" ")
            cur["lines"].append((float(t), kind, text))
    return runs


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--replay", required=True, help="the voxlet_replay tool")
    ap.add_argument("--corpus", required=True, help="folder to keep the corpus in")
    ap.add_argument("--voices", default=",".join(corpus.GOAL_VOICES))
    ap.add_argument("--conditions", default=",".join(corpus.CONDITIONS))
    ap.add_argument("--sentences", type=int, default=2, help="sentences per voice")
    ap.add_argument("--set", default="", help="the replay tool's settings, as one string: "
                    "\"--hold 0.3 --mean-frames 50 --prior-weight 50\"")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--verbose", action="store_true", help="each dictation's final text")
    ap.add_argument("args", nargs="*", help="decoder options, after --")
    a = ap.parse_args()
    voices, conditions = a.voices.split(","), a.conditions.split(",")
    items, off = load_corpus(a.corpus, voices, conditions, a.sentences)
    keys = list(items)
    paths = {k: items[k].path[:-4] + "-48k.wav" for k in keys}
    shares = [keys[i::a.jobs] for i in range(a.jobs)]
    runs = {}
    with concurrent.futures.ThreadPoolExecutor(a.jobs) as pool:
        for r in pool.map(lambda ks: replay(a.replay, [paths[k] for k in ks], a.set.split(), a.args),
                          shares):
            runs.update(r)
    results = {}
    for k in keys:
        item, run = items[k], runs[paths[k]]
        lines = [(t, text) for t, kind, text in run["lines"] if kind in ("P", "F")]
        final = next((text for t, kind, text in run["lines"] if kind == "F"), "")
        shown = words.last_word_times(item.sentences, lines)
        results[k] = {"final": final, "cpu": run["cpu"], "ready": None, "stop_end": None,
                      "partials": [text for t, kind, text in run["lines"] if kind == "P"],
                      "last_word": [None if t is None else t - end
                                    for t, end in zip(shown, item.ends)]}
        lost = words.lost_sentences(item.sentences, final, off[k]["text"])
        if a.verbose or lost:
            e, n = words.errors(item.reference(), final)
            flicker = words.flicker(results[k]["partials"], final)
            print(k, f"{e}/{n}", f"flicker {flicker}", f"lost {lost}" if lost else "",
                  "final:", final,
                  "| offline:", off[k]["text"], file=sys.stderr)
    note = "replayed as fast as decoded" + (f", {a.set}" if a.set else "") + (
        f", decoder options {' '.join(a.args)}" if a.args else "")
    voxlet_report.print_report(items, off, {"replay": results}, voices, conditions, note)


if __name__ == "__main__":
    main()
