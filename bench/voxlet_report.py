"""Tables of the voxlet benchmark's accuracy part: word error rate per voice and condition, idle
and under load, beside the offline decoder; sentences lost; latencies; flicker; CPU; and the
goals, each marked met or not."""

import math
import statistics

import voxlet_words as words
from voxlet_corpus import GOAL_VOICES


def pct(e, n):
    return 100.0 * e / n if n else float("nan")


def ms(x):
    return "-" if x is None or math.isnan(x) else f"{x * 1000:.0f} ms"


def median(xs):
    return statistics.median(xs) if xs else float("nan")


def worst(xs):
    return max(xs) if xs else float("nan")


class Scores:
    """Word errors and lost sentences of every run of one phase (or of the offline decoder)."""

    def __init__(self, items, texts, offline_texts):
        self.errors, self.lost = {}, {}
        for k, item in items.items():
            self.errors[k] = words.errors(item.reference(), texts[k])
            self.lost[k] = len(words.lost_sentences(item.sentences, texts[k], offline_texts[k]))

    def wer(self, keys):
        return pct(sum(self.errors[k][0] for k in keys), sum(self.errors[k][1] for k in keys))

    def lost_in(self, keys):
        return sum(self.lost[k] for k in keys)


def print_report(items, off, phases, voices, conditions, load_note):
    """off: offline_table's result; phases: {"idle": {key: voxlet_run's result}, "loaded": ...}."""
    off_texts = {k: off[k]["text"] for k in items}
    offline = Scores(items, off_texts, off_texts)
    scores = {p: Scores(items, {k: r[k]["final"] for k in items}, off_texts)
              for p, r in phases.items()}
    names = list(phases)
    goal_voices = [v for v in voices if v in GOAL_VOICES]
    sentences = sum(len(items[(v, c)].sentences) for v in goal_voices for c in conditions)

    print(f"\nWord error rate: voxlet through the virtual microphone, stopped 0.3 s after the last "
          f"word, and the offline decoder on the same files; {load_note}.\n"
          f"Lost: sentences with fewer than half their words in voxlet's final text while the "
          f"offline decoder got at least half.\n")
    print("| voice | condition | offline | " + " | ".join(f"voxlet {p}" for p in names) + " | " +
          " | ".join(f"lost {p}" for p in names) + " |")
    print("|---|---|---|" + "---|" * (2 * len(names)))

    def row(label, cond, keys):
        print(f"| {label} | {cond} | {offline.wer(keys):.1f}% | " +
              " | ".join(f"{scores[p].wer(keys):.1f}%" for p in names) + " | " +
              " | ".join(str(scores[p].lost_in(keys)) for p in names) + " |")

    for v in voices:
        for c in conditions:
            row(v, c, [(v, c)])
    goal_label = "goal voices (" + ", ".join(goal_voices) + ")"
    for c in conditions:
        if goal_voices:
            row(f"**{goal_label}**", c, [(v, c) for v in goal_voices])
    if goal_voices:
        row(f"**{goal_label}**", "all", [(v, c) for v in goal_voices for c in conditions])

    # Measures of each phase.
    def gather(p, field, keys=None):
        out = []
        for k in keys or items:
            x = phases[p][k][field]
            out.extend(x if isinstance(x, list) else [x])
        return out

    audio_s = sum(item.duration for item in items.values())
    clean = [k for k in items if k[1] == "clean"]
    print("\n| measure | " + " | ".join(names) + " | offline decoder |")
    print("|---|" + "---|" * len(names) + "---|")

    def measure(label, cells, offline_cell="-"):
        print(f"| {label} | " + " | ".join(cells) + f" | {offline_cell} |")

    readies = {p: [x for x in gather(p, "ready") if x is not None] for p in names}
    lasts = {p: [x for x in gather(p, "last_word", clean) if x is not None] for p in names}
    lasts_all = {p: [x for x in gather(p, "last_word") if x is not None] for p in names}
    stops = {p: [x for x in gather(p, "stop_end") if x is not None] for p in names}
    measure("start to \"ready\", median (worst)",
            [f"{ms(median(readies[p]))} ({ms(worst(readies[p]))})" for p in names])
    for label, keys, xs in (("clean", clean, lasts), ("all", None, lasts_all)):
        measure(f"end of speech to the first text with the sentence's last word ({label}), "
                f"median (worst)", [f"{ms(median(xs[p]))} ({ms(worst(xs[p]))})" for p in names])
        measure(f"sentences whose last word never showed ({label})",
                [f"{sum(1 for x in gather(p, 'last_word', keys) if x is None)} of "
                 f"{len(gather(p, 'last_word', keys))}" for p in names])
    measure("\"stop\" 0.3 s after the last word to \"end\", median (worst)",
            [f"{ms(median(stops[p]))} ({ms(worst(stops[p]))})" for p in names])
    measure("dictations without \"end\" within 10 s",
            [str(sum(1 for x in gather(p, "stop_end") if x is None)) for p in names])
    flick = {}
    goal_clean = [k for k in clean if k[0] in goal_voices]
    for p in names:
        for label, keys in (("clean", clean), ("all", list(items)), ("goal", goal_clean)):
            shown = sum(words.flicker(phases[p][k]["partials"], phases[p][k]["final"])
                        for k in keys)
            spoken = sum(len(words.normalise(items[k].reference())) for k in keys)
            flick[(p, label)] = 100.0 * shown / spoken if spoken else float("nan")
    for label in ("clean", "all"):
        measure(f"words shown in partials and absent from the final, per 100 words ({label})",
                [f"{flick[(p, label)]:.1f}" for p in names])
    measure(f"the same, clean, {goal_label}", [f"{flick[(p, 'goal')]:.1f}" for p in names])
    goal_keys = [k for k in items if k[0] in goal_voices]
    measure(f"sentences lost ({goal_label}; all voices)",
            [f"{scores[p].lost_in(goal_keys)} of {sentences}; {scores[p].lost_in(items)}"
             for p in names])
    cpu = {p: sum(phases[p][k]["cpu"] for k in items) / audio_s for p in names}
    measure("CPU s per s of audio", [f"{cpu[p]:.3f}" for p in names],
            f"{sum(off[k]['cpu'] for k in items) / audio_s:.3f}")

    # Goals.
    goals = []
    for c in conditions:
        keys = [(v, c) for v in goal_voices]
        if not keys:
            continue
        base = offline.wer(keys)
        mine = {p: scores[p].wer(keys) for p in names}
        if c == "pink10":
            goals.append((f"{c}: at least 15 points better than offline ({base:.1f}%)",
                          ", ".join(f"{p} {mine[p]:.1f}%" for p in names),
                          all(mine[p] <= base - 15 for p in names)))
        goals.append((f"{c}: within 2 points of offline ({base:.1f}%) or better",
                      ", ".join(f"{p} {mine[p]:.1f}%" for p in names),
                      all(mine[p] <= base + 2 for p in names)))
    goals.append(("sentences lost: 0", ", ".join(f"{p} {scores[p].lost_in(goal_keys)}"
                                                  for p in names),
                  all(scores[p].lost_in(goal_keys) == 0 for p in names)))
    for p, bound in (("idle", 0.150), ("loaded", 0.300)):
        if p in names:
            m = median(readies[p])
            goals.append((f"start to \"ready\" {p}: median at most {bound * 1000:.0f} ms", ms(m),
                          m <= bound))
    goals.append(("\"stop\" to \"end\": median under 300 ms",
                  ", ".join(f"{p} {ms(median(stops[p]))}" for p in names),
                  all(median(stops[p]) < 0.300 for p in names)))
    goals.append(("flicker on clean speech: at most 10 per 100 words",
                  ", ".join(f"{p} {flick[(p, 'goal')]:.1f}" for p in names),
                  all(flick[(p, "goal")] <= 10 for p in names)))
    goals.append(("last word shown within 1 s of the end of speech (clean, median)",
                  ", ".join(f"{p} {ms(median(lasts[p]))}" for p in names),
                  all(median(lasts[p]) <= 1.0 for p in names)))
    print(f"\nGoals (conditions over {goal_label}; espeak is shown above but outside them)\n")
    print("| goal | measured | met |")
    print("|---|---|---|")
    for goal, figure, met in goals:
        print(f"| {goal} | {figure} | {'met' if met else 'NOT MET'} |")


def print_offline(items, off, voices, conditions, args):
    """The offline decoder alone, for trials of its options."""
    texts = {k: off[k]["text"] for k in items}
    scores = Scores(items, texts, texts)
    print(f"\nOffline decoder {args}\n")
    print("| voice | condition | word error rate |")
    print("|---|---|---|")
    for v in voices:
        for c in conditions:
            print(f"| {v} | {c} | {scores.wer([(v, c)]):.1f}% |")
    for c in conditions:
        print(f"| all | {c} | {scores.wer([(v, c) for v in voices]):.1f}% |")
    audio_s = sum(item.duration for item in items.values())
    print(f"\nCPU s per s of audio: {sum(off[k]['cpu'] for k in items) / audio_s:.3f}")
