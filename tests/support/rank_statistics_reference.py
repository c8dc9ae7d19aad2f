#!/usr/bin/env python3
"""Reference figures for the verdict's statistics, computed the plain way from the definitions.

Reads a JSON array of cases {"baseline": [...], "run": [...]} on stdin; writes a JSON array of
{"baselineMedian", "runMedian", "shift", "low", "high", "p"} (low and high null when no 99 % interval
exists). Every pairwise difference is listed and sorted; ranks come from sorting the pooled values.
Standard library only."""
import json
import math
import statistics
import sys

Z99 = statistics.NormalDist().inv_cdf(0.995)


def compare(x, y):
    m, n = len(x), len(y)
    differences = sorted(b - a for a in x for b in y)
    pooled = sorted(x + y)
    # Mean rank of each distinct value, and the tie groups' sizes.
    first, count = {}, {}
    for rank, value in enumerate(pooled, start=1):
        first.setdefault(value, rank)
        count[value] = count.get(value, 0) + 1
    mean_rank = {v: first[v] + (count[v] - 1) / 2 for v in first}
    u = sum(mean_rank[v] for v in y) - n * (n + 1) / 2
    total = m + n
    variance = m * n / 12 * ((total + 1) - sum(t**3 - t for t in count.values()) / (total * (total - 1)))
    if variance > 0:
        z = (abs(u - m * n / 2) - 0.5) / math.sqrt(variance)
        p = min(1.0, math.erfc(z / math.sqrt(2)))
    else:
        p = 1.0
    c = math.floor(m * n / 2 - Z99 * math.sqrt(max(variance, 0)))
    return {
        "baselineMedian": statistics.median(x),
        "runMedian": statistics.median(y),
        "shift": statistics.median(differences),
        "low": differences[c - 1] if c >= 1 else None,
        "high": differences[m * n - c] if c >= 1 else None,
        "p": p,
    }


json.dump([compare(case["baseline"], case["run"]) for case in json.load(sys.stdin)], sys.stdout)
