"""Where lineage()'s time goes, from `perf script --no-inline -F ip,sym,dso` output with call chains.

Reads the samples of one `bench.py --loop` run on stdin and prints one JSON object: the samples
of each part below (only samples inside lineage() or sqloxide.parse_sql count; the loop around
them is left out).  A sample goes to the first part its call chain matches, in this order:

- collector: the cyclic garbage collector running (wherever it was started);
- conversion: sqloxide turning sqlparser's Rust tree into Python dicts and lists (serde and
  pythonize frames, and pyo3's call machinery around them);
- parse: sqlparser's tokenizer and parser, and the Rust tree dropped after the conversion;
- walk: the engine reading the dicts into its model (read_statement, Reader);
- resolution: the tables looked up (the catalog included) and the names resolved;
- results: the keldra_lineage result objects built;
- free: Python objects freed by the engine's entry function: sqloxide's tree, released after the
  walk;
- split: the text cut into statements (blocks and procedure bodies too);
- other: the rest of lineage() (its argument checks, the text encoded, each statement's text
  decoded for the parser, the list of results).

Collections outside lineage() (the loop's own, and those the paused collector starts once the call
is over) are counted apart, as "collector after the call", in the same unit: a share of the samples
inside lineage().
"""
from __future__ import annotations

import collections
import json
import sys
from pathlib import Path

PARTS = ("parse", "conversion", "collector", "free", "walk", "resolution", "results", "split", "other")


def samples(lines):
    frames = []
    for line in lines:
        line = line.rstrip("\n")
        if not line.strip():
            if frames:
                yield frames
            frames = []
            continue
        # "<address> <symbol+offset> (<dso>)"
        parts = line.strip().split(" ", 1)
        rest = parts[1] if len(parts) > 1 else ""
        sym, _, dso = rest.rpartition(" (")
        frames.append((sym.rsplit("+0x", 1)[0], dso.rstrip(")").rsplit("/", 1)[-1]))
    if frames:
        yield frames


def part_of(frames):
    """The part a sample (innermost frame first) belongs to, or None outside lineage()."""
    syms = [s for s, _ in frames]
    engine = [s for s, d in frames if d.startswith("_engine")]
    parser = any(d.startswith("sqloxide") for _, d in frames)
    if not engine and not parser:
        return None
    if any(s in ("gc_collect_main", "collect_generations", "gc_collect_with_callback") or
           s.startswith("gc_collect") for s in syms):
        return "collector"
    if parser:
        if any("serde" in s or "pythonize" in s for s in syms):
            return "conversion"
        if any(s.startswith(("sqlparser::", "core::ptr::drop_in_place")) for s, d in frames
               if d.startswith("sqloxide")):
            return "parse"
        return "conversion"  # pyo3's call: arguments in, the result out
    for s in engine:
        if "read_statement" in s or "Reader::" in s:
            return "walk"
        if "resolve_statement" in s or "Resolver::" in s or "Tables::" in s:
            return "resolution"
        if "build_statement" in s or "ResultTypes" in s:
            return "results"
        if "split_statements" in s or "Splitter::" in s or "Script::" in s:
            return "split"
    if any(s.endswith("_dealloc") for s in syms):
        return "free"
    return "other"


def count(lines):
    counts = collections.Counter()
    outside = after = 0
    for frames in samples(lines):
        part = part_of(frames)
        if part is None:
            outside += 1
            after += any(s.startswith("gc_collect") for s, _ in frames)
        else:
            counts[part] += 1
    return {"parts": {p: counts[p] for p in PARTS}, "outside": outside, "collector_after": after}


def table(files):
    """Markdown: one row per `<build>,<corpus>.json` file (bench/profile --breakdown's), in the order
    given: each part's share of lineage()'s samples and, from the calls the loop made and the share
    of the process's samples inside lineage(), its microseconds a statement."""
    lines = ["| build | corpus | samples in lineage() | us a statement (under perf) | "
             + " | ".join(PARTS) + " | collector after the call |",
             "|---|---|---:|---:|" + "---:|" * (len(PARTS) + 1)]
    for f in files:
        data = json.loads(Path(f).read_text())
        build, corpus = Path(f).stem.split(",", 1)
        total = sum(data["parts"].values()) or 1
        per = data["seconds"] * data["share"] / data["statements"] * 1e6
        cells = [f"{data['parts'][p] / total * 100:.1f}% ({per * data['parts'][p] / total:.1f})" for p in PARTS]
        after = data["collector_after"]
        cells.append(f"{after / total * 100:.1f}% ({per * after / total:.1f})")
        lines.append(f"| {build} | {corpus} | {total:,} | {per:.1f} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def main():
    if sys.argv[1:2] == ["--table"]:
        print(table(sys.argv[2:]))
        return
    # --calls N --seconds S: what the loop did, for the time a statement
    opts = dict(zip(sys.argv[1::2], sys.argv[2::2]))
    data = count(sys.stdin)
    inside = sum(data["parts"].values())
    data.update(statements=int(opts.get("--calls", 0)), seconds=float(opts.get("--seconds", 0)),
                share=inside / max(1, inside + data["outside"]))
    print(json.dumps(data))


if __name__ == "__main__":
    main()
