"""Timing of Cases: calibrated, warmed up, minimum of many short samples.

The machine is shared, and other work can slow a stretch of a second or more
by half. So every case is sampled a few times per round over many rounds that
span the whole run, and its fastest sample counts: the one least disturbed.
"""
import gc
import sys
import time

PYPY = sys.implementation.name == "pypy"
SAMPLE_NS = 5_000_000  # one sample lasts about this long
# PyPy's JIT compiles the loops, velmo's and the walker's alike, only after
# they ran a while; CPython needs one run to fill its caches.
WARMUP_NS = 600_000_000 if PYPY else 10_000_000


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


def prepare(case):
    """Warms the case up and returns its repetitions per sample."""
    reps = calibrate(case.loop)
    deadline = time.perf_counter_ns() + WARMUP_NS
    while time.perf_counter_ns() < deadline:
        case.loop(reps)
    return calibrate(case.loop)


def sample(case, reps, samples):
    """Nanoseconds per unit of the case: the fastest of `samples` samples."""
    if PYPY:
        gc.collect()
    return min(timed(case.loop, reps) for _ in range(samples)) / (reps * case.units)
