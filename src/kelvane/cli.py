"""The `lma` command: inspect, convert and plot LMA files.

    lma info FILE
    lma show FILE [--event N] [--csv]
    lma convert FILE OUT.npz [--dtype float32] [--start N] [--stop N]
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
import os
import signal
import struct
import sys
import tempfile
from typing import (Any, Callable, Dict, Iterator, List, NoReturn, Optional,
                    Sequence, Tuple)

import numpy as np

from .batch import (Collector, DamagedHeaderError, DamagedRecordWarning,
                    Damage, EventStream, collect, open_reader)
from .lmafmt import LmaReader

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
    sys.stdout = GuardedOutput(real)
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
        "convert", help="events into a NumPy .npz file",
        description="Write the events to a NumPy .npz file: 'tags', one "
                    "2-D array per channel ('channel0', ...) with a row per "
                    "event, and the header as 'channels', 'nsamples', "
                    "'sample_interval', 'calibration', 'source', 'start'.")
    convert.add_argument("file", metavar="FILE")
    convert.add_argument("out", metavar="OUT.npz")
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
def open_file(name: str) -> Iterator[LmaReader]:
    """The open reader, with opening failures and running out of memory
    while decoding as `UserError`."""
    with open_or_explain(name) as reader:
        try:
            yield reader
        except MemoryError:
            raise UserError(out_of_memory(reader)) from None


def open_or_explain(name: str) -> LmaReader:
    try:
        return open_reader(name)
    except FileNotFoundError:
        why = "not readable" if os.path.lexists(name) else "no such file"
        raise UserError(f"cannot open {printable(name)}: {why}") from None
    except IsADirectoryError:
        raise UserError(f"cannot open {printable(name)}: it is a "
                        f"directory") from None
    except ValueError:
        # Only a name that is not UTF-8 gets here.
        raise UserError(f"cannot open {printable(name)}: the name is not "
                        f"valid UTF-8") from None
    except DamagedHeaderError as error:
        raise UserError(str(error)) from None


def printable(name: str) -> str:
    """`name` with bytes that are not UTF-8 shown as escapes."""
    return os.fsencode(name).decode("utf-8", "backslashreplace")


# Samples per event past which the header, not the data, is the likely
# cause of running out of memory: 800 MB of float64 for one event.
IMPLAUSIBLE_SAMPLES = 10**8


def out_of_memory(reader: LmaReader) -> str:
    # The reader sizes every event from the header, so a damaged
    # samples-per-trace field can ask for more than any machine has.
    per_event = max(reader.nsamples, 0) * reader.nchannels
    if per_event > IMPLAUSIBLE_SAMPLES:
        return (f"out of memory: the header's {reader.nsamples} samples per "
                f"trace x {reader.nchannels} channels is more than an event "
                f"can hold; the header is likely damaged")
    return "out of memory: the events do not fit in memory"


def damage_message(reader: LmaReader, damage: Damage) -> str:
    return str(DamagedRecordWarning(reader.filename, damage))


@contextlib.contextmanager
def progress_bar(reader: LmaReader,
                 what: str) -> Iterator[Optional[Callable[[int], None]]]:
    """A callback taking the file offset reached, drawing a bar on stderr;
    None (no work per event at all) when stderr is not a terminal."""
    if not sys.stderr.isatty():
        yield None
        return
    from tqdm import tqdm  # type: ignore[import-untyped]
    begin = reader.pos_begin
    with tqdm(total=max(reader.pos_end - begin, 0), desc=what, unit="B",
              unit_scale=True, file=sys.stderr, leave=False) as bar:
        yield lambda offset: bar.update(offset - begin - bar.n)


def find_event(reader: LmaReader,
               index: int) -> Tuple[Dict[str, Any], EventStream]:
    """Event `index` and the stream that decoded it; raises UserError when
    the file has fewer events or a damaged record comes first."""
    stream = EventStream(reader, index, index + 1)
    for event in stream:
        return event, stream
    find_event_failed(reader, stream, index)


def find_event_failed(reader: LmaReader, stream: EventStream,
                      index: int) -> NoReturn:
    """Raises UserError: `stream` ended before event `index`."""
    if stream.damage is not None:
        raise UserError(damage_message(reader, stream.damage))
    raise UserError(f"{reader.filename} has {stream.count} event"
                    f"{'' if stream.count == 1 else 's'}; no event {index}")


def covered_samples(record: bytes, nchannels: int,
                    nsamples: int) -> np.ndarray:
    """Which samples of each channel the record's partial pulses cover.

    The event dictionary cannot tell (an uncovered sample and one whose raw
    value equals the baseline are both 0.0), so the record layout is walked
    again: a 12-byte head (tag, horizontal position), then per channel an
    int16 pulse count and per pulse int32 first index, int32 length and the
    samples. Slicing follows the decoder's, negative first indices included.
    The record has already decoded, so every field is present.
    """
    covered = np.zeros((nchannels, max(nsamples, 0)), dtype=bool)
    at = 12
    for row in covered:
        (count,) = struct.unpack_from("<h", record, at)
        at += 2
        for _ in range(count):
            first, length = struct.unpack_from("<ii", record, at)
            at += 8 + 2 * length
            row[first:first + length] = True
    return covered


def read_record(name: str, begin: int, end: int) -> bytes:
    with open(name, "rb") as f:
        f.seek(begin)
        return f.read(end - begin)


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


# ---------------------------------------------------------------- commands

def run_info(args: argparse.Namespace) -> int:
    with open_file(args.file) as reader:
        # The header first: it is what explains a failure to decode.
        print_header(reader)
        sys.stdout.flush()
        with progress_bar(reader, "reading") as progress:
            stream = EventStream(reader, progress=progress)
            for _ in stream:
                pass
        print(f"{'events':<17}{stream.count}")
        if stream.damage is None:
            print(f"{'ends':<17}cleanly")
            return 0
        print(f"{'ends':<17}with a {stream.damage}")
    return fail(damage_message(reader, stream.damage))


def print_header(reader: LmaReader) -> None:
    channels = reader.channels
    rows = [("file", reader.filename),
            ("file size", f"{reader.pos_end} bytes"),
            ("first event at", f"byte {reader.pos_begin}"),
            ("channels in use", ", ".join(map(str, channels)) or "none"),
            ("samples/trace", str(reader.nsamples)),
            ("sample interval", repr(reader.sample_interval))]
    for label, value in rows:
        print(f"{label:<17}{value}")
    if not channels:
        return
    print("calibration")
    table = [("channel", "fullscale", "offset", "baseline", "gain")]
    for c, info in zip(channels, reader.channel_info):
        table.append((str(c), str(info["fullscale"]), str(info["offset"]),
                      str(info["baseline"]), repr(info["gain"])))
    print_table(table, indent="  ")


def print_table(rows: Sequence[Tuple[str, ...]], indent: str = "") -> None:
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for row in rows:
        cells = (cell.rjust(width) for cell, width in zip(row, widths))
        print(indent + "  ".join(cells))


def run_show(args: argparse.Namespace) -> int:
    with open_file(args.file) as reader:
        event, stream = find_event(reader, args.event)
        if args.csv:
            print_csv(reader, event)
            return 0
        record = read_record(reader.filename, stream.record_offset,
                             stream.offset)
        covered = covered_samples(record, reader.nchannels, reader.nsamples)
        print(f"event {args.event} of {reader.filename}: tag {event['tag']}")
        table = [("channel", "covered", "minimum", "maximum")]
        for c, mask in zip(reader.channels, covered):
            values = event[f"channel{c}"][mask]
            low, high = ((repr(values.min().item()), repr(values.max().item()))
                         if values.size else ("-", "-"))
            table.append((str(c), str(int(mask.sum())), low, high))
        if len(table) > 1:
            print_table(table)
    return 0


def sample_times(reader: LmaReader) -> np.ndarray:
    # A NaN or infinite interval gives NaN and inf times, no warning.
    with np.errstate(invalid="ignore", over="ignore"):
        return np.arange(max(reader.nsamples, 0)) * reader.sample_interval


def print_csv(reader: LmaReader, event: Dict[str, Any]) -> None:
    keys = [f"channel{c}" for c in reader.channels]
    times = sample_times(reader)
    # Times to 12 digits, so 3 x 2e-09 reads 6e-09; the traces by repr, the
    # shortest text that reads back as the same float.
    columns = [[f"{t:.12g}" for t in times.tolist()]]
    columns += [list(map(repr, event[k].tolist())) for k in keys]
    out = sys.stdout
    out.write(",".join(["time"] + keys) + "\n")
    for row in zip(*columns):
        out.write(",".join(row) + "\n")


def check_output(source: str, out: str) -> None:
    """Refuses an OUT that would overwrite something other than an
    archive, the input above all."""
    if not out.lower().endswith(".npz"):
        raise UsageError(f"OUT must end in .npz: {printable(out)}")
    with contextlib.suppress(OSError):
        if os.path.samefile(source, out):
            raise UsageError(f"OUT is the input file: {printable(out)}")


def run_convert(args: argparse.Namespace) -> int:
    check_output(args.file, args.out)
    # The output file is made before decoding, so that an unwritable OUT
    # is found at once.
    with open_file(args.file) as reader, atomic_output(args.out) as f:
        with progress_bar(reader, "converting") as progress:
            stream = EventStream(reader, args.start, args.stop, progress)
            tags, traces = collect(stream, Collector(reader, args.dtype,
                                                     stream.size))
        no_first = args.start > 0 and stream.count <= args.start
        if no_first and args.stop != args.start:
            # No event at --start: an error, as for `show --event`.
            find_event_failed(reader, stream, args.start)
        np.savez(f, **dict(traces, tags=tags,
                           **header_arrays(reader, args.start)))
    last = f"{args.start + len(tags) - 1}" if len(tags) else "none"
    print(f"wrote {len(tags)} events ({args.start} to {last}) "
          f"of {args.file} to {args.out}")
    if stream.damage is not None:
        return fail(damage_message(reader, stream.damage))
    return 0


def header_arrays(reader: LmaReader, start: int) -> Dict[str, np.ndarray]:
    calibration = np.array(
        [(i["fullscale"], i["offset"], i["baseline"], i["gain"])
         for i in reader.channel_info],
        dtype=[("fullscale", "i4"), ("offset", "i4"), ("baseline", "i4"),
               ("gain", "f8")])
    return {"channels": np.array(reader.channels, dtype=np.int32),
            "nsamples": np.array(reader.nsamples, dtype=np.int32),
            "sample_interval": np.array(reader.sample_interval),
            "calibration": calibration,
            "source": np.array(reader.filename),
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
    with open_file(args.file) as reader:
        event, _ = find_event(reader, args.event)
        time = sample_times(reader)
        width, height = args.size
        figure = Figure(figsize=(width / 100, height / 100), dpi=100)
        axes = figure.subplots()
        for c in reader.channels:
            axes.plot(time, event[f"channel{c}"], label=f"channel {c}",
                      linewidth=0.8)
        axes.set_xlabel("time (s)")
        axes.set_ylabel("calibrated amplitude")
        axes.set_title(f"{os.path.basename(reader.filename)}, "
                       f"event {args.event}, tag {event['tag']}")
        if reader.channels:
            axes.legend(loc="upper right")
        figure.tight_layout()
    with atomic_output(args.output) as f:
        figure.savefig(f, format=image, dpi=100)
    print(f"wrote {args.output}")
    return 0
