"""The progress bar of long commands, drawn only on a terminal."""

from __future__ import annotations

import contextlib
import sys
from typing import Callable, Iterator, Optional


@contextlib.contextmanager
def progress_bar(total: int, what: str, unit: str = "ev",
                 ) -> Iterator[Optional[Callable[[int], None]]]:
    """A callback taking the number of events (or of `unit`) just done,
    drawing a bar on stderr; None (no work at all) when stderr is not a
    terminal. Bytes ("B") are shown in powers of 1024."""
    if not sys.stderr.isatty():
        yield None
        return
    from tqdm import tqdm  # type: ignore[import-untyped]
    with tqdm(total=total, desc=what, unit=unit, unit_scale=True,
              unit_divisor=1024 if unit == "B" else 1000,
              file=sys.stderr, leave=False) as bar:
        yield bar.update
