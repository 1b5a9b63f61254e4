"""W9 with DuckDB: the rules as one SQL query over the Arrow table, its
result fetched as an Arrow table (CPython only). DuckDB runs on one thread
here, as every other column does; its number literals are cast to DOUBLE,
since `0.9` alone is a DECIMAL."""
import duckdb

from tables import table_case

QUERY = """
SELECT total * 1.2::DOUBLE AS total,
       CASE WHEN total > 100.0::DOUBLE THEN 'large' ELSE 'small' END AS label
FROM (SELECT subtotal * CASE WHEN tier = 'gold' THEN 0.9::DOUBLE ELSE 1.0::DOUBLE END
             + (weight * 0.5::DOUBLE + 4.0::DOUBLE) AS total
      FROM records)
"""


def w9():
    connection = duckdb.connect()
    connection.execute("SET threads = 1")

    def run_pass(table):
        connection.register("records", table)
        try:
            return connection.sql(QUERY).to_arrow_table()
        finally:
            connection.unregister("records")

    return table_case(run_pass, threads=True)
