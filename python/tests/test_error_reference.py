"""docs/errors.md lists every message text the native code can produce.

The texts are read out of the C++ sources (every .cpp and .hpp under
the src and include folders of quarn's parts and python/src, however the code is arranged):

- every string literal that holds a word and a space or a line break (in
  native code these are the texts people read), except the text signatures
  of the method tables, the texts of static_assert and Python source run by
  PyRun_String, written there or in a named constant;
- the literals passed to the calls that fail, raise or report (`fail...`,
  `raise...`, `mismatch...`, `PyErr_...`, `Py_FatalError`, ...), with named
  constants resolved, and every named string constant (`kSomething`);
- in the module, the literals of the statements that assemble message text
  (`+` and `+=` next to a literal, `return "..."`, `std::string x = "..."`).

Each text, split into lines and at printf conversions, must appear in the
error reference. The reverse also holds: every message template in the
reference's tables must be made of source literals, so the reference cannot
keep a message the code no longer has.
"""

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
REFERENCE = ROOT / "docs" / "errors.md"
SOURCE_DIRS = ["quarn/*/src", "quarn/*/include", "python/src"]

# Name prefixes of the calls whose string arguments are messages.
FAILURE_CALLS = [
    "fail", "raise", "mismatch", "type_error", "Fatal", "PyErr_", "Py_FatalError", "Py_EnterRecursiveCall",
    "PyUnicode_FromString", "write_stderr",
]
CALL = re.compile(r"\b(?:\w+::)*(?:" + "|".join(FAILURE_CALLS) + r")\w*\s*(?:<[^<>()]*>)?\s*\(")
NOT_MESSAGES = re.compile(r"\b(?:static_assert|PyRun_String)\s*\(")
LITERAL = re.compile(r"@(\d+)@")
# A printf conversion, with its length modifier (%zu, %lld).
PRINTF = re.compile(r"%[-+ #0-9.]*(?:hh|ll|[hljztL])?[a-zA-Z]")


def lex(text):
    """The code with comments dropped and each string literal replaced by @N@,
    adjacent literals joined; and the decoded literals."""
    text = re.sub(r"^[ \t]*#[ \t]*include.*$", "", text, flags=re.M)
    code, literals, i, joinable = [], [], 0, False

    def literal(raw):
        if joinable:
            literals[-1] += raw
        else:
            literals.append(raw)
            code.append(f" @{len(literals) - 1}@ ")

    while i < len(text):
        if text.startswith("//", i):
            i = text.find("\n", i) % (len(text) + 1)
        elif text.startswith("/*", i):
            i = text.index("*/", i) + 2
        elif text.startswith('R"', i) and not re.match(r"\w", text[i - 1 : i]):
            # A raw literal, R"delimiter( ... )delimiter", taken as it is.
            opening = text.index("(", i)
            closing = ")" + text[i + 2 : opening] + '"'
            end = text.index(closing, opening)
            literal(text[opening + 1 : end])
            joinable = True
            i = end + len(closing)
        elif text[i] in "'\"":
            end = i + 1
            while text[end] != text[i]:
                end += 2 if text[end] == "\\" else 1
            if text[i] == "'":
                code.append("0")
            else:
                literal(text[i + 1 : end].encode().decode("unicode_escape").encode("latin-1").decode())
            joinable = text[i] == '"'
            i = end + 1
        else:
            joinable = joinable and text[i].isspace()
            code.append(text[i])
            i += 1
    return "".join(code), literals


def call_arguments(code, open_paren):
    depth = 0
    for k in range(open_paren, len(code)):
        depth += {"(": 1, ")": -1}.get(code[k], 0)
        if depth == 0:
            return code[open_paren:k]
    return code[open_paren:]


def messages_of(code, literals, in_module):
    """The message texts of one lexed source file."""
    pick = lambda span: {literals[int(n)] for n in LITERAL.findall(span)}  # noqa: E731
    excluded = set()
    for m in NOT_MESSAGES.finditer(code):
        excluded |= pick(call_arguments(code, m.end() - 1))
    found = {lit for lit in literals if re.search(r"\w.*[ \n]|[ \n].*\w", lit) and "\n--\n" not in lit}
    found -= excluded
    constants = {}
    for m in re.finditer(r"\b(\w+)\s*(?:\[\s*\])?\s*=\s*(@\d+@|\{[^{}]*\})", code):
        constants.setdefault(m[1], set()).update(pick(m[2]))
    for name, values in constants.items():
        if re.fullmatch(r"k[A-Z]\w*", name):
            found |= values
    for m in CALL.finditer(code):
        span = call_arguments(code, m.end() - 1)
        found |= pick(span)
        for name in re.findall(r"\b[A-Za-z_]\w*", span):
            found |= constants.get(name, set())
    if in_module:
        for statement in re.split(r"[;{}]", code):
            if re.search(r"\+=|\+\s*@\d+@|@\d+@\s*\+|\breturn\s+@\d+@|=\s*@\d+@", statement):
                found |= pick(statement)
    # Python source held in a named constant and passed to PyRun_String.
    for m in NOT_MESSAGES.finditer(code):
        for name in re.findall(r"\b[A-Za-z_]\w*", call_arguments(code, m.end() - 1)):
            found -= constants.get(name, set())
    return found


def source_texts():
    """(message texts, every literal) of the native sources."""
    messages, everything = set(), set()
    files = sorted(p for d in SOURCE_DIRS for top in ROOT.glob(d) for p in top.rglob("*") if p.suffix in (".cpp", ".hpp"))
    assert files, "no native sources found"
    for path in files:
        code, literals = lex(path.read_text(encoding="utf-8"))
        everything.update(literals)
        messages |= messages_of(code, literals, "python" in path.relative_to(ROOT).parts)
    return messages, everything


def pieces(text):
    """The parts of a message text worth finding: its lines, cut at printf
    conversions, that hold a letter or digit."""
    parts = [p for line in text.split("\n") for p in PRINTF.split(line)]
    return [p for p in parts if re.search(r"\w", p)]


def reference_text():
    return REFERENCE.read_text(encoding="utf-8").replace("\\|", "|")


def code_span(cell):
    m = re.fullmatch(r"\s*(`+)\s?(.*?)\s?\1\s*", cell)
    return m[2] if m else None


def reference_templates():
    """The message templates: the code span opening each table row of the
    reference. Placeholders are written {like this}."""
    templates = []
    for line in reference_text().splitlines():
        if line.startswith("|") and not re.fullmatch(r"[|\s:-]+", line):
            first = re.split(r"(?<!\\)\|", line)[1]
            template = code_span(first)
            if template is not None:
                templates.append(template)
    return templates


def tiles(piece, literals):
    """Whether piece is part of one literal, or a literal's end, whole
    literals, then a literal's start: how pieces of a message join. Printf
    conversions cut a literal."""
    fragments = {f for lit in literals for f in PRINTF.split(lit)}
    if any(piece in f for f in fragments):
        return True
    whole = {f for f in fragments if f}

    def rest(at):
        if at == len(piece):
            return True
        if any(lit.startswith(piece[at:]) for lit in whole):
            return True
        return any(piece.startswith(lit, at) and rest(at + len(lit)) for lit in whole)

    return any(
        piece.startswith(lit[k:]) and rest(len(lit) - k) for lit in whole for k in range(len(lit))
    )


MESSAGES, LITERALS = source_texts()


def test_every_source_message_is_in_the_reference():
    assert len(MESSAGES) > 50
    text = reference_text()
    missing = sorted({p for message in MESSAGES for p in pieces(message) if p not in text})
    assert not missing, f"docs/errors.md does not mention: {missing}"


def test_reference_templates_come_from_the_sources():
    templates = reference_templates()
    assert len(templates) > 30
    stale = []
    for template in templates:
        for piece in re.split(r"\{[a-z][^{}]*\}", template):
            if re.search(r"\w", piece) and not tiles(piece, LITERALS):
                stale.append((template, piece))
    assert not stale, f"message templates not found in the sources: {stale}"
