"""The LMA file a command reads: opened with its failures as one line, its
events found by index or tag, and a record that no longer reads named."""

from __future__ import annotations

import argparse
import contextlib
import os
from typing import (Any, Dict, Iterator, List, NamedTuple, Optional,
                    Sequence)

import numpy as np

from ..batch import event_range, events_message, no_event_message
from ..damage import DamagedHeaderError
from ..features import Features
from ..lmafile import Event, Events, LmaFile, Pulses
from ..names import expand
from ..sources import is_url
from .memory import out_of_memory, reserve
from .status import UserError, from_storage, printable


# The options of --storage-option, for every URL the command opens; set
# once the arguments are parsed (and in each worker process).
storage_options: Dict[str, Any] = {}


def use_storage_options(options: Dict[str, Any]) -> None:
    storage_options.clear()
    storage_options.update(options)


def expand_inputs(args: argparse.Namespace) -> None:
    """Replaces the input names in `args` (`files`, or the one `file`) by
    the files they stand for: a glob pattern left unexpanded by the shell
    (quoted, or a URL's) by its matches in natural order, where it
    stands. UserError naming a pattern that matches nothing."""
    if hasattr(args, "files"):
        # As given too, for a run that follows its patterns.
        args.given = list(args.files)
        args.files = expanded(args.files)
    if hasattr(args, "file"):
        found = expanded([args.file])
        if len(found) != 1:
            raise UserError(f"{printable(args.file)} matches {len(found)} "
                            f"files; {args.command.name} takes one")
        args.file = found[0]


def expanded(names: Sequence[str]) -> List[str]:
    found: List[str] = []
    for name in names:
        try:
            found += expand(name, storage_options)
        except FileNotFoundError:
            raise UserError(f"no file matches {printable(name)}") from None
        except (ImportError, ValueError, TypeError, OSError) as error:
            # No filesystem for the URL, options it does not take, or a
            # store that cannot be listed.
            raise UserError(f"cannot list {printable(name)}: "
                            f"{printable(str(error))}") from None
    return found


@contextlib.contextmanager
def open_file(name: str, indexed_later: bool = False) -> Iterator[LmaFile]:
    """The open file, with opening failures and running out of memory
    while decoding as `UserError`; with `indexed_later`, its header alone
    is read until its index is needed."""
    with open_or_explain(name, indexed_later) as f:
        try:
            yield f
        except MemoryError:
            raise UserError(out_of_memory(f)) from None


# What reading a record that decoded when the file was indexed raises once
# the file has been cut or changed.
READ_ERRORS = (OSError, ValueError, IndexError, RuntimeError)


class InputFile(LmaFile):
    """The file as the commands read it: a record that fails to decode
    though it was indexed (the file was cut or changed while the command
    ran) ends the command with one line naming the record, a `UserError`,
    never taken for a failure to write the output."""

    def __getitem__(self, index: int) -> Event:
        first = index + len(self) if index < 0 else index
        with self.reading(range(first, first + 1)):
            return super().__getitem__(index)

    def read(self, start: int = 0, stop: Optional[int] = None,
             **options: Any) -> Events:
        with self.reading(range(start, len(self) if stop is None else stop)):
            return super().read(start, stop, **options)

    def pulses(self, start: int = 0, stop: Optional[int] = None,
               **options: Any) -> Pulses:
        with self.reading(range(start, len(self) if stop is None else stop)):
            return super().pulses(start, stop, **options)

    def _features_to(self, start: int, stop: Optional[int],
                     *args: Any) -> Features:
        with self.reading(range(start, len(self) if stop is None else stop)):
            return super()._features_to(start, stop, *args)

    @contextlib.contextmanager
    def reading(self, events: range) -> Iterator[None]:
        try:
            yield
        except READ_ERRORS as error:
            raise UserError(self.read_failure(error, events)) from None

    def read_failure(self, error: BaseException, events: range) -> str:
        """Why `events` could not be read. Indexed anew, the file says
        which record ends it now; if that does not explain the failure, the
        decoder's message does, which names the file and the record."""
        try:
            self.refresh()
        except READ_ERRORS:
            return str(error)
        if self.damage is not None and self.damage.event < events.stop:
            return f"{self.path}: {self.damage}"
        if len(self) < events.stop:
            return no_event_message(self, len(self))
        return str(error)


def file_size(f: LmaFile) -> int:
    """The size of the file `f` reads, local or held elsewhere; 0 for a
    local file gone since it was opened."""
    held = f._source
    if held is not None:
        return held.size
    try:
        return os.path.getsize(f.path)
    except OSError:
        return 0


def open_or_explain(name: str, indexed_later: bool = False) -> LmaFile:
    options = dict(storage_options) if is_url(name) else None
    try:
        if indexed_later:
            return InputFile._indexed_later(name, options)
        return InputFile(name, storage_options=options)
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
    except (ImportError, ValueError, TypeError) as error:
        # No filesystem for the URL, or options it does not take.
        why = str(error)
    except Exception as error:
        if not from_storage(error):
            raise
        # An option the filesystem takes, of a value it cannot use.
        why = f"{type(error).__name__} in its filesystem: {error}"
    raise UserError(f"cannot open {printable(name)}: {printable(why)}")


def checked_range(f: LmaFile, start: int, stop: Optional[int]) -> range:
    """The events from `start` up to `stop`; UserError when there is no
    event `start` (see `batch.event_range`)."""
    try:
        return event_range(f, start, stop)
    except IndexError:
        raise UserError(no_event_message(f, start)) from None


class Pick(NamedTuple):
    """An event of several files: its file's number, its index in that
    file and its index counted over all of them."""
    file: int
    event: int
    overall: int


def find_events(files: Sequence[LmaFile],
                args: argparse.Namespace) -> List[Pick]:
    """The events that `--event` (counted over the files, in order) or
    `--tag` (the first event with it, or with `--all` every one) picks;
    UserError when there is none. The tags come from the files' indexes:
    no record is read to find one."""
    starts = np.cumsum([0] + [len(f) for f in files])
    total = int(starts[-1])
    if args.tag is None:
        index = args.event
        if not -total <= index < total:
            raise UserError(no_event_message(files[0], index)
                            if len(files) == 1 else
                            f"{len(files)} files have {total} events; there "
                            f"is no event {index}")
        index %= total
        k = int(np.searchsorted(starts, index, "right")) - 1
        return [Pick(k, index - int(starts[k]), index)]
    picks = []
    for k, f in enumerate(files):
        for event in np.flatnonzero(f.tags == args.tag).tolist():
            picks.append(Pick(k, event, int(starts[k]) + event))
            if not getattr(args, "all", False):
                return picks
    if not picks:
        raise UserError(f"{events_message(files[0])}; none has tag "
                        f"{args.tag}" if len(files) == 1 else
                        f"{len(files)} files have {total} events; none has "
                        f"tag {args.tag}")
    return picks


def event_of(f: LmaFile, index: int) -> Event:
    """`f[index]`, the memory for its traces checked first."""
    reserve(len(f.channels) * max(f.nsamples, 0) * 8)
    return f[index]
