"""The LMA file a command reads: opened with its failures as one line, and
its events found by index."""

from __future__ import annotations

import contextlib
from typing import Any, Iterator, Optional

from ..batch import event_range, no_event_message
from ..damage import DamagedHeaderError
from ..lmafile import LmaFile
from .memory import out_of_memory, reserve
from .status import UserError, printable


@contextlib.contextmanager
def open_file(name: str) -> Iterator[LmaFile]:
    """The open file, with opening failures and running out of memory
    while decoding as `UserError`."""
    with open_or_explain(name) as f:
        try:
            yield f
        except MemoryError:
            raise UserError(out_of_memory(f)) from None


def open_or_explain(name: str) -> LmaFile:
    try:
        return LmaFile(name)
    except DamagedHeaderError as error:
        raise UserError(str(error)) from None
    except FileNotFoundError:
        why = "no such file"
    except IsADirectoryError:
        why = "it is a directory"
    except PermissionError:
        why = "not readable"
    except OSError as error:
        why = error.strerror or str(error)
    raise UserError(f"cannot open {printable(name)}: {why}")


def checked_range(f: LmaFile, start: int, stop: Optional[int]) -> range:
    """The events from `start` up to `stop`; UserError when there is no
    event `start` (see `batch.event_range`)."""
    try:
        return event_range(f, start, stop)
    except IndexError as error:
        raise UserError(str(error)) from None


def find_event(f: LmaFile, index: int) -> Any:
    """Event `index` as `f[index]` gives it; UserError when the file has
    fewer events (none at all included) or a damaged record comes first."""
    if not 0 <= index < len(f):
        raise UserError(no_event_message(f, index))
    reserve(len(f.channels) * max(f.nsamples, 0) * 8)
    return f[index]
