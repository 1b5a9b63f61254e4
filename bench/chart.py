"""Draws the bench's results as one SVG: velmo against its peers on W8 (one
rule set over many records), on W9 (the same rules over a table) and on the
engine workloads, one column of panels per interpreter, in ns per unit on a
log scale.

    chart.py OUT.svg WHERE PYPY.json CPYTHON.json

The JSON files are those bench.py writes. WHERE says when and on what
machine they were measured; with the interpreters' versions it makes the
caption under the title, which is also printed, for the README. Run by
bench/run.sh under CPython, where matplotlib is installed.
"""
import json
import sys

import matplotlib

matplotlib.use("svg")
import matplotlib.pyplot as plt  # noqa: E402  (the backend is chosen first)

from formats import number  # noqa: E402

# The SVG keeps its text as text, in the reader's fonts, which keeps it small.
matplotlib.rcParams.update({"svg.fonttype": "none", "svg.hashsalt": "velmo-bench", "font.size": 9})

# (key, label, colour): the bars of each panel, top to bottom. velmo's bars
# are orange, the Python peers blue, Lua green, the pure-Python ones grey.
W8_BARS = [
    ("run_many", "velmo, run_many", "#d94801"),
    ("update", "velmo, update + run + get", "#f16913"),
    ("builders", "velmo, builders + run + get", "#fdae6b"),
    ("python", "hand-written Python function", "#08519c"),
    ("ast-once", "Python ast compiled once", "#6baed6"),
    ("lua-once", "Lua compiled once (LuaJIT)", "#31a354"),
    ("walker", "pure-Python tree walker", "#737373"),
    ("simpleeval", "simpleeval", "#bdbdbd"),
    ("asteval", "asteval", "#d9d9d9"),
    ("floor", "C-API floor: the rules in C", "#9e9ac8"),
]
W9_BARS = [
    ("run_columns", "velmo, run_columns", "#d94801"),
    ("run_many", "velmo, run_many", "#f16913"),
    ("python", "hand-written Python function", "#08519c"),
    ("numpy", "numpy np.where", "#6baed6"),
    ("polars", "polars expressions", "#31a354"),
    ("duckdb", "DuckDB, one SQL query", "#74c476"),
    ("arrow", "pyarrow.compute kernels", "#a1d99b"),
]
ENGINE_BARS = [
    ("velmo", "velmo", "#d94801"),
    ("ast-once", "Python compiled once", "#6baed6"),
    ("lua-once", "Lua compiled once (LuaJIT)", "#31a354"),
    ("walker", "pure-Python tree walker", "#737373"),
]
ENGINE_WORKLOADS = [
    ("W2b", "W2b: a + tree over ints and a name"),
    ("W3", "W3: 1,000 lets of x_i = x_(i-1) + 1"),
    ("W6", "W6: 200 nested ifs"),
    ("W7", "W7: 1,000 text concatenations"),
]


def bars_panel(ax, figures, bars):
    """One bar per column, top to bottom, "not run here" for a missing one."""
    rows = list(reversed(bars))
    for y, (key, label, colour) in enumerate(rows):
        ns = figures.get(key)
        if ns is None:
            ax.text(0.01, y, "not run here", va="center", fontsize=8, color="#737373", transform=ax.get_yaxis_transform())
            continue
        ax.barh(y, ns, color=colour, height=0.7)
        ax.text(ns * 1.08, y, number(ns), va="center", fontsize=8)
    ax.set_yticks(range(len(rows)), [label for _, label, _ in rows])
    ax.set_xlabel("ns per record (log scale; shorter is faster)")


def w8_panel(ax, results):
    bars_panel(ax, results["figures"].get("W8", {}), W8_BARS)
    ax.set_title("%s (Python %s)\nW8: five rules over 10,000 records" % (results["interpreter"], results["python"]))


def w9_panel(ax, results):
    bars_panel(ax, results["figures"].get("W9", {}), W9_BARS)
    form = "a list of str and numpy arrays" if "PyPy" in results["interpreter"] else "a pyarrow table"
    ax.set_title("W9: the same rules over a table, in and out\n(%s of %s records)"
                 % (form, format(results.get("w9_records", 0), ",")))


def engine_panel(ax, results):
    figures = results["figures"]
    width = 0.8 / len(ENGINE_BARS)
    ticks = []
    for row, (workload, title) in enumerate(reversed(ENGINE_WORKLOADS)):
        ticks.append("%s\n(ns per %s)" % (title, results["units"][workload]))
        for i, (key, label, colour) in enumerate(reversed(ENGINE_BARS)):
            ns = figures.get(workload, {}).get(key)
            y = row + (i - (len(ENGINE_BARS) - 1) / 2) * width
            if ns is None:
                continue
            ax.barh(y, ns, color=colour, height=width * 0.9, label=label if row == 0 else None)
            ax.text(ns * 1.08, y, number(ns), va="center", fontsize=7)
    ax.set_yticks(range(len(ENGINE_WORKLOADS)), ticks)
    ax.set_xlabel("ns per unit (log scale; shorter is faster)")
    ax.set_title("The engine workloads, run many times on one machine")


def draw(out, caption, runs):
    fig, axes = plt.subplots(3, len(runs), figsize=(6.2 * len(runs), 14), sharex="row",
                             gridspec_kw={"height_ratios": [1, 0.85, 1.15]})
    for column, results in enumerate(runs):
        w8_panel(axes[0][column], results)
        w9_panel(axes[1][column], results)
        engine_panel(axes[2][column], results)
    for ax in axes.flat:
        ax.set_xscale("log")
        ax.spines[["top", "right"]].set_visible(False)
        ax.grid(axis="x", which="major", color="#e0e0e0", linewidth=0.6)
        ax.set_axisbelow(True)
        ax.margins(x=0.18)
    for row in axes:  # the labels of the right-hand panels repeat the left's
        for ax in row[1:]:
            ax.tick_params(labelleft=False)
    # One legend for the engine panels: the interpreter with the most bars.
    handles, labels = max((ax.get_legend_handles_labels() for ax in axes[2]), key=lambda h: len(h[1]))
    fig.legend(handles[::-1], labels[::-1], loc="lower center", ncol=len(labels), frameon=False)
    fig.suptitle("velmo against its peers", fontsize=13, fontweight="bold")
    height = fig.get_figheight()  # the caption and the panels' top, in inches from the figure's top
    fig.text(0.5, 1 - 0.52 / height, caption, ha="center", fontsize=8.5, color="#404040", wrap=True)
    # Slack on the left for labels in a wider font than matplotlib measured.
    fig.tight_layout(rect=(0.03, 0.03, 1, 1 - 0.62 / height))
    fig.savefig(out, format="svg", metadata={"Date": None})


def versions(runs):
    """The interpreters, and the Lua that ran, as the caption names them."""
    names = []
    for results in runs:
        if results["interpreter"] == "CPython":
            names.append("CPython %s" % results["python"])
        else:
            names.append("%s (Python %s)" % (results["interpreter"], results["python"]))
    lua = [results["lua"] for results in runs if results["lua"]]
    return " and ".join(names) + ("; Lua compiled once on %s" % lua[0] if lua else "")


def main():
    out, where, *paths = sys.argv[1:]
    runs = []
    for path in paths:
        with open(path, encoding="utf-8") as results:
            runs.append(json.load(results))
    caption = "%s, under %s." % (where, versions(runs))
    draw(out, caption, runs)
    print(caption)


if __name__ == "__main__":
    main()
