"""Scoring of recognised text against the spoken sentences: word errors, words matched per
sentence, the first text line that holds a sentence's last word, and flicker (words that partial
texts showed and the final text dropped)."""

import re

ONES = "zero one two three four five six seven eight nine".split()


def normalise(text):
    """Lower case words without punctuation; digits spelled out one by one."""
    text = text.lower().replace("%", " percent ")
    text = re.sub(r"\d", lambda m: " " + ONES[int(m.group(0))] + " ", text)
    text = re.sub(r"[^a-z' ]+", " ", text)
    return [w.strip("'") for w in text.split() if w.strip("'")]


def edit_distance(ref, hyp):
    """Word errors (substitutions, deletions, insertions) between two word lists."""
    prev = list(range(len(hyp) + 1))
    for i in range(1, len(ref) + 1):
        cur = [i]
        for j in range(1, len(hyp) + 1):
            cur.append(min(prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (ref[i - 1] != hyp[j - 1])))
        prev = cur
    return prev[len(hyp)]


def errors(ref, hyp):
    """Word errors of the text hyp against the text ref, and the number of reference words."""
    r, h = normalise(ref), normalise(hyp)
    return edit_distance(r, h), len(r)


def common_pairs(a, b):
    """Index pairs (i, j) with a[i] == b[j] of a longest common subsequence of two word lists."""
    n, m = len(a), len(b)
    lcs = [[0] * (m + 1) for _ in range(n + 1)]
    for i in range(n - 1, -1, -1):
        for j in range(m - 1, -1, -1):
            lcs[i][j] = (lcs[i + 1][j + 1] + 1 if a[i] == b[j]
                         else max(lcs[i + 1][j], lcs[i][j + 1]))
    i = j = 0
    pairs = []
    while i < n and j < m:
        if a[i] == b[j]:
            pairs.append((i, j))
            i += 1
            j += 1
        elif lcs[i + 1][j] >= lcs[i][j + 1]:
            i += 1
        else:
            j += 1
    return pairs


def unmatched(final, shown):
    """Positions of `shown` that a best alignment with `final` does not match to an equal word."""
    return set(range(len(shown))) - {j for _, j in common_pairs(final, shown)}


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


def sentence_spans(sentences):
    """(first, end) word positions of each sentence in the words of all of them."""
    spans, at = [], 0
    for s in sentences:
        n = len(normalise(s))
        spans.append((at, at + n))
        at += n
    return spans


def sentence_hits(sentences, text):
    """Words of each sentence that a best alignment of the text matches: [(hits, words)]."""
    ref = [w for s in sentences for w in normalise(s)]
    matched = {i for i, _ in common_pairs(ref, normalise(text))}
    return [(sum(1 for i in range(a, b) if i in matched), b - a)
            for a, b in sentence_spans(sentences)]


def lost_sentences(sentences, final, offline_text):
    """Indices of sentences with fewer than half their words in the final text while the
    offline decoder's text holds at least half."""
    mine, theirs = sentence_hits(sentences, final), sentence_hits(sentences, offline_text)
    return [i for i, ((h, n), (h_off, _)) in enumerate(zip(mine, theirs))
            if 2 * h < n and 2 * h_off >= n]


def last_word_times(sentences, lines):
    """lines: [(time, text)] in order. For each sentence, the time of the first line that holds
    its last word (aligned against the sentences up to it), or None if none does."""
    ref = [w for s in sentences for w in normalise(s)]
    out = []
    for (_, end) in sentence_spans(sentences):
        found = None
        for t, text in lines:
            words = normalise(text)
            if ref[end - 1] not in words:
                continue
            if any(i == end - 1 for i, _ in common_pairs(ref[:end], words)):
                found = t
                break
        out.append(found)
    return out
