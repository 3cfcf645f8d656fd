"""Timing of awaited calls: medians of interleaved batches in one process,
as bench/harness.py times plain calls.

Every candidate runs one batch per round, the order rotating between rounds;
the garbage collector is off during a batch and collects between rounds. A
candidate that writes has a reset, run after each batch and outside its time,
that puts the data back as it was; the candidates of a write all make the
same number of calls a batch.
"""

from __future__ import annotations

import gc
import statistics
import time
from collections.abc import Awaitable, Callable
from dataclasses import dataclass
from typing import Any


@dataclass(frozen=True)
class Candidate:
    name: str
    call: Callable[[], Awaitable[Any]]
    reset: Callable[[], Awaitable[None]] | None = None


async def _batch(c: Candidate, n: int) -> float:
    """Seconds for n calls in a row (the reset after them not counted)."""
    call = c.call
    enabled = gc.isenabled()
    gc.disable()
    try:
        start = time.perf_counter()
        for _ in range(n):
            await call()
        elapsed = time.perf_counter() - start
    finally:
        if enabled:
            gc.enable()
    if c.reset is not None:
        await c.reset()
    return elapsed


async def _calibrate(c: Candidate, batch_seconds: float) -> tuple[int, float]:
    """Calls per batch so that a batch lasts about batch_seconds, and the wall
    time of such a batch with its reset."""
    start = time.perf_counter()
    first = await _batch(c, 1)  # connections made, statements prepared, caches warm
    if first >= batch_seconds:
        return 1, time.perf_counter() - start  # a slow call: one per batch
    n = 1
    while True:
        start = time.perf_counter()
        t = await _batch(c, n)
        wall = time.perf_counter() - start
        if t >= batch_seconds / 4 or n >= 1 << 16:
            per_call = t / n
            calls = max(1, round(batch_seconds / per_call))
            return calls, wall * calls / n
        n *= 4


async def measure(candidates: list[Candidate], *, rounds: int, batch_seconds: float, budget_seconds: float,
                  min_rounds: int) -> dict[str, float]:
    """Median seconds per call of every candidate. Rounds are cut (never below
    min_rounds) so that the group stays within its budget."""
    plans = [(c, *(await _calibrate(c, batch_seconds))) for c in candidates]
    if any(c.reset is not None for c in candidates):
        # Writes: every candidate makes as many calls a batch, so that each
        # batch leaves the table as it found it (dead rows, free space) alike.
        n = min(calls for _, calls, _ in plans)
        plans = [(c, n, wall * n / calls) for c, calls, wall in plans]
    round_cost = sum(wall for _, _, wall in plans)
    rounds = max(min_rounds, min(rounds, int(budget_seconds / max(round_cost, 1e-9))))
    samples: dict[str, list[float]] = {c.name: [] for c in candidates}
    for r in range(rounds):
        gc.collect()
        shift = r % len(plans)
        for c, n, _ in plans[shift:] + plans[:shift]:
            samples[c.name].append(await _batch(c, n) / n)
    return {name: statistics.median(s) for name, s in samples.items()}
