"""Timing of one Case: calibrated, warmed up, minimum of several samples.

The machine is shared, so samples are short and many: the fastest of them is
the one least disturbed by other work.
"""
import gc
import sys
import time

PYPY = sys.implementation.name == "pypy"
SAMPLE_NS = 5_000_000  # one sample lasts about this long
# PyPy's JIT compiles the loops, velmo's and the walker's alike, only after
# they ran a while; CPython needs one run to fill its caches.
FIRST_WARMUP_NS = 600_000_000 if PYPY else 10_000_000
WARMUP_NS = 10_000_000  # later rounds, the loops already compiled


def timed(loop, reps):
    """Nanoseconds for loop(reps). CPython's cycle collector is held off, as
    timeit does. PyPy's collector is left on: held off, it lets the objects
    that C extensions create pile up, and every call gets slower."""
    if not PYPY:
        gc.disable()
    try:
        start = time.perf_counter_ns()
        loop(reps)
        return time.perf_counter_ns() - start
    finally:
        gc.enable()


def calibrate(loop):
    """The number of repetitions that makes one sample last about SAMPLE_NS."""
    reps = 1
    elapsed = timed(loop, reps)
    while elapsed < SAMPLE_NS // 10:
        reps *= 10
        elapsed = timed(loop, reps)
    return max(1, round(reps * SAMPLE_NS / max(elapsed, 1)))


def warm_up(loop, reps, duration_ns):
    deadline = time.perf_counter_ns() + duration_ns
    while time.perf_counter_ns() < deadline:
        loop(reps)


def measure(case, samples, first):
    """Nanoseconds per unit of the case: the fastest of `samples` samples.
    `first` is true on the case's first measurement, which warms it up."""
    warm_up(case.loop, calibrate(case.loop), FIRST_WARMUP_NS if first else WARMUP_NS)
    reps = calibrate(case.loop)
    best = min(timed(case.loop, reps) for _ in range(samples))
    return best / (reps * case.units)
