"""Scripts and procedures: the engine's time as a script grows, for the
shapes the script reader handles, each at sizes doubling from 500 to 8,000
statements. Prints a Markdown table (size -> seconds, and seconds per 1,000
statements, which stays flat when the cost is linear).

- tsql_no_semicolons: a T-SQL procedure whose statements span several lines
  with no semicolon between them (the statement is split where the parser
  finds the next one, then cut at the lines that begin one);
- tsql_batches: the same statements with semicolons, in GO batches of 50;
- snowflake_procedure: one $$ body with IF blocks around the statements.
"""
from __future__ import annotations

import sys
import time

import keldra_lineage


def statement(i: int) -> str:
    return (f"  INSERT INTO t{i} (a, b)\n  SELECT a, b\n  FROM s{i} WHERE c > {i}\n"
            f"  UNION ALL\n  SELECT a, b FROM u\n")


SHAPES = {
    "tsql_no_semicolons": ("tsql", lambda n: "CREATE PROCEDURE p AS\nBEGIN\n"
                           + "".join(statement(i) for i in range(n)) + "END\nGO\n"),
    "tsql_batches": ("tsql", lambda n: "".join(statement(i).rstrip() + ";\n" + ("GO\n" if i % 50 == 49 else "")
                                               for i in range(n))),
    "snowflake_procedure": ("snowflake", lambda n: "CREATE PROCEDURE p() RETURNS INT LANGUAGE SQL AS $$\nBEGIN\n"
                            + "".join(f"  IF (x > {i}) THEN\n{statement(i).rstrip()};\n  END IF;\n"
                                      for i in range(n)) + "END;\n$$;\n"),
}


def best(fn, repeat: int = 3) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    sizes = [500, 1000, 2000, 4000, 8000]
    print("| shape | " + " | ".join(f"{n:,}" for n in sizes) + " | s per 1,000 at the largest |")
    print("|---|" + "---|" * (len(sizes) + 1))
    for name, (dialect, make) in SHAPES.items():
        row = []
        for n in sizes:
            sql = make(n)
            row.append(best(lambda: keldra_lineage.lineage(sql, dialect=dialect)))
        print(f"| {name} | " + " | ".join(f"{t:.2f}" for t in row) + f" | {row[-1] / sizes[-1] * 1000:.3f} |")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
