"""The progress bar of long commands, drawn only on a terminal."""

from __future__ import annotations

import contextlib
import sys
from typing import Callable, Iterator, Optional


@contextlib.contextmanager
def progress_bar(total: int,
                 what: str) -> Iterator[Optional[Callable[[int], None]]]:
    """A callback taking the number of events just done, drawing a bar on
    stderr; None (no work at all) when stderr is not a terminal."""
    if not sys.stderr.isatty():
        yield None
        return
    from tqdm import tqdm  # type: ignore[import-untyped]
    with tqdm(total=total, desc=what, unit="ev", unit_scale=True,
              file=sys.stderr, leave=False) as bar:
        yield bar.update
