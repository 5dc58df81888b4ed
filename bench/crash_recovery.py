"""Benchmark of the supervised workers: what a run costs when a statement
kills its worker process, against the same run without the crash.

The run is the shared corpus's TPC-DS queries, each file prefixed by a
CREATE TABLE (so that the session holds a table per file, which the
replacement worker replays), with the catalog's `resolve` changed so that the
table `segv` crashes the worker (a read of address 0) in the middle of one
file.  Printed: seconds (median of --repeat runs) with and without the
crash, at -j 1 and -j 2, and whether every other record is the same.

Run with the project's interpreter: python bench/crash_recovery.py
[--copies N] [--repeat R].  Prints Markdown.
"""
from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

CORPUS = Path(__file__).resolve().parent.parent.parent / "shared" / "corpus" / "tpcds"

WRAPPER = """\
import ctypes, sys
from keldra_lineage import Catalog
from keldra_lineage.cli import main
real = Catalog.resolve
def resolve(self, parts):
    if parts[-1].lower() == "segv":
        ctypes.string_at(0)
    return real(self, parts)
Catalog.resolve = resolve
sys.exit(main())
"""


def build(folder: Path, copies: int) -> tuple[list[Path], Path]:
    """The files of the run, and the one holding the crashing statement."""
    files = []
    queries = sorted(CORPUS.glob("q*.sql"))
    for c in range(copies):
        for q in queries:
            f = folder / f"c{c:02d}_{q.name}"
            text = q.read_text().strip().rstrip(";")
            f.write_text(f"CREATE TABLE made_{c}_{q.stem} AS SELECT 1 AS one;\n{text};\n"
                         f"SELECT one FROM made_{c}_{q.stem};\n")
            files.append(f)
    crashing = files[len(files) // 2]
    crashing.write_text(crashing.read_text() + "SELECT x FROM segv;\nSELECT one FROM made_0_q01;\n")
    return files, crashing


def run(cmd: list[str]) -> tuple[float, str, int]:
    start = time.perf_counter()
    done = subprocess.run(cmd, capture_output=True, text=True)
    return time.perf_counter() - start, done.stdout, done.returncode


def main() -> None:
    p = argparse.ArgumentParser()
    p.add_argument("--copies", type=int, default=3, help="copies of the TPC-DS queries")
    p.add_argument("--repeat", type=int, default=3)
    args = p.parse_args()
    with tempfile.TemporaryDirectory(prefix="keldra-crashbench-") as tmp:
        folder = Path(tmp)
        (folder / "sql").mkdir()
        files, crashing = build(folder / "sql", args.copies)
        wrapper = folder / "wrapped.py"
        wrapper.write_text(WRAPPER)
        schema = CORPUS / "schema.json"
        statements = sum(1 for f in files for line in f.read_text().split(";") if line.strip())
        print(f"# Crash recovery\n\n{len(files)} files, {statements} statements (TPC-DS with a CREATE "
              f"TABLE in each file); the crash is in {crashing.name}, file {files.index(crashing) + 1}.\n")
        print("| -j | without the crash | with it | records kept |")
        print("|---:|---:|---:|---|")
        for jobs in ("1", "2"):
            base = ["--schema", str(schema), "-f", "jsonl", "-j", jobs, str(folder / "sql")]
            plain = [run([sys.executable, "-P", "-m", "keldra_lineage", *base]) for _ in range(args.repeat)]
            crash = [run([sys.executable, "-P", str(wrapper), *base]) for _ in range(args.repeat)]
            marker = f'"file": "{crashing}", "statement": 4,'
            kept = [line for line in plain[0][1].splitlines() if not line.startswith("{" + marker)]
            same = "identical" if crash[0][1].splitlines() == kept else "DIFFERENT"
            print(f"| {jobs} | {statistics.median(t for t, _, _ in plain):.2f} s | "
                  f"{statistics.median(t for t, _, _ in crash):.2f} s | {same} |")


if __name__ == "__main__":
    main()
