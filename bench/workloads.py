"""The workloads every column runs: their sizes, their expected results, and
the shape of one measurable case.

Each column module (cases_velmo, cases_walker, cases_ast, cases_lua,
cases_floor) offers a function per workload it can run, named after the
workload's key in lower case (W5i-int becomes w5i_int), returning a Case.
"""

LEAVES = 1024  # W1, W2, W2b: a balanced + tree of 2,047 nodes
TREE_NODES = 2 * LEAVES - 1
STATEMENTS = 1000  # W3, W4, W7
IF_DEPTH = 200  # W6
CALL_UNROLL = 10  # calls per loop iteration in the per-call workloads

X_VALUE = 7  # the variable x of W2b
BIG_N = 10**12  # n of W6: no condition n < i holds
INT_VALUE = 1000003  # W5i: above every small-int cache
INT_NAME = 5  # W5i-int: the same value under an int name
LIST_VALUE = list(range(1000, 1100))  # W5l: 100 ints, none cached
DONE = 200  # W6: bound by the innermost otherwise, so the run has a result

EXPECTED = {
    "W1": sum(range(LEAVES)),
    "W2": sum(range(LEAVES)),
    "W2b": sum(range(0, LEAVES, 2)) + X_VALUE * (LEAVES // 2),
    "W3": STATEMENTS - 1,
    "W4": (1, STATEMENTS),
    "W5i": INT_VALUE,
    "W5i-int": INT_VALUE,
    "W5l": LIST_VALUE,
    "W6": DONE,
    "W7": "x" * STATEMENTS,
}

# (key, what one unit is, what it does); the order of the table rows.
WORKLOADS = [
    ("W1", "builder call", "build a balanced + tree of 2,047 nodes"),
    ("W2", "node", "r = balanced + tree of 1,024 int literals"),
    ("W2b", "node", "the same tree with every odd leaf the variable x"),
    ("W3", "statement", "x_i = x_{i-1} + 1, 1,000 lets"),
    ("W4", "call", "y_i = f(i), f a bound Python function, 1,000 lets"),
    ("W5i", "call", 'get("n") of an int'),
    ("W5i-int", "call", "get(5) of an int"),
    ("W5l", "call", 'get("lst") of a list of 100 ints'),
    ("W6", "if", "200 nested ifs on n < i, all false"),
    ("W7", "concatenation", 'a = a + "x", 1,000 lets'),
]


class Case:
    """One measurable thing: loop(reps) does the work reps times, each time
    `units` units of it; result() reads back what the last run produced (or
    None when there is nothing to compare). stage(reps) makes ready, outside
    the timed region, the inputs that the next loop(reps) consumes, and
    release() drops them and what the loop made, after the timed region
    (both do nothing for a case that runs on the same inputs every time).
    `threads` is true for a case whose work runs on threads of a library's
    pool, not on the calling one: its samples are judged undisturbed by the
    process's CPU time rather than the thread's (see timing.py)."""

    def __init__(self, units, loop, result=None, stage=None, release=None, threads=False):
        self.units = units
        self.loop = loop
        self.result = result or (lambda: None)
        self.stage = stage or (lambda reps: None)
        self.release = release or (lambda: None)
        self.threads = threads


def repeat_calls(expression, names):
    """A Case that evaluates `expression` CALL_UNROLL times per iteration,
    with `names` as locals of the loop, so that the loop's own cost is small
    next to the calls."""
    params = "".join(", %s=%s" % (n, n) for n in names)
    body = "".join("        %s\n" % expression for _ in range(CALL_UNROLL))
    source = "def loop(reps%s):\n    for _ in range(reps):\n%s" % (params, body)
    namespace = dict(names)
    exec(source, namespace)
    result = eval("lambda: " + expression, dict(names))
    return Case(CALL_UNROLL, namespace["loop"], result)


def repeat_runs(run, units, result=None):
    """A Case whose one unit of work is a call of run()."""

    def loop(reps):
        for _ in range(reps):
            run()

    return Case(units, loop, result)


def build_tree(literal, binary_op):
    """The W1 build, the same code for every column that builds through calls."""
    level = [literal(i) for i in range(LEAVES)]
    while len(level) > 1:
        level = [binary_op(level[i], "+", level[i + 1]) for i in range(0, len(level), 2)]
    return level[0]
