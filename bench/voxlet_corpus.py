"""The dictation corpus of the voxlet benchmark: sentences spoken by synthetic voices, each followed
by a pause, under several listening conditions, with the time where each sentence's speech ends.

Conditions: clean; pink noise at 20 and 10 dB SNR; reverberation; telephone band; babble at
10 dB SNR (three other voices speaking other sentences at once).
"""

import dataclasses
import os
import re
import shutil
import subprocess
import tempfile

# Dictation-style sentences, about 3 s of speech each. No digits: the reference is the spoken
# words.
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

# What the voices of the babble say: none of it is in the sentences above.
BABBLE_SENTENCES = [
    "the garden behind the old house was full of roses in june",
    "he said the children would rather play outside after school",
    "most of the shops along the river close early on sundays",
    "she painted the kitchen yellow because it gets little light",
    "nobody knew where the old map had been hidden all these years",
    "the football match was cancelled because of the heavy rain",
]

VOICES = ["rms", "slt", "awb", "kal16", "espeak"]
GOAL_VOICES = ["rms", "slt", "awb", "kal16"]  # espeak-ng is heard poorly by both decoders
CONDITIONS = ["clean", "pink20", "pink10", "reverb", "phone", "babble10"]
BABBLE_VOICES = ["kal", "awb", "slt", "rms"]  # kal is kal16's speaker
LEAD_S = 0.5
PAUSE_S = 1.2  # silence after each sentence; the decoder closes an utterance after 0.5 s
TAIL_S = 0.3  # after the last sentence: the file ends, and the bench stops, this long after it


@dataclasses.dataclass
class Item:
    path: str  # 16 kHz mono
    sentences: list
    ends: list  # seconds from the file's start where each sentence's speech ends
    duration: float

    def reference(self):
        return " ".join(self.sentences)


def run(cmd, **kw):
    """Runs a command; sox in its repeatable mode: it dithers every 16-bit file it writes, and
    noisy speech decoded from files that differ only in their dither differs by up to 17 points
    of word errors per voice, so runs on different days would not compare the same files."""
    if cmd[0] == "sox" and "-R" not in cmd:
        cmd = ["sox", "-R", *cmd[1:]]
    return subprocess.run(cmd, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)


def duration(wav):
    return float(run(["soxi", "-D", wav], text=True).stdout)


def rms(wav):
    out = run(["sox", wav, "-n", "stat"], text=True).stderr
    return float(re.search(r"RMS\s+amplitude:\s+([\d.e-]+)", out).group(1))


def trailing_silence(wav):
    """Seconds of near silence (below 0.5% of full scale) at the end of a file."""
    out = run(["sox", wav, "-n", "reverse", "silence", "1", "0.01", "0.5%", "stat"],
              text=True).stderr
    return duration(wav) - float(re.search(r"Length \(seconds\):\s+([\d.]+)", out).group(1))


def speak(voice, text, path, tmp):
    raw = os.path.join(tmp, "raw.wav")
    if voice == "espeak":
        run(["espeak-ng", "-v", "en-us", "-w", raw, text])
    else:
        run(["flite", "-voice", voice, "-t", text, "-o", raw])
    run(["sox", raw, "-r", "16000", "-c", "1", "-b", "16", path])


def sentences_for(voice_index, count):
    """`count` sentences for the voice_index-th voice; with fewer than all, each voice gets the
    next ones, so that the voices together still cover the list."""
    n = len(SENTENCES)
    if count >= n:
        return list(SENTENCES)
    return [SENTENCES[(voice_index * count + j) % n] for j in range(count)]


def babble(root, voice, dur, tmp):
    """Three voices other than `voice` speaking the babble sentences at once, `dur` long."""
    others = [b for b in BABBLE_VOICES if b != voice and not (voice == "kal16" and b == "kal")]
    tracks = []
    for k, other in enumerate(others[:3]):
        track = os.path.join(root, f"babble-{other}.wav")
        if not os.path.exists(track):
            parts = []
            for i, s in enumerate(BABBLE_SENTENCES):
                p = os.path.join(tmp, f"b{other}{i}.wav")
                speak(other, s, p, tmp)
                parts.append(p)
            run(["sox", *parts, track])
        # Each voice starts at another point of its track, looped to the length needed.
        shifted = os.path.join(tmp, f"bs{k}.wav")
        reps = int(dur / duration(track)) + 2
        run(["sox", track, shifted, "repeat", str(reps), "trim", f"{1.7 * k:.2f}", f"{dur:.3f}"])
        tracks.append(shifted)
    out = os.path.join(tmp, "babble.wav")
    run(["sox", "-m", *tracks, out])
    return out


def mix_at_snr(clean, noise, speech_rms, snr_db, out):
    gain = speech_rms / (10 ** (snr_db / 20)) / rms(noise)
    run(["sox", "-m", "-v", "0.5", clean, "-v", f"{0.5 * gain:.6f}", noise, out])


def make_voice(root, voice, sentences, conditions):
    """The files of one voice: {condition: Item}."""
    tmp = tempfile.mkdtemp(dir=root)
    parts, speech, ends, at = [], [], [], LEAD_S
    for i, s in enumerate(sentences):
        p = os.path.join(tmp, f"{i}.wav")
        speak(voice, s, p, tmp)
        speech.append(p)
        length = duration(p)
        ends.append(at + length - trailing_silence(p))
        pause = PAUSE_S if i + 1 < len(sentences) else 0.0
        padded = os.path.join(tmp, f"{i}p.wav")
        run(["sox", p, padded, "pad", "0", str(pause)])
        parts.append(padded)
        at += length + pause
    # The file ends TAIL_S after the last sentence's speech (its own trailing silence counts).
    last_silence = at - ends[-1]
    clean = os.path.join(root, f"{voice}-clean.wav")
    run(["sox", *parts, clean, "pad", str(LEAD_S), str(max(0.0, TAIL_S - last_silence)),
         "trim", "0", f"{ends[-1] + TAIL_S:.3f}", "gain", "-n", "-3"])
    only = os.path.join(tmp, "speech.wav")
    run(["sox", *speech, only, "gain", "-n", "-3"])
    level = rms(only)
    dur = duration(clean)
    items = {}
    for cond in conditions:
        out = os.path.join(root, f"{voice}-{cond}.wav")
        if cond == "clean":
            out = clean
        elif cond.startswith("pink"):
            noise = os.path.join(tmp, "noise.wav")
            # Repeatable noise: runs on different days compare on the same files.
            run(["sox", "-n", "-r", "16000", "-c", "1", "-b", "16", noise,
                 "synth", str(dur), "pinknoise", "vol", "0.3"])
            mix_at_snr(clean, noise, level, float(cond[4:]), out)
        elif cond.startswith("babble"):
            mix_at_snr(clean, babble(root, voice, dur, tmp), level, float(cond[6:]), out)
        elif cond == "reverb":
            run(["sox", clean, out, "reverb", "50", "50", "100", "gain", "-n", "-3"])
        elif cond == "phone":
            narrow = os.path.join(tmp, "narrow.wav")
            run(["sox", clean, "-r", "8000", narrow, "sinc", "300-3400"])
            run(["sox", narrow, "-r", "16000", out])
        else:
            raise ValueError(f"unknown condition {cond}")
        items[cond] = Item(out, list(sentences), list(ends), duration(out))
    shutil.rmtree(tmp, ignore_errors=True)
    return items


def make_corpus(root, voices=VOICES, conditions=CONDITIONS, per_voice=len(SENTENCES)):
    """16 kHz files root/<voice>-<condition>.wav. Returns {(voice, condition): Item}."""
    os.makedirs(root, exist_ok=True)
    files = {}
    for k, voice in enumerate(voices):
        for cond, item in make_voice(root, voice, sentences_for(k, per_voice), conditions).items():
            files[(voice, cond)] = item
    return files


def to48(wav, out):
    """The file as the private server's sink takes it."""
    run(["sox", wav, "-r", "48000", "-e", "floating-point", "-b", "32", out])
    return out
