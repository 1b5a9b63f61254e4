"""The workloads as Python code: an ast module built once, then compiled
afresh and executed on every run, as a program generated at run time would be.
The run workloads take the runner, so that cases_ast_once can compile once."""
import ast

from workloads import (BIG_N, DONE, IF_DEPTH, INT_VALUE, LEAVES, LIST_VALUE, STATEMENTS, TREE_NODES,
                       X_VALUE, Case, repeat_calls, repeat_runs)

ADD = ast.Add()


def name(text, store=False):
    return ast.Name(text, ast.Store() if store else ast.Load())


def assign(target, value):
    return ast.Assign([name(target, store=True)], value)


def balanced(leaf):
    level = [leaf(i) for i in range(LEAVES)]
    while len(level) > 1:
        level = [ast.BinOp(level[i], ADD, level[i + 1]) for i in range(0, len(level), 2)]
    return level[0]


def w1():
    trees = []

    def loop(reps):
        for _ in range(reps):
            trees[:] = [balanced(ast.Constant)]

    def result():
        expression = ast.fix_missing_locations(ast.Expression(trees[0]))
        return eval(compile(expression, "<w1>", "eval"))

    return Case(TREE_NODES, loop, result)


def compiled_per_run(module, namespace):
    """A run: the module compiled, then executed."""
    return lambda: exec(compile(module, "<bench>", "exec"), namespace)


def compiled_once(module, namespace):
    """A run: the module's code, compiled beforehand, executed."""
    code = compile(module, "<bench>", "exec")
    return lambda: exec(code, namespace)


def run_case(statements, units, read, namespace, runner):
    module = ast.fix_missing_locations(ast.Module(statements, type_ignores=[]))
    namespace = dict(namespace)
    return repeat_runs(runner(module, namespace), units, lambda: read(namespace))


def w2(runner=compiled_per_run):
    return run_case([assign("r", balanced(ast.Constant))], TREE_NODES, lambda ns: ns["r"], {}, runner)


def w2b(runner=compiled_per_run):
    tree = balanced(lambda i: name("x") if i % 2 else ast.Constant(i))
    return run_case([assign("r", tree)], TREE_NODES, lambda ns: ns["r"], {"x": X_VALUE}, runner)


def w3(runner=compiled_per_run):
    statements = [assign("x0", ast.Constant(0))]
    for i in range(1, STATEMENTS):
        statements.append(assign("x%d" % i, ast.BinOp(name("x%d" % (i - 1)), ADD, ast.Constant(1))))
    return run_case(statements, STATEMENTS, lambda ns: ns["x%d" % (STATEMENTS - 1)], {}, runner)


def plus_one(a):
    return a + 1


def w4(runner=compiled_per_run):
    statements = [assign("y%d" % i, ast.Call(name("f"), [ast.Constant(i)], [])) for i in range(STATEMENTS)]
    read = lambda ns: (ns["y0"], ns["y%d" % (STATEMENTS - 1)])
    return run_case(statements, STATEMENTS, read, {"f": plus_one}, runner)


def w5i():
    return repeat_calls('ns["n"]', {"ns": {"n": INT_VALUE}})


def w5l():
    return repeat_calls('ns["lst"]', {"ns": {"lst": list(LIST_VALUE)}})


def w6(runner=compiled_per_run):
    body = [assign("done", ast.Constant(DONE))]
    for i in reversed(range(IF_DEPTH)):
        condition = ast.Compare(name("n"), [ast.Lt()], [ast.Constant(i)])
        body = [ast.If(condition, [ast.Pass()], body)]
    return run_case(body, IF_DEPTH, lambda ns: ns["done"], {"n": BIG_N}, runner)


def w7(runner=compiled_per_run):
    statements = [assign("a", ast.Constant(""))]
    statements += [assign("a", ast.BinOp(name("a"), ADD, ast.Constant("x"))) for _ in range(STATEMENTS)]
    return run_case(statements, STATEMENTS, lambda ns: ns["a"], {}, runner)
