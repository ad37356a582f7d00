#!/usr/bin/env python3
"""Transcript formatter accuracy on held-out dictation sentences.

Usage: bench/voxlet-format-bench.py [--tool build/bin/voxlet_format_lines] [--set FILE] [-v]

Each line of the set holds the decoder's words (closing segments separated by " | ") and the
text a careful typist writes, separated by a tab; "#" starts a comment line. Prints the share of
sentences whose formatted text equals the typist's, and with -v every sentence that differs.
Build the tool first: cmake --build build --target voxlet_format_lines
"""
import argparse
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def format_accuracy(tool, path):
    """(sentences formatted as the typist wrote them, all sentences, [(spoken, typed, got)])."""
    pairs = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            spoken, typed = line.split("\t")
            pairs.append((spoken, typed))
    r = subprocess.run([tool], input="".join(s + "\n" for s, _ in pairs),
                       capture_output=True, text=True, check=True)
    got = r.stdout.split("\n")[:len(pairs)]
    misses = [(s, t, g) for (s, t), g in zip(pairs, got) if g != t]
    return len(pairs) - len(misses), len(pairs), misses


def main():
    ap = argparse.ArgumentParser(description="transcript formatter accuracy")
    ap.add_argument("--tool", default=os.path.join(HERE, "..", "build", "bin", "voxlet_format_lines"))
    ap.add_argument("--set", default=os.path.join(HERE, "format-heldout.tsv"))
    ap.add_argument("-v", "--verbose", action="store_true", help="print every mismatch")
    a = ap.parse_args()

    exact, n, misses = format_accuracy(a.tool, a.set)
    if a.verbose:
        for s, t, g in misses:
            print(f"spoken:   {s}\nexpected: {t}\ngot:      {g}\n")
    print(f"formatted sentences equal to the typist's: {exact}/{n} "
          f"= {100.0 * exact / n:.1f}% (goal 90%)")
    return 0 if exact * 10 >= n * 9 else 1


if __name__ == "__main__":
    sys.exit(main())
