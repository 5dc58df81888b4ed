"""What the command line says on standard error while it runs: errors, the
first warnings and a summary of the others by kind, and a progress bar."""
from __future__ import annotations

import sys
import time
from collections import Counter

from keldra_lineage.escaping import printable

SHOWN = 20   # warnings shown before the summary takes over (--warnings summary)


class Reporter:
    """Errors are always written; warnings as `mode` says: all, summary (the
    first 20, then counted by kind and summed up at the end) or none."""

    def __init__(self, mode: str = "summary", stream=None, progress=None):
        self.mode = mode
        self.stream = stream if stream is not None else sys.stderr
        self.progress = progress
        self.kinds: Counter = Counter()
        self.shown = 0
        self.errors = 0

    def _say(self, line: str) -> None:
        if self.progress is not None:
            self.progress.clear()
        # one line, whatever a name in it holds (a newline, ESC, bytes that are not UTF-8)
        print(printable(line), file=self.stream)

    def error(self, line: str) -> None:
        self.errors += 1
        self._say(line)

    def warning(self, line: str, kind: str | None) -> None:
        if self.mode == "none":
            return
        self.kinds[kind or "other"] += 1
        if self.mode == "all" or self.shown < SHOWN:
            self.shown += 1
            self._say(line)

    def close(self) -> None:
        total = sum(self.kinds.values())
        if self.mode == "summary" and total > self.shown:
            by_kind = ", ".join(f"{k} {n}" for k, n in self.kinds.most_common())
            self._say(f"keldra-lineage: {total} warnings, {total - self.shown} not shown ({by_kind}); "
                      "--warnings all shows every one")


class Progress:
    """A bar on standard error counting statements and bytes; only on a
    terminal, redrawn at most ten times a second."""

    def __init__(self, total_bytes: int | None, enabled: bool):
        self.bar = None
        self.statements = 0
        self._last = 0.0
        if enabled:
            from tqdm import tqdm

            self.bar = tqdm(total=total_bytes, unit="B", unit_scale=True, file=sys.stderr, leave=False,
                            mininterval=0.1, dynamic_ncols=True)

    def advance(self, n_bytes: int, n_statements: int) -> None:
        if self.bar is None:
            return
        self.statements += n_statements
        self.bar.update(n_bytes)
        now = time.monotonic()
        if now - self._last >= 0.1:
            self._last = now
            self.bar.set_postfix_str(f"{self.statements:,} statements", refresh=False)

    def clear(self) -> None:
        if self.bar is not None:
            self.bar.clear()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None
