"""The `>>>` sessions of the documentation run as written, and the CHANGELOG
names the version installed.

Every ```pycon block of a page in docs/ is one doctest, and the blocks of a
page share one namespace, in order, as a reader would type them.
"""

import doctest
import importlib.metadata
import re
from pathlib import Path

import pytest

import velmo

DOCS = Path(__file__).resolve().parents[2] / "docs"
PAGES = sorted(p.name for p in DOCS.glob("*.md") if "```pycon" in p.read_text(encoding="utf-8"))


# The lines of an exception's notes, which tracebacks show from Python 3.11
# on: where a run stopped, and the row of a batch.
NOTE_LINE = re.compile(r"(?:^(?:at statement |in row ).*\n)+", flags=re.M)


class NotesChecker(doctest.OutputChecker):
    """Compares the note lines that a traceback shows on some interpreters
    only where they are shown. From Python 3.11 on, doctest's message of an
    exception holds its notes, compared in full. Doctest on Python 3.10 and
    earlier (PyPy's too) takes the last line of an exception as its message,
    which is a note when the `exceptiongroup` backport (imported by pytest)
    teaches the traceback module to show notes: that is compared with the
    last line expected. Without notes shown, the message is compared without
    the notes expected."""

    def check_output(self, want, got, optionflags):
        if NOTE_LINE.fullmatch(got):
            return want.endswith(got)
        if NOTE_LINE.search(got):
            return super().check_output(want, got, optionflags)
        return super().check_output(NOTE_LINE.sub("", want), got, optionflags)


@pytest.mark.parametrize("page", PAGES)
def test_sessions_run_as_written(page):
    text = (DOCS / page).read_text(encoding="utf-8")
    sessions = "\n".join(re.findall(r"^```pycon\n(.*?)^```$", text, flags=re.M | re.S))
    test = doctest.DocTestParser().get_doctest(sessions, {}, page, str(DOCS / page), 0)
    runner = doctest.DocTestRunner(checker=NotesChecker(), optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.failures == 0 and runner.tries > 0, f"{runner.failures} of {runner.tries} examples in {page} failed"


def installed_version():
    """The version of the distribution that installed the velmo imported,
    or None when it comes from elsewhere (a plain CMake build on PYTHONPATH)."""
    try:
        dist = importlib.metadata.distribution("velmo")
    except importlib.metadata.PackageNotFoundError:
        return None
    files = {Path(dist.locate_file(f)).resolve() for f in dist.files or ()}
    return dist.version if Path(velmo.__file__).resolve() in files else None


def test_changelog_newest_section_is_the_installed_version():
    # A change of behaviour comes with a new version and its section, so the
    # newest section is the version that pip installed.
    version = installed_version()
    if version is None:
        pytest.skip("velmo is not installed as a distribution (a plain CMake build on PYTHONPATH): "
                    "no installed version to compare")
    text = (DOCS.parent / "CHANGELOG.md").read_text(encoding="utf-8")
    sections = re.findall(r"^## (.*)$", text, flags=re.M)
    assert all(re.fullmatch(r"\d+\.\d+\.\d+", s) for s in sections), sections
    versions = [tuple(map(int, s.split("."))) for s in sections]
    assert versions == sorted(set(versions), reverse=True), sections
    assert sections[0] == version
