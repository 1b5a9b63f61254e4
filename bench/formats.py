"""How the tables and the chart write figures: ns and ratios, to about three
significant digits."""


def number(ns):
    if ns is None:
        return "—"
    if ns < 1:
        return "%.2f" % ns
    return "%.1f" % ns if ns < 100 else "{:,.0f}".format(ns)


def ratio(r):
    return "%.3f" % r if r < 0.1 else "%.2f" % r
