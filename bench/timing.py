"""Timing of Cases: calibrated, warmed up, minimum of many short samples.

The machine is shared with other work, which takes the processor away from
the benchmark for whole time slices and can slow it for seconds. So samples
are short, each case is sampled a few times per round over many rounds that
span the whole run, and a sample counts only if the thread ran for nearly all
of its wall-clock time (it was not descheduled). The fastest such sample is
the case's figure.
"""
import gc
import sys
import time

PYPY = sys.implementation.name == "pypy"
SAMPLE_NS = 2_000_000  # one sample lasts about this long
# PyPy's JIT compiles the loops, velmo's and the walker's alike, only after
# they ran a while; CPython needs one run to fill its caches.
WARMUP_NS = 600_000_000 if PYPY else 10_000_000
UNDISTURBED = 0.95  # least share of a sample's wall-clock time spent running


def untimed(case, reps):
    case.stage(reps)
    case.loop(reps)


def timed(case, reps):
    """(wall-clock ns, CPU ns) of case.loop(reps), its inputs staged
    beforehand and released afterwards. CPython's cycle collector is held off, as timeit does. PyPy's
    collector is left on: held off, it lets the objects that C extensions
    create pile up, and every call gets slower. The CPU time is the
    thread's, or the whole process's for a case that works on a pool of
    threads, whose calling thread mostly waits."""
    clock = time.process_time_ns if case.threads else time.thread_time_ns
    case.stage(reps)
    if not PYPY:
        gc.disable()
    try:
        cpu = clock()
        start = time.perf_counter_ns()
        case.loop(reps)
        wall = time.perf_counter_ns() - start
        return wall, clock() - cpu
    finally:
        gc.enable()
        case.release()


def fastest(case, reps):
    return min(timed(case, reps)[0] for _ in range(3))


def calibrate(case):
    """The number of repetitions that makes one sample last about SAMPLE_NS."""
    reps = 1
    while fastest(case, reps) < SAMPLE_NS // 10:
        reps *= 10
    return max(1, round(reps * SAMPLE_NS / max(fastest(case, reps), 1)))


def prepare(case):
    """Warms the case up and returns its repetitions per sample."""
    reps = calibrate(case)
    deadline = time.perf_counter_ns() + WARMUP_NS
    while time.perf_counter_ns() < deadline:
        untimed(case, reps)
    case.release()
    return calibrate(case)


class Best:
    """The fastest undisturbed sample of a case so far, in ns per unit, and
    the fastest of all for a case that never ran undisturbed."""

    def __init__(self):
        self.undisturbed = self.any = float("inf")

    def sample(self, case, reps, samples):
        """Takes `samples` samples; returns how many ran undisturbed."""
        untimed(case, reps)  # back to this case's steady state after the others ran
        case.release()
        undisturbed = 0
        for _ in range(samples):
            wall, cpu = timed(case, reps)
            ns = wall / (reps * case.units)
            self.any = min(self.any, ns)
            if cpu >= UNDISTURBED * wall:
                self.undisturbed = min(self.undisturbed, ns)
                undisturbed += 1
        return undisturbed

    @property
    def ns(self):
        return self.undisturbed if self.undisturbed < float("inf") else self.any
