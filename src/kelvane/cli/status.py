"""How a command ends: its errors as one line on standard error, and its
exit status.

    0    success
    1    an error the user can act on (`UserError`), out of memory, a
         failure to write standard output
    2    a bad argument (`UsageError`, or argparse's own)
    130  interrupted (Ctrl-C)
    128 + N  ended by signal N (SIGTERM, SIGHUP); 141 when the reader of
         standard output went away, as for SIGPIPE
"""

from __future__ import annotations

import contextlib
import os
import signal
import sys
from typing import Any, Callable, Dict, Iterator, NoReturn, TextIO, cast

from .._outputs import shown

PROG = "lma"


class UserError(Exception):
    """A failure the user can act on, reported as one line."""
    status = 1


class UsageError(UserError):
    """An argument that makes no sense, found after parsing."""
    status = 2


def fail(message: str, status: int = 1) -> int:
    print(f"{PROG}: error: {printable(message)}", file=sys.stderr)
    return status


# A name or message as shown: URLs without their credentials, bytes that
# are not UTF-8 as escapes.
printable = shown


class Terminated(BaseException):
    """SIGTERM or SIGHUP arrived; raised so that cleanup runs on the way
    out, as for Ctrl-C."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def raise_terminated(signum: int, frame: Any) -> NoReturn:
    raise Terminated(signum)


@contextlib.contextmanager
def terminating_signals() -> Iterator[None]:
    """Turns SIGTERM and SIGHUP into `Terminated` while the command runs
    (only the main thread may set handlers; elsewhere they stay as they
    are)."""
    names = ("SIGTERM", "SIGHUP")
    signums = [getattr(signal, n) for n in names if hasattr(signal, n)]
    saved: Dict[int, Any] = {}
    try:
        for signum in signums:
            saved[signum] = signal.signal(signum, raise_terminated)
    except ValueError:
        pass
    try:
        yield
    finally:
        for signum, handler in saved.items():
            signal.signal(signum, handler)


def reported(run: Callable[[], int]) -> int:
    """Runs a command, turning what ends it into one line and a status."""
    try:
        with terminating_signals():
            return run()
    except UserError as error:
        return fail(str(error), error.status)
    except MemoryError:
        return fail("out of memory")
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except Terminated as stop:
        print(f"{PROG}: terminated by signal {stop.signum}", file=sys.stderr)
        return 128 + stop.signum
    except Exception as error:
        if not from_storage(error):
            raise
        text = " ".join(str(error).split())
        return fail(f"{type(error).__name__}: {text}" if text
                    else type(error).__name__)


# The libraries behind URLs, whose failures (missing credentials, a
# refused upload) are the user's to mend rather than faults of this
# program.
STORAGE_MODULES = ("aiobotocore", "aiohttp", "botocore", "fsspec", "s3fs")


def from_storage(error: BaseException) -> bool:
    """Whether `error` is a storage library's: of its own type, or a
    builtin one raised inside it (an option of the wrong type given to
    it, say)."""
    if type(error).__module__.split(".")[0] in STORAGE_MODULES:
        return True
    frame = error.__traceback__
    while frame is not None and frame.tb_next is not None:
        frame = frame.tb_next
    module = "" if frame is None else \
        str(frame.tb_frame.f_globals.get("__name__", ""))
    return module.split(".")[0] in STORAGE_MODULES


class OutputError(Exception):
    """Writing to standard output failed; `error` is the OSError."""

    def __init__(self, error: OSError) -> None:
        super().__init__(error)
        self.error = error


class GuardedOutput:
    """Standard output whose write failures raise `OutputError`, so that
    they are told apart from the failures of the files a command reads or
    writes."""

    def __init__(self, stream: Any) -> None:
        self._stream = stream

    def write(self, text: str) -> int:
        try:
            return int(self._stream.write(text))
        except OSError as error:
            raise OutputError(error) from None

    def flush(self) -> None:
        try:
            self._stream.flush()
        except OSError as error:
            raise OutputError(error) from None

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


def guarded_output(run: Callable[[], int]) -> int:
    """Runs `run` with standard output guarded: a failure to write it ends
    the command with one line and status 1, or quietly with 141."""
    real = sys.stdout
    sys.stdout = cast(TextIO, GuardedOutput(real))
    try:
        try:
            return run()
        finally:
            # Here rather than at exit, so that a failure to write is
            # reported like any other (--help and --version included).
            sys.stdout.flush()
    except OutputError as failure:
        return output_failed(real, failure.error)
    finally:
        sys.stdout = real


def output_failed(stream: Any, error: OSError) -> int:
    # What is still buffered would fail again, with a traceback, as the
    # interpreter flushes at exit: send it to /dev/null instead.
    with contextlib.suppress(OSError, ValueError):
        fd = stream.fileno()
        devnull = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(devnull, fd)
        finally:
            os.close(devnull)
    if isinstance(error, BrokenPipeError):
        # The reader went away (`lma show --csv F | head`): end quietly,
        # with the status of a command that SIGPIPE ended, as others do.
        return 128 + signal.SIGPIPE
    return fail(f"cannot write to standard output: "
                f"{error.strerror or error}")
