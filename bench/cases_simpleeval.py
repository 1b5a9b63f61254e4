"""W8 on simpleeval, an evaluator of single Python expressions (pinned in
requirements.txt). It has no statements, so each rule is an expression whose
value the caller binds, the ifs conditional expressions; each is parsed once."""
from simpleeval import SimpleEval

from records import record_case

RULES = [
    ("shipping", "weight * 0.5 + 4.0"),
    ("rate", '0.9 if tier == "gold" else 1.0'),
    ("total", "subtotal * rate + shipping"),
    ("label", '"large" if total > 100.0 else "small"'),
    ("total", "total * 1.2"),
]


def w8():
    """One evaluator; per record a new dict of names holding the fields, which
    each rule's value is bound into."""
    evaluator = SimpleEval()
    parsed = [(target, text, evaluator.parse(text)) for target, text in RULES]

    def run_pass(records):
        results = []
        for tier, weight, subtotal in records:
            names = evaluator.names = {"tier": tier, "weight": weight, "subtotal": subtotal}
            for target, text, tree in parsed:
                names[target] = evaluator.eval(text, previously_parsed=tree)
            results.append((names["total"], names["label"]))
        return results

    return record_case(run_pass)
