"""measure.py MODE COUNT: makes COUNT Holder objects in four rounds, each
holder keeping a closure over a 1 kB text, dropping them and collecting after
every round. Prints "live_at_end traverse_calls rss_growth_mb_after_round_1
rss_growth_mb_at_end tracked". MODE "cycle" lets each closure refer back to its
holder (holder -> closure -> holder); MODE "plain" does not. A host whose heap
does not shrink (PyPy) shows its high-water mark after the first round; what
matters is whether later rounds add to it. gc_probe must be importable."""
import gc
import os
import sys

import gc_probe

ROUNDS = 4


def rss_mb():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def collect():
    for _ in range(3):
        gc.collect()


def make(mode, i):
    holder = gc_probe.Holder()
    text = "x" * 1000 + str(i)
    if mode == "cycle":
        holder.held = lambda: (holder, text)
    else:
        holder.held = lambda: text
    return holder


def main(mode, count):
    tracked = gc.is_tracked(gc_probe.Holder()) if hasattr(gc, "is_tracked") else "n/a"
    collect()
    before = rss_mb()
    growth = []
    for _ in range(ROUNDS):
        for i in range(count // ROUNDS):
            make(mode, i)
        collect()
        growth.append(rss_mb() - before)
    print(gc_probe.live(), gc_probe.traversed(), f"{growth[0]:.0f}", f"{growth[-1]:.0f}", tracked)


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]))
