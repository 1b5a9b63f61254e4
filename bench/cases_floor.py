"""The floors: the same whole jobs done by the bare C-API module velmo_floor
(bench/floor/floor.cpp), with the same Python code around them."""
from velmo_floor import Floor

from records import record_case
from workloads import INT_NAME, STATEMENTS, TREE_NODES, Case, build_tree, repeat_calls

# The ways floor.cpp calls a Python function back, and its two ways of making a list.
CALL_VARIANTS = ["call_loop_vectorcall", "call_loop_one_arg", "call_loop_obj_args", "call_loop_tuple"]
LIST_VARIANTS = ["get_list", "get_list_append"]


def tree_value(node):
    """What the floor's tree computes: only + is built."""
    if not node.op:
        return node.left
    return tree_value(node.left) + tree_value(node.right)


def w1():
    trees = []

    def loop(reps):
        for _ in range(reps):
            trees[:] = [build_tree(Floor.literal, Floor.binary_op)]

    return Case(TREE_NODES, loop, lambda: tree_value(trees[0]))


def plus_one(a):
    return a + 1


def w4_variant(method):
    """One native loop of STATEMENTS calls back per repetition."""
    call_loop = getattr(Floor, method)

    def loop(reps):
        for _ in range(reps):
            call_loop(plus_one, STATEMENTS)

    return Case(STATEMENTS, loop, lambda: call_loop(plus_one, STATEMENTS))


def get_variant(expression):
    return repeat_calls(expression, {"q": Floor()})


def w8(method="rules_many"):
    """W8's floor: the rules in C over the whole pass, the crossings of
    run_many (rows in, results out) and nothing more."""
    return record_case(getattr(Floor(), method))


def w8_shared():
    """The same, each label one of two str made once, not a new str."""
    return w8("rules_many_shared")


def variants():
    """Every floor case, keyed by workload and variant."""
    cases = {("W1", "binary_op"): w1()}
    for method in CALL_VARIANTS:
        cases[("W4", method)] = w4_variant(method)
    cases[("W5i", "get")] = get_variant('q.get("n")')
    cases[("W5i-int", "get")] = get_variant("q.get(%d)" % INT_NAME)
    for method in LIST_VARIANTS:
        cases[("W5l", method)] = get_variant('q.%s("lst")' % method)
    return cases
