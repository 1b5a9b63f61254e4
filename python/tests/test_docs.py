"""The `>>>` sessions of the documentation run as written.

Every ```pycon block of a page in docs/ is one doctest, and the blocks of a
page share one namespace, in order, as a reader would type them.
"""

import doctest
import re
from pathlib import Path

import pytest

DOCS = Path(__file__).resolve().parents[2] / "docs"
PAGES = sorted(p.name for p in DOCS.glob("*.md") if "```pycon" in p.read_text(encoding="utf-8"))


@pytest.mark.parametrize("page", PAGES)
def test_sessions_run_as_written(page):
    text = (DOCS / page).read_text(encoding="utf-8")
    sessions = "\n".join(re.findall(r"^```pycon\n(.*?)^```$", text, flags=re.M | re.S))
    test = doctest.DocTestParser().get_doctest(sessions, {}, page, str(DOCS / page), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.failures == 0 and runner.tries > 0, f"{runner.failures} of {runner.tries} examples in {page} failed"
