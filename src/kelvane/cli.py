"""The `lma` command: inspect, convert and plot LMA files.

    lma info FILE
    lma show FILE [--event N] [--csv]
    lma convert FILE OUT.{npz,zarr,nc} [--dtype float32] [--start N] [--stop N]
    lma plot FILE --event N -o OUT.{png,svg,pdf}

Exit status: 0 on success, 1 on an error (including a damaged record,
after the events before it have been reported or written, and a failure to
write standard output), 2 on a bad argument, 130 when interrupted, 128 + the
signal's number on SIGTERM or SIGHUP, 141 (as for SIGPIPE) when the reader
of standard output went away. Errors are one line on standard error.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import os
import shutil
import signal
import sys
import tempfile
import warnings
from typing import (Any, Callable, Dict, Iterator, List, NoReturn, Optional,
                    Sequence, TextIO, Tuple, cast)

import numpy as np

from .batch import (Events, damage_message, damage_reached, event_range,
                    new_events, read_range)
from .damage import DamagedHeaderError
from .lmafile import LmaFile

PROG = "lma"


class UserError(Exception):
    """A failure the user can act on, reported as one line."""
    status = 1


class UsageError(UserError):
    """An argument that makes no sense, found after parsing."""
    status = 2


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


class ArgumentParser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line instead of argparse's usage block; --help has the rest.
        self.exit(2, f"{self.prog}: error: {message} "
                     f"(see {self.prog} --help)\n")


def main(argv: Optional[List[str]] = None) -> int:
    real = sys.stdout
    sys.stdout = cast(TextIO, GuardedOutput(real))
    try:
        try:
            return run_command(argv)
        finally:
            # Here rather than at exit, so that a failure to write is
            # reported like any other (--help and --version included).
            sys.stdout.flush()
    except OutputError as failure:
        return output_failed(real, failure.error)
    finally:
        sys.stdout = real


def run_command(argv: Optional[List[str]]) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if getattr(args, "stop", None) is not None and args.stop < args.start:
        parser.error(f"--stop {args.stop} is before --start {args.start}")
    try:
        with terminating_signals():
            status: int = args.run(args)
        return status
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


def fail(message: str, status: int = 1) -> int:
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return status


def build_parser() -> ArgumentParser:
    parser = ArgumentParser(
        prog=PROG, description="Inspect, convert and plot LMA files.",
        epilog="Exit status: 0 success, 1 error or damaged record, "
               "2 bad argument, 130 interrupted, 128+N on signal N "
               "(SIGTERM, SIGHUP), 141 output pipe closed.")
    parser.add_argument("--version", action=ShowVersion)
    commands = parser.add_subparsers(title="commands", required=True,
                                     metavar="COMMAND",
                                     parser_class=ArgumentParser)

    info = commands.add_parser(
        "info", help="header, calibration and number of events",
        description="Print the header, the calibration table and the number "
                    "of events, and whether the file ends cleanly.")
    info.add_argument("file", metavar="FILE")
    info.set_defaults(run=run_info)

    show = commands.add_parser(
        "show", help="one event: tag and per-channel summary, or CSV",
        description="Print one event's tag and, per channel, the samples "
                    "its partial pulses cover and their minimum and maximum.")
    show.add_argument("file", metavar="FILE")
    show.add_argument("--event", type=event_index, default=0, metavar="N",
                      help="event index, counted from 0 (default 0)")
    show.add_argument("--csv", action="store_true",
                      help="print the full traces as CSV instead: a time "
                           "column, then one column per channel")
    show.set_defaults(run=run_show)

    convert = commands.add_parser(
        "convert", help="events into a NumPy .npz, Zarr or netCDF file",
        description="Write the events to a NumPy .npz file: 'tags', one "
                    "2-D array per channel ('channel0', ...) with a row per "
                    "event, and the header as 'channels', 'nsamples', "
                    "'sample_interval', 'calibration', 'source', 'start'. "
                    "OUT.zarr (needs kelvane[zarr]) and OUT.nc (needs "
                    "kelvane[netcdf]) hold the dataset xarray's engine "
                    "'lma' opens, with the attribute 'start'.")
    convert.add_argument("file", metavar="FILE")
    convert.add_argument("out", metavar="OUT.{npz,zarr,nc}")
    convert.add_argument("--dtype", choices=["float64", "float32"],
                         default="float64",
                         help="trace type; float32 halves the size")
    convert.add_argument("--start", type=event_index, default=0,
                         metavar="N", help="first event (default 0)")
    convert.add_argument("--stop", type=event_index, default=None,
                         metavar="N",
                         help="stop before this event (default: all)")
    convert.set_defaults(run=run_convert)

    plot = commands.add_parser(
        "plot", help="one event's traces as an image",
        description="Draw each channel's trace of one event against time.")
    plot.add_argument("file", metavar="FILE")
    plot.add_argument("--event", type=event_index, required=True,
                      metavar="N", help="event index, counted from 0")
    plot.add_argument("-o", "--output", required=True, metavar="OUT",
                      help="the image; its suffix picks the format: "
                           + ", ".join(IMAGE_FORMATS))
    plot.add_argument("--size", type=image_size, default=(800, 450),
                      metavar="WxH", help="in pixels (default 800x450)")
    plot.set_defaults(run=run_plot)
    return parser


class ShowVersion(argparse.Action):
    """--version; the package metadata is read only when it is asked
    for."""

    def __init__(self, option_strings: Sequence[str], dest: str,
                 **kwargs: Any) -> None:
        super().__init__(option_strings, dest=argparse.SUPPRESS,
                         default=argparse.SUPPRESS, nargs=0,
                         help="print the version of kelvane and exit")

    def __call__(self, parser: argparse.ArgumentParser,
                 namespace: argparse.Namespace, values: Any,
                 option_string: Optional[str] = None) -> NoReturn:
        from . import __version__
        print(f"{parser.prog} (kelvane) {__version__}")
        parser.exit()


def event_index(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}")
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text}")
    return value


def image_size(text: str) -> Tuple[int, int]:
    try:
        width, height = (int(part) for part in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not WIDTHxHEIGHT: {text!r}")
    if not (0 < width <= 20000 and 0 < height <= 20000):
        raise argparse.ArgumentTypeError(f"size out of range: {text}")
    return width, height


# ---------------------------------------------------------------- helpers

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


def printable(name: str) -> str:
    """`name` with bytes that are not UTF-8 shown as escapes."""
    return os.fsencode(name).decode("utf-8", "backslashreplace")


# Samples per event past which the header, not the data, is the likely
# cause of running out of memory: 800 MB of float64 for one event.
IMPLAUSIBLE_SAMPLES = 10**8


def out_of_memory(f: LmaFile) -> str:
    # Traces are sized from the header, so a damaged samples-per-trace
    # field can ask for more than any machine has.
    nchannels = len(f.channels)
    if max(f.nsamples, 0) * nchannels > IMPLAUSIBLE_SAMPLES:
        return (f"out of memory: the header's {f.nsamples} samples per "
                f"trace x {nchannels} channels is more than an event "
                f"can hold; the header is likely damaged")
    return "out of memory: the events do not fit in memory"


def available_memory() -> Optional[int]:
    """Bytes the system says it can still give without swapping; None
    where it does not say."""
    try:
        with open("/proc/meminfo") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return None


def reserve(nbytes: int) -> None:
    """MemoryError unless `nbytes` of output fit in the memory available.

    Decoding writes every sample, so an allocation that the system grants
    only on credit would end with this process killed, not with an error.
    """
    available = available_memory()
    if available is not None and nbytes > available:
        raise MemoryError(nbytes)


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


def checked_range(f: LmaFile, start: int, stop: Optional[int]) -> range:
    """The events from `start` up to `stop`; UserError when there is no
    event `start` (see `batch.event_range`)."""
    try:
        return event_range(f, start, stop)
    except IndexError as error:
        raise UserError(str(error)) from None


def find_event(f: LmaFile, index: int) -> Any:
    """Event `index` as `f[index]` gives it; UserError when the file has
    fewer events or a damaged record comes first."""
    checked_range(f, index, index + 1)
    reserve(len(f.channels) * max(f.nsamples, 0) * 8)
    return f[index]


def covered_samples(f: LmaFile, index: int) -> np.ndarray:
    """Which samples of each channel in use the partial pulses of event
    `index` cover, one row per channel.

    The traces cannot tell (an uncovered sample and one whose raw value
    equals the baseline are both 0.0), the pulses as stored can. Each
    covers its slice of the trace as the decoder places it, negative first
    indices included; a single sample broadcast into an empty slice covers
    nothing.
    """
    covered = np.zeros((len(f.channels), max(f.nsamples, 0)), dtype=bool)
    row = {c: i for i, c in enumerate(f.channels)}
    pulses = f.pulses(index, index + 1)
    for channel, first, length in zip(pulses.channel.tolist(),
                                      pulses.first.tolist(),
                                      pulses.length.tolist()):
        covered[row[channel], first:first + length] = True
    return covered


@contextlib.contextmanager
def atomic_output(path: str) -> Iterator[Any]:
    """A binary file that appears at `path` only once it is complete: it is
    written under a temporary name in the same directory (so the rename
    stays on one file system) and renamed over `path` at the end. On any
    failure, interruption included, the temporary file is removed."""
    folder = os.path.dirname(os.path.abspath(path))
    try:
        fd, temp = tempfile.mkstemp(
            dir=folder, prefix=f".{os.path.basename(path)}.", suffix=".tmp")
    except OSError as error:
        raise UserError(f"cannot write {path}: {error.strerror}") from None
    try:
        with os.fdopen(fd, "wb") as f:
            yield f
            # On disk before the rename, or a crash could leave `path`
            # empty.
            f.flush()
            os.fsync(f.fileno())
        # mkstemp makes the file private; give it the usual permissions.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temp, 0o666 & ~umask)
        os.replace(temp, path)
    except BaseException as error:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temp)
        if isinstance(error, OSError):
            raise UserError(f"cannot write {path}: "
                            f"{error.strerror or error}") from None
        raise


@contextlib.contextmanager
def atomic_path(path: str, directory: bool = False) -> Iterator[str]:
    """As `atomic_output`, for writers that take a name rather than a file:
    yields the name of a new temporary file, or directory, beside `path`,
    which is synced and renamed to `path` when the block ends, and removed
    when it fails."""
    folder = os.path.dirname(os.path.abspath(path))
    prefix = f".{os.path.basename(path)}."
    try:
        if directory:
            temp = tempfile.mkdtemp(dir=folder, prefix=prefix, suffix=".tmp")
        else:
            fd, temp = tempfile.mkstemp(dir=folder, prefix=prefix,
                                        suffix=".tmp")
            os.close(fd)
    except OSError as error:
        raise UserError(f"cannot write {path}: {error.strerror}") from None
    try:
        yield temp
        sync_tree(temp)
        # mkstemp and mkdtemp make it private; give it the usual
        # permissions.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temp, (0o777 if directory else 0o666) & ~umask)
        replace_tree(temp, path)
    except BaseException as error:
        remove_tree(temp)
        if isinstance(error, OSError):
            raise UserError(f"cannot write {path}: "
                            f"{error.strerror or error}") from None
        raise


def sync_tree(path: str) -> None:
    """Every file under `path` (or `path` itself) on disk, and the
    directories that list them, so a crash after the rename cannot leave
    an output with holes."""
    if not os.path.isdir(path):
        names = [path]
    else:
        names = []
        for folder, _, files in os.walk(path):
            names += [os.path.join(folder, f) for f in files] + [folder]
    for name in names:
        fd = os.open(name, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


def replace_tree(temp: str, path: str) -> None:
    """Renames `temp` to `path`; an existing directory at `path` is moved
    aside first (a rename cannot replace a directory that has entries) and
    put back if the rename fails."""
    if not (os.path.isdir(temp) and os.path.isdir(path)):
        os.replace(temp, path)
        return
    aside = tempfile.mkdtemp(dir=os.path.dirname(temp),
                             prefix=f".{os.path.basename(path)}.",
                             suffix=".old")
    os.replace(path, aside)     # over the empty directory just made
    try:
        os.replace(temp, path)
    except BaseException:
        os.replace(aside, path)
        raise
    remove_tree(aside)


def remove_tree(path: str) -> None:
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    else:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)


# ---------------------------------------------------------------- commands

def run_info(args: argparse.Namespace) -> int:
    with open_file(args.file) as f:
        print_header(f)
        print(f"{'events':<17}{len(f)}")
        if f.damage is None:
            print(f"{'ends':<17}cleanly")
            return 0
        print(f"{'ends':<17}with a {f.damage}")
        return fail(damage_message(f))


def print_header(f: LmaFile) -> None:
    rows = [("file", f.path),
            ("file size", f"{os.path.getsize(f.path)} bytes"),
            ("first event at", f"byte {f.pos_begin}"),
            ("channels in use", ", ".join(map(str, f.channels)) or "none"),
            ("samples/trace", str(f.nsamples)),
            ("sample interval", repr(f.sample_interval))]
    for label, value in rows:
        print(f"{label:<17}{value}")
    if not f.channels:
        return
    print("calibration")
    table = [("channel", "fullscale", "offset", "baseline", "gain")]
    for c, cal in zip(f.channels, f.calibration.values()):
        table.append((str(c), str(cal.fullscale), str(cal.offset),
                      str(cal.baseline), repr(cal.gain)))
    print_table(table, indent="  ")


def print_table(rows: Sequence[Tuple[str, ...]], indent: str = "") -> None:
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for row in rows:
        cells = (cell.rjust(width) for cell, width in zip(row, widths))
        print(indent + "  ".join(cells))


def run_show(args: argparse.Namespace) -> int:
    with open_file(args.file) as f:
        event = find_event(f, args.event)
        if args.csv:
            print_csv(f, event.traces)
            return 0
        covered = covered_samples(f, args.event)
        print(f"event {args.event} of {f.path}: tag {event.tag}")
        table = [("channel", "covered", "minimum", "maximum")]
        for c, trace, mask in zip(f.channels, event.traces, covered):
            values = trace[mask]
            low, high = ((repr(values.min().item()), repr(values.max().item()))
                         if values.size else ("-", "-"))
            table.append((str(c), str(int(mask.sum())), low, high))
        if len(table) > 1:
            print_table(table)
    return 0


def print_csv(f: LmaFile, traces: np.ndarray) -> None:
    keys = [f"channel{c}" for c in f.channels]
    # Times to 12 digits, so 3 x 2e-09 reads 6e-09; the traces by repr, the
    # shortest text that reads back as the same float.
    columns = [[f"{t:.12g}" for t in f.time.tolist()]]
    columns += [list(map(repr, trace.tolist())) for trace in traces]
    out = sys.stdout
    out.write(",".join(["time"] + keys) + "\n")
    for row in zip(*columns):
        out.write(",".join(row) + "\n")


# What `lma convert` writes, by the output's suffix (any case): the modules
# each format needs beyond NumPy, and the extra that installs them.
CONVERT_FORMATS: Dict[str, Tuple[Tuple[str, ...], str]] = {
    ".npz": ((), ""),
    ".zarr": (("xarray", "zarr"), "zarr"),
    ".nc": (("xarray", "h5netcdf", "h5py"), "netcdf"),
}


def check_output(source: str, out: str) -> str:
    """The output's format, by suffix. Refuses an OUT that would overwrite
    something other than an archive or a Zarr store, the input above
    all."""
    suffix = os.path.splitext(out)[1].lower()
    if suffix not in CONVERT_FORMATS:
        raise UsageError(f"OUT must end in {', '.join(CONVERT_FORMATS)}: "
                         f"{printable(out)}")
    with contextlib.suppress(OSError):
        if os.path.samefile(source, out):
            raise UsageError(f"OUT is the input file: {printable(out)}")
    if suffix == ".zarr" and os.path.lexists(out) and not is_zarr_store(out):
        raise UsageError(f"OUT exists and is not a Zarr store: "
                         f"{printable(out)}")
    return suffix


def is_zarr_store(path: str) -> bool:
    # The group's metadata file, in Zarr's second format or its third.
    return os.path.isdir(path) and not os.path.islink(path) and any(
        os.path.isfile(os.path.join(path, name))
        for name in (".zgroup", "zarr.json"))


def require_modules(suffix: str) -> None:
    modules, extra = CONVERT_FORMATS[suffix]
    missing = []
    for name in modules:
        try:
            importlib.import_module(name)
        except ImportError:
            missing.append(name)
    if missing:
        raise UserError(f"writing {suffix} needs {' and '.join(missing)}: "
                        f"pip install 'kelvane[{extra}]'")


# Events decoded per call while converting, as bytes of output: small
# enough for a smooth progress bar and a prompt response to Ctrl-C.
CONVERT_CHUNK_BYTES = 2**24


def run_convert(args: argparse.Namespace) -> int:
    suffix = check_output(args.file, args.out)
    if suffix != ".npz":
        return convert_to_dataset(args, suffix)
    dtype = np.dtype(args.dtype)
    # The output file is made before decoding, so that an unwritable OUT
    # is found at once.
    with open_file(args.file) as f, atomic_output(args.out) as out:
        events = checked_range(f, args.start, args.stop)
        tags, traces = convert_events(f, events, dtype)
        np.savez(out, **dict(traces, tags=tags,
                             **header_arrays(f, args.start)))
    return converted(args, f, events)


def converted(args: argparse.Namespace, f: LmaFile, events: range) -> int:
    last = f"{events.stop - 1}" if len(events) else "none"
    print(f"wrote {len(events)} events ({args.start} to {last}) "
          f"of {args.file} to {args.out}")
    if damage_reached(f, args.stop):
        return fail(damage_message(f))
    return 0


def convert_to_dataset(args: argparse.Namespace, suffix: str) -> int:
    """Writes the events as the xarray backend presents them, to Zarr or
    netCDF."""
    require_modules(suffix)
    from .xarray_backend import lma_dataset
    with open_file(args.file) as f, \
            atomic_path(args.out, directory=suffix == ".zarr") as temp:
        events = checked_range(f, args.start, args.stop)
        ds = lma_dataset(f, args.dtype).isel(
            event=slice(events.start, events.stop))
        if not damage_reached(f, args.stop):
            for key in ("damage", "damage_offset", "damage_event"):
                ds.attrs.pop(key, None)
        ds.attrs["start"] = events.start
        write_dataset(ds, temp, suffix, f)
    return converted(args, f, events)


def write_dataset(ds: Any, path: str, suffix: str, f: LmaFile) -> None:
    """With Dask at hand, a chunk of events at a time, so that memory stays
    bounded; without, one channel at a time. In this thread either way, so
    that an interruption stops the writing before the output is removed.
    """
    try:
        import dask
    except ImportError:
        scheduler: Any = contextlib.nullcontext()
    else:
        itemsize = ds[next(iter(ds.data_vars))].dtype.itemsize \
            if ds.data_vars else 1
        row_bytes = max(f.nsamples, 0) * len(f.channels) * itemsize
        ds = ds.chunk({"event": max(1, CONVERT_CHUNK_BYTES
                                    // max(row_bytes, 1))})
        scheduler = dask.config.set(scheduler="synchronous")
    with scheduler, warnings.catch_warnings():
        if suffix == ".zarr":
            # Zarr's third format has no consolidated metadata of its own
            # yet; it is written for readers of the second.
            warnings.filterwarnings("ignore", "Consolidated metadata",
                                    UserWarning)
            ds.to_zarr(path, mode="w")
        else:
            ds.to_netcdf(path, engine="h5netcdf")


def convert_events(f: LmaFile, events: range, dtype: np.dtype) -> Events:
    """The events as arrays of exactly their size, decoded a chunk at a
    time under a progress bar."""
    row_bytes = max(f.nsamples, 0) * len(f.channels) * dtype.itemsize
    reserve(len(events) * (row_bytes + 4))
    result = new_events(f, len(events), dtype)
    step = max(1, CONVERT_CHUNK_BYTES // max(row_bytes, 1))
    with progress_bar(len(events), "converting") as progress:
        for i in range(events.start, events.stop, step):
            j = min(i + step, events.stop)
            read_range(f, range(i, j), dtype, result, i - events.start)
            if progress is not None:
                progress(j - i)
    return result


def header_arrays(f: LmaFile, start: int) -> Dict[str, np.ndarray]:
    calibration = np.array(
        [(c.fullscale, c.offset, c.baseline, c.gain)
         for c in f.calibration.values()],
        dtype=[("fullscale", "i4"), ("offset", "i4"), ("baseline", "i4"),
               ("gain", "f8")])
    return {"channels": np.array(f.channels, dtype=np.int32),
            "nsamples": np.array(f.nsamples, dtype=np.int32),
            "sample_interval": np.array(f.sample_interval),
            "calibration": calibration,
            "source": np.array(f.path),
            "start": np.array(start, dtype=np.int64)}


# What `lma plot` writes, by the output's suffix (any case). Not
# PostScript: it cannot draw the legend's translucent frame and says so.
IMAGE_FORMATS = ("png", "svg", "pdf")


def image_format(out: str) -> str:
    suffix = os.path.splitext(out)[1][1:].lower()
    if suffix not in IMAGE_FORMATS:
        raise UsageError(f"OUT must end in ."
                         f"{', .'.join(IMAGE_FORMATS)}: {printable(out)}")
    return suffix


def run_plot(args: argparse.Namespace) -> int:
    # Given a file object, matplotlib cannot infer the format.
    image = image_format(args.output)
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise UserError("plot needs matplotlib: "
                        "pip install 'kelvane[plot]'") from None
    with open_file(args.file) as f:
        event = find_event(f, args.event)
        width, height = args.size
        figure = Figure(figsize=(width / 100, height / 100), dpi=100)
        axes = figure.subplots()
        for c, trace in zip(f.channels, event.traces):
            axes.plot(f.time, trace, label=f"channel {c}", linewidth=0.8)
        axes.set_xlabel("time (s)")
        axes.set_ylabel("calibrated amplitude")
        axes.set_title(f"{os.path.basename(f.path)}, "
                       f"event {args.event}, tag {event.tag}")
        if f.channels:
            axes.legend(loc="upper right")
        figure.tight_layout()
    with atomic_output(args.output) as f:
        figure.savefig(f, format=image, dpi=100)
    print(f"wrote {args.output}")
    return 0
