"""Sums up `perf script` output (with call chains) of `bench.py --loop` for bench/profile.

Each sample goes to one side by its call chain: the parse (a frame in sqloxide's module: the
parser and the building of its Python AST), the engine's own time (a frame in the engine's module
and none in sqloxide's: the engine, and the interpreter and C library on its behalf), or the rest
(the benchmark loop). Of the engine's own samples it prints the innermost engine function, and
the function actually running (the leaf, in whatever library).
"""
from __future__ import annotations

import collections
import sys


def samples(lines):
    frames = []
    for line in lines:
        line = line.rstrip("\n")
        if not line.strip():
            if frames:
                yield frames
            frames = []
        elif line.startswith(("\t", " ")):
            # "<address> <symbol+offset> (<dso>)"
            parts = line.strip().split(" ", 1)
            rest = parts[1] if len(parts) > 1 else ""
            sym, _, dso = rest.rpartition(" (")
            frames.append((sym.rsplit("+0x", 1)[0], dso.rstrip(")").rsplit("/", 1)[-1]))
    if frames:
        yield frames


def with_dsos(frames):
    """Inlined frames ("inlined" for a library) take the library of the function they are inlined in,
    which perf lists after them."""
    out, dso = [], "?"
    for sym, d in reversed(frames):
        if d != "inlined":
            dso = d
        out.append((sym, dso))
    return out[::-1]


def short(symbol, width=90):
    symbol = symbol.replace("keldra::engine::", "").replace("(anonymous namespace)::", "")
    return symbol if len(symbol) <= width else symbol[: width - 3] + "..."


def main():
    sides = collections.Counter()
    engine_fn = collections.Counter()
    leaf = collections.Counter()
    under = collections.defaultdict(collections.Counter)
    freeing = 0
    for frames in samples(sys.stdin):
        frames = with_dsos(frames)
        dsos = [d for _, d in frames]
        if any("sqloxide" in d for d in dsos):
            sides["parse (sqloxide.parse_sql)"] += 1
        elif any("_engine" in d for d in dsos):
            sides["engine's own"] += 1
            ours = [s for s, d in frames if "_engine" in d]
            inner = next((s for s in ours if s.startswith(("keldra::", "lineage("))), ours[0])
            if any(s.endswith("_dealloc") for s, _ in frames):
                freeing += 1
            engine_fn[inner] += 1
            sym, dso = frames[0]
            running = f"{short(sym, 70)}  [{dso.split('.cpython')[0].split('.so')[0]}]"
            leaf[running] += 1
            under[inner][running] += 1
        else:
            sides["rest (the benchmark loop, interpreter)"] += 1
    total = sum(sides.values())
    own = sides["engine's own"]
    parse = sides["parse (sqloxide.parse_sql)"]
    print(f"samples: {total}")
    for side, n in sides.most_common():
        print(f"  {n / total * 100:5.1f}%  {side}")
    if parse:
        print(f"engine's own time / parse: {own / parse * 100:.0f}%")
    print(f"of the engine's own samples, {freeing / own * 100:.0f}% free Python objects (a *_dealloc "
          "frame): mostly sqloxide's AST, released when lineage() is done with it")
    print("\nengine's own samples by innermost engine function (% of the engine's own):")
    for sym, n in engine_fn.most_common(15):
        print(f"  {n / own * 100:5.1f}%  {short(sym)}")
        if n / own >= 0.1:
            for running, m in under[sym].most_common(8):
                print(f"          {m / own * 100:5.1f}%  {running}")
    print("\nengine's own samples by the function running (% of the engine's own):")
    for sym, n in leaf.most_common(20):
        print(f"  {n / own * 100:5.1f}%  {sym}")


if __name__ == "__main__":
    main()
