"""W9 with polars: the table taken from Arrow, the rules as expressions, the
`if`s as `when`/`then`/`otherwise`, the result given back to Arrow (CPython
only). polars runs on one thread here, as every other column does: its pool
is sized when it is imported, so the variable is set first."""
import os

os.environ["POLARS_MAX_THREADS"] = "1"
import polars as pl  # noqa: E402  (after its pool's size is set)

from tables import table_case  # noqa: E402


def w9():
    weight, subtotal, total = pl.col("weight"), pl.col("subtotal"), pl.col("total")
    rate = pl.when(pl.col("tier") == "gold").then(0.9).otherwise(1.0)
    first = (subtotal * rate + (weight * 0.5 + 4.0)).alias("total")
    label = pl.when(total > 100.0).then(pl.lit("large")).otherwise(pl.lit("small")).alias("label")

    def run_pass(table):
        return pl.from_arrow(table).select(first).select(total * 1.2, label).to_arrow()

    return table_case(run_pass, threads=True)
