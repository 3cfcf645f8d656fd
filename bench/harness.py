"""Timing: medians of interleaved batches, inside one process.

Every candidate of a group runs one batch per round, in an order that rotates
from round to round, so slow phases of a shared machine hit all of them alike;
a ratio is taken between medians of the same group.
"""

from __future__ import annotations

import gc
import statistics
import time
from collections.abc import Callable
from dataclasses import dataclass
from itertools import repeat
from typing import Any


@dataclass(frozen=True)
class Candidate:
    name: str
    func: Callable[..., Any]
    args: tuple[Any, ...] = ()


def _batch(c: Candidate, n: int) -> float:
    f, args = c.func, c.args
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        start = time.perf_counter()
        for _ in repeat(None, n):
            f(*args)
        return time.perf_counter() - start
    finally:
        if gc_was_enabled:
            gc.enable()


def _calibrate(c: Candidate, batch_seconds: float) -> tuple[int, float]:
    """Calls per batch so that a batch lasts about batch_seconds, and the time of one call."""
    c.func(*c.args)  # warm caches and lazy imports
    n = 1
    while True:
        t = _batch(c, n)
        if t >= batch_seconds / 4 or n >= 1 << 22:
            per_call = t / n
            return max(1, round(batch_seconds / per_call)) if per_call < batch_seconds else 1, per_call
        n *= 4


def measure(
    candidates: list[Candidate],
    *,
    rounds: int = 15,
    batch_seconds: float = 0.01,
    budget_seconds: float = 6.0,
) -> dict[str, float]:
    """Median seconds per call of every candidate. Slow candidates run fewer
    rounds (never under 5) so that the group stays within its budget."""
    plans = [(c, *_calibrate(c, batch_seconds)) for c in candidates]
    round_cost = sum(max(n * per_call, per_call) for _, n, per_call in plans)
    rounds = max(5, min(rounds, int(budget_seconds / max(round_cost, 1e-9))))
    samples: dict[str, list[float]] = {c.name: [] for c in candidates}
    for r in range(rounds):
        gc.collect()
        shift = r % len(plans)
        for c, n, _ in plans[shift:] + plans[:shift]:
            samples[c.name].append(_batch(c, n) / n)
    return {name: statistics.median(s) for name, s in samples.items()}
