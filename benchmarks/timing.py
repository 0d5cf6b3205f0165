"""Best-of-N wall-clock timing, with the cyclic collector on or paused."""

from __future__ import annotations

import gc
import time


def best_of(fn, repeat: int = 7, collector: bool = True) -> float:
    """Seconds of the fastest of `repeat` calls; `collector=False` pauses the cyclic GC around each call."""
    best = float("inf")
    for _ in range(repeat):
        was_enabled = gc.isenabled()
        gc.collect()
        if not collector:
            gc.disable()
        try:
            t0 = time.perf_counter()
            fn()
            best = min(best, time.perf_counter() - t0)
        finally:
            if was_enabled:
                gc.enable()
    return best
