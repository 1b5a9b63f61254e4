"""The module fuzzer: generated snippets (gen.py) against the installed velmo.

    module_fuzz.py show (--seed N | --file PATH)   print the reproducer of an input
    module_fuzz.py run --python PY --seconds S      batches of seeds, each batch in a
                                                    child process of PY; any crash,
                                                    sanitizer report, misbehaviour or
                                                    hang fails, with its reproducer
    module_fuzz.py batch --first N --count C        (the child: runs those seeds)
    module_fuzz.py atheris --seconds S [dir]        coverage-guided, under atheris

An input is bytes; a seed stands for the bytes random.Random(seed) makes, so
that a run of seeds can be replayed on any interpreter.
"""

import argparse
import os
import random
import select
import signal
import subprocess
import sys
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen  # noqa: E402

INPUT_SIZE = 2048
EXIT_MISBEHAVIOUR = 3
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer", "Fatal Python error")


def seed_input(seed):
    return random.Random(seed).randbytes(INPUT_SIZE)


def run_input(data, label):
    """Runs one input; the snippet raises on misbehaviour."""
    text = gen.reproducer(data)
    exec(compile(text, label, "exec"), {"__name__": "__fuzz__"})


def report_misbehaviour(data, label):
    print(f"MISBEHAVIOUR in {label}:", flush=True)
    traceback.print_exc(file=sys.stdout)
    print(f"---- reproducer ({label}) ----\n{gen.reproducer(data)}---- end ----", flush=True)


def batch(first, count, until):
    for seed in range(first, first + count):
        if time.time() > until:
            break
        print(f"case {seed}", flush=True)
        data = seed_input(seed)
        try:
            run_input(data, f"<seed {seed}>")
        except BaseException:
            report_misbehaviour(data, f"seed {seed}")
            return EXIT_MISBEHAVIOUR
    print("batch done", flush=True)
    return 0


class Child:
    """One batch in a child process, watched for progress."""

    def __init__(self, python, first, count, until, log_path):
        self.log = open(log_path, "w")
        cmd = [python, os.path.abspath(__file__), "batch", "--first", str(first), "--count", str(count),
               "--until", str(until)]
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=self.log, text=True,
                                     start_new_session=True, cwd=os.path.dirname(log_path))
        self.current = None
        self.output = []

    def follow(self, case_timeout):
        """Reads progress until the child ends; returns 'hang' or its exit code."""
        last = time.time()
        while True:
            ready, _, _ = select.select([self.proc.stdout], [], [], 1.0)
            if ready:
                line = self.proc.stdout.readline()
                if not line:
                    break
                last = time.time()
                if line.startswith("case "):
                    self.current = int(line.split()[1])
                else:
                    self.output.append(line)
            elif time.time() - last > case_timeout:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
                return "hang"
        return self.proc.wait()


def tail(path, lines=80):
    """The end of a child's standard error, without velmo's routine reports."""
    with open(path, errors="replace") as f:
        kept = [line for line in f if not line.startswith("velmo: fatal error at")]
    return "".join(kept[-lines:])


def alone(python, seed, case_timeout, log_path):
    """Whether a failing seed fails again in a fresh process on its own."""
    child = Child(python, seed, 1, time.time() + case_timeout * 2, log_path)
    outcome = child.follow(case_timeout)
    return outcome != 0


def report_failure(python, outcome, child, case_timeout, workdir):
    seed = child.current
    log_path = child.log.name
    if outcome == EXIT_MISBEHAVIOUR:
        print("".join(child.output), end="")
        return
    what = "hang (no progress for %ds)" % case_timeout if outcome == "hang" else f"crash (exit status {outcome})"
    print(f"FAILURE: {what} at seed {seed} under {python}")
    print(f"---- last lines of its standard error ({log_path}) ----\n{tail(log_path)}---- end ----")
    again = alone(python, seed, case_timeout, os.path.join(workdir, "alone.log"))
    print(f"seed {seed} on its own in a fresh process: {'fails again' if again else 'passes (needs the batch before it)'}")
    # The generator leaves out known faults per host: ask the same interpreter.
    text = subprocess.run([python, os.path.abspath(__file__), "show", "--seed", str(seed)], capture_output=True,
                          text=True).stdout
    print(f"---- reproducer (seed {seed}) ----\n{text}---- end ----")


def run(python, seconds, case_timeout, batch_size, first, workdir):
    python = os.path.abspath(python) if os.sep in python else python
    os.makedirs(workdir, exist_ok=True)
    until = time.time() + seconds
    seed, cases = first, 0
    print(f"module fuzzer under {python}: seeds from {first}, {seconds}s", flush=True)
    while time.time() < until:
        child = Child(python, seed, batch_size, until, os.path.join(workdir, "child.log"))
        outcome = child.follow(case_timeout)
        if outcome == 0 and any(mark in tail(child.log.name, 400) for mark in SANITIZER_MARKS):
            outcome = "sanitizer report"
        if outcome != 0:
            report_failure(python, outcome, child, case_timeout, workdir)
            return 1
        done = (child.current - seed + 1) if child.current is not None else 0
        cases += done
        seed += max(done, 1)
    print(f"module fuzzer under {python}: {cases} inputs clean (seeds {first} to {seed - 1})", flush=True)
    return 0


def fuzz_atheris(seconds, workdir, extra):
    # atheris's libFuzzer must be where the module's coverage callbacks look:
    # global, and ahead of the sanitizer runtime's weak stand-ins (the caller
    # sets LD_DYNAMIC_WEAK=1 for that).
    sys.setdlopenflags(sys.getdlopenflags() | os.RTLD_GLOBAL)
    import atheris

    # The generator's own branches guide the search too.
    for name, value in list(vars(gen).items()):
        if type(value).__name__ == "function" and value.__module__ == "gen":
            setattr(gen, name, atheris.instrument_func(value))

    def one_input(data):
        try:
            run_input(data, "<atheris input>")
        except BaseException:
            report_misbehaviour(data, "atheris input")
            raise

    os.makedirs(workdir, exist_ok=True)
    corpus = os.path.join(workdir, "corpus")
    os.makedirs(corpus, exist_ok=True)
    if not os.listdir(corpus):
        # Snippets worth running need a few hundred bytes of choices: start
        # from whole random inputs rather than libFuzzer's empty one.
        for seed in range(16):
            with open(os.path.join(corpus, f"seed-{seed}"), "wb") as f:
                f.write(seed_input(seed))
    args = [sys.argv[0], corpus, f"-max_total_time={seconds}", "-timeout=60", f"-max_len={INPUT_SIZE}",
            "-len_control=0",
            "-rss_limit_mb=6144", f"-artifact_prefix={workdir}/", "-print_final_stats=1"] + extra
    atheris.Setup(args, one_input)
    atheris.Fuzz()


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="mode", required=True)
    show = sub.add_parser("show")
    show.add_argument("--seed", type=int)
    show.add_argument("--file")
    b = sub.add_parser("batch")
    b.add_argument("--first", type=int, required=True)
    b.add_argument("--count", type=int, required=True)
    b.add_argument("--until", type=float, default=float("inf"))
    r = sub.add_parser("run")
    r.add_argument("--python", required=True)
    r.add_argument("--seconds", type=float, required=True)
    r.add_argument("--case-timeout", type=float, default=60)
    r.add_argument("--batch", type=int, default=200)
    r.add_argument("--first", type=int, default=None)
    r.add_argument("--workdir", default="build/fuzz/module")
    a = sub.add_parser("atheris")
    a.add_argument("--seconds", type=int, required=True)
    a.add_argument("--workdir", default="build/fuzz/atheris")
    args, extra = parser.parse_known_args()
    if args.mode == "show":
        data = seed_input(args.seed) if args.file is None else open(args.file, "rb").read()
        sys.stdout.write(gen.reproducer(data))
        return 0
    if args.mode == "batch":
        return batch(args.first, args.count, args.until)
    if args.mode == "run":
        first = args.first if args.first is not None else random.randrange(2**40)
        return run(args.python, args.seconds, args.case_timeout, args.batch, first, os.path.abspath(args.workdir))
    return fuzz_atheris(args.seconds, os.path.abspath(args.workdir), extra)


if __name__ == "__main__":
    sys.exit(main())
