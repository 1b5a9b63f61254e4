"""The programs in examples/ run as a user runs them and print what they should.

Each runs in a child interpreter, from the examples folder: the one running
this suite, with its environment, so that it imports the velmo the suite
tests however that was found; or the one named by EXAMPLES_PYTHON (the test
command names that of a new environment that has only a wheel installed),
with no PYTHONPATH. Every failure an example lets be raised must also be
reported on standard error, one line each; the failures that run_many returns
with errors="return" are not.
"""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
PYTHON = os.environ.get("EXAMPLES_PYTHON", sys.executable)

PRICING = """\
order    tier    subtotal discount shipping    total
A-1001   gold       61.98       5%     4.50    63.38
A-1002   basic     153.50      10%    12.00   150.15
A-1003   basic      11.25       0%     4.50    15.75
a rule that cannot run stops with PanicException: Binary operator for unknown type
"""

SPREADSHEET = """\
             A         B         C         D         E         F
1         item     units     price   revenue     share     ratio
2      widgets        12      2.50     30.00      0.33    #ERROR
3      gadgets         5     12.00     60.00            #SKIPPED
4       gizmos         0      7.25      0.00      0.00
5    all units        17               90.00      5.29
F2: error: attempt to divide by zero
F3: skipped: depends on F2
"""

VALIDATION = """\
6 rules: adult, named, email, country, discount, vip
record 1 ('Ada'): accepted
record 2 ('Bob'): rejected
  fails adult: customers must be 18 or older
  fails email: the email address must look like one
  fails country: we ship to Germany, France and Italy
  fails discount: a discount is at most a fifth of the order
record 3 ('Chen'): rejected
  cannot check adult: Both left-hand and right-hand side values must be a number
record 4 ('Dana'): rejected
  cannot check discount: Both left-hand and right-hand side values must be a number (the record has no discount)
"""


def run_example(script, *args):
    env = {k: v for k, v in os.environ.items() if k != "EXAMPLES_PYTHON"}
    if PYTHON != sys.executable:
        env.pop("PYTHONPATH", None)
    elif "PYTHONPATH" in env:
        # The child runs from another folder: relative entries of the search
        # path are made absolute so that they still name the same folders.
        env["PYTHONPATH"] = os.pathsep.join(map(os.path.abspath, env["PYTHONPATH"].split(os.pathsep)))
    return subprocess.run(
        [PYTHON, script, *args], cwd=EXAMPLES, capture_output=True, text=True, timeout=300, env=env
    )


@pytest.mark.parametrize(
    "script, stdout, failures",
    [
        ("pricing.py", PRICING, ["Binary operator for unknown type"]),
        ("spreadsheet.py", SPREADSHEET, ["attempt to divide by zero"]),
        ("validation.py", VALIDATION, []),
    ],
    ids=["pricing", "spreadsheet", "validation"],
)
def test_example_prints_its_report(script, stdout, failures):
    proc = run_example(script)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == stdout
    reports = proc.stderr.splitlines()
    assert len(reports) == len(failures), proc.stderr
    for line, message in zip(reports, failures):
        assert re.fullmatch(r"velmo: fatal error at [\w/.]+\.[ch]pp:\d+: " + re.escape(message), line)


def test_parallel_records_match_one_process():
    # A small run: the pool's results are compared with one process's by the
    # example itself, which fails when they differ.
    proc = run_example("records_parallel.py", "3000", "--chunk", "700", "--workers", "2")
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    lines = proc.stdout.splitlines()
    assert lines[0].startswith("3,000 records in chunks of 700; the rules and a catalogue of 100,000 prices")
    assert re.fullmatch(r"statuses: ok [\d,]+, check [\d,]+, review [\d,]+", lines[1])
    assert sum(int(n.replace(",", "")) for n in re.findall(r"[\d,]+", lines[1])) == 3000
    assert re.fullmatch(r"speed-up: \d+\.\d\dx, the same results", lines[-1])
