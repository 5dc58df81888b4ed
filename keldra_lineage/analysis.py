"""Running the analysis over statements, in this process or in workers."""
from __future__ import annotations

import contextlib
import io
import re
from concurrent.futures import ProcessPoolExecutor

from sqlparse_main import KeldraParseMain

Record = tuple  # (database, table, src, tgt)


def analyse(sql: str):
    """("ok", records) or ("error", message) for one statement.

    Whatever the library prints while analysing is kept out of the command's
    output and added to the error message.
    """
    printed = io.StringIO()
    try:
        with contextlib.redirect_stdout(printed):
            records = KeldraParseMain()._parse_sql(sql)
        rows = sorted({(r.database, r.table, r.src, r.tgt) for r in records}, key=_sort_key)
        return ("ok", rows)
    except Exception as e:  # every failure of a statement is reported, and the run goes on
        message = f"{type(e).__name__}: {_describe(e)}"
        extra = printed.getvalue().strip()
        if extra:
            message += f" (printed: {' '.join(extra.split())})"
        return ("error", message)


# The parser lists every alternative it expected; where it stopped is what a
# reader needs.
_STOPPED = re.compile(r'found (".*?") \(at char \d+, \(line:(\d+), col:(\d+)\)')


def _describe(error: Exception) -> str:
    text = " ".join(str(error).split())
    stopped = _STOPPED.search(text) if type(error).__name__ == "ParseException" else None
    if stopped:
        near, line, col = stopped.groups()
        return f"cannot parse the statement near {near} (line {line}, column {col} of the cleaned text)"
    return text if len(text) <= 500 else text[:497] + "..."


def _sort_key(row):
    return tuple("" if v is None else str(v) for v in row)


def analyse_all(texts: list[str], jobs: int, fail_fast: bool = False, progress=None):
    """Results for each distinct text, in input order; identical texts are analysed once.

    With fail_fast the results end at the first failure.
    """
    unique = list(dict.fromkeys(texts))
    results: dict[str, tuple] = {}
    workers = min(jobs, len(unique))
    if workers <= 1:
        outcomes = map(analyse, unique)
        pool = None
    else:
        pool = ProcessPoolExecutor(max_workers=workers)
        outcomes = pool.map(analyse, unique, chunksize=max(1, len(unique) // (workers * 8)))
    try:
        for text, result in zip(unique, outcomes):
            results[text] = result
            if progress:
                progress()
            if fail_fast and result[0] == "error":
                break
    finally:
        if pool:
            pool.shutdown(wait=True, cancel_futures=True)
    return results
