"""`lma features FILE... -o OUT.{parquet,csv,npz}`: per-event quantities of
each channel, a row per event of each file in the order given, as a table.

The files are read as one `kelvane.Run`, which spreads them over threads;
this module holds the options (the window and the edge settings, shared
with `lma spectrum`) and the writing of the table.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
from typing import (Any, Callable, Dict, List, NamedTuple, Optional,
                    Sequence, Tuple, Union)

import numpy as np

from ..batch import damage_message
from ..features import QUANTITIES, Features, flat_columns, request
from ..lmafile import LmaFile
from ..run import Run
from .base import Command
from .convert import require_modules
from .output import atomic_output, refuse_inputs
from .progress import progress_bar
from .source import open_file
from .status import UsageError, UserError, fail, printable
from .table_npz import Column, Repeated, write_columns

# What `lma features` writes, by the output's suffix (any case): the
# modules each format needs beyond NumPy, and the extra that installs them.
# CSV goes through pandas so that its text is what `to_pandas()` would
# write; NumPy's archive needs nothing more.
TABLE_FORMATS: Dict[str, Tuple[Tuple[str, ...], str]] = {
    ".parquet": (("pandas", "pyarrow"), "table"),
    ".csv": (("pandas",), "table"),
    ".npz": ((), ""),
}

# Rows of a file's name made at once for the column 'file' of an archive,
# then written over and over.
NAME_BLOCK = 4096

Channel = Union[int, str]


class PerChannel(NamedTuple):
    """A setting given per channel on the command line ("-1,2=1"): the
    value of each channel not named, and the named channels' own."""
    default: Any
    each: Dict[Channel, Any]

    def values(self) -> List[Any]:
        return [self.default, *self.each.values()]


class Settings(NamedTuple):
    """What every file is asked for (see `LmaFile.features`); an end of
    `window` left out is None until a file's length fills it in. A
    setting may be a `PerChannel`."""
    channels: Optional[List[Channel]]
    quantities: Optional[List[str]]
    window: Any
    threshold: Any
    fraction: Any
    polarity: Any

    def options(self, f: LmaFile) -> Dict[str, Any]:
        """Keyword arguments of `LmaFile.features` for the file `f`: each
        window's open ends filled in from its samples per trace, each
        per-channel setting a mapping over the channels selected."""
        def window(w: Any) -> Any:
            if w is None:
                return None
            first, stop = w
            return (0 if first is None else first,
                    f.nsamples if stop is None else stop)

        selected = f.channels if self.channels is None else self.channels
        keys = [c if isinstance(c, str) else f"channel{c}" for c in selected]

        def resolved(value: Any, fill: Callable[[Any], Any]) -> Any:
            if not isinstance(value, PerChannel):
                return fill(value)
            # The bare value is every other channel's, not the library's
            # default: the mapping names each channel.
            out = {k: fill(value.default) for k in keys}
            for c, v in value.each.items():
                out[c if isinstance(c, str) else f"channel{c}"] = fill(v)
            return out

        return dict(channels=self.channels, quantities=self.quantities,
                    window=resolved(self.window, window),
                    threshold=resolved(self.threshold, lambda v: v),
                    fraction=resolved(self.fraction, lambda v: v),
                    polarity=resolved(self.polarity, lambda v: v))


class Opened(NamedTuple):
    """A file as found on opening: its name as given and the event keys
    of the channels selected."""
    name: str
    channels: List[str]


class Table(NamedTuple):
    """Every file's quantities in turn (`file` numbers each row's file),
    the files' names as given, each file's rows, and one line for each
    file whose events a damaged record ended."""
    features: Features
    names: List[str]
    rows: List[int]
    damage: List[str]

    @property
    def channels(self) -> List[str]:
        return self.features.channels


class FeaturesCommand(Command):
    name = "features"
    help = "per-event quantities of each channel as a table"
    description = ("Write per-event quantities of each channel to a table: "
                   "a row per event of each FILE in turn, the columns "
                   "'file', 'tag', 'horpos', then '<key>_<quantity>' per "
                   "channel and quantity. OUT.parquet and OUT.csv need "
                   "kelvane[table].")

    def add_arguments(self, parser: argparse.ArgumentParser) -> None:
        parser.add_argument("files", nargs="+", metavar="FILE")
        parser.add_argument("-o", "--output", required=True, metavar="OUT",
                            help="the table; its suffix picks the format: "
                                 + ", ".join(TABLE_FORMATS))
        parser.add_argument("--channels", type=channel_list, metavar="C,C",
                            help="channel indices or keys (default: all)")
        parser.add_argument("--quantities", type=name_list, metavar="Q,Q",
                            help="of " + ", ".join(QUANTITIES)
                                 + " (default: all; crossing only with "
                                   "--threshold)")
        add_edge_options(parser)
        parser.add_argument("--jobs", type=positive_int, default=1,
                            metavar="N",
                            help="read in N threads (default 1)")

    def check_arguments(self, parser: argparse.ArgumentParser,
                        args: argparse.Namespace) -> None:
        check_settings(parser, settings_of(args, args.channels,
                                           args.quantities))

    def run(self, args: argparse.Namespace) -> int:
        suffix = table_format(args.files, args.output)
        require_modules(suffix, TABLE_FORMATS)
        settings = settings_of(args, args.channels, args.quantities)
        # The output file is made before reading, so that an unwritable OUT
        # is found at once.
        with atomic_output(args.output) as out:
            table = run_features(args.files, settings, args.jobs)
            write_table(out, suffix, table, args.jobs)
        rows = len(table.features.tags)
        files = len(args.files)
        print(f"wrote {rows} events of {files} file{'' if files == 1 else 's'}"
              f" to {printable(args.output)}")
        return reported_damage(table.damage)


# ------------------------------------------------------------ the options

def add_edge_options(parser: argparse.ArgumentParser) -> None:
    """The window and edge settings, shared by the commands that reduce
    events."""
    each = (" Each may be given per channel: a bare value for every "
            "channel, then CHANNEL=VALUE for one, as in -1,2=1.")
    parser.add_argument("--window", type=per_channel(sample_window, None),
                        metavar="A:B",
                        help="samples [A, B) of each trace; either end may "
                             "be left out (default: all)")
    parser.add_argument("--threshold", type=per_channel(float, None),
                        metavar="T",
                        help="level of 'crossing', in calibrated units")
    parser.add_argument("--fraction", type=per_channel(float, 0.5),
                        default=0.5, metavar="F",
                        help="of the peak, for 'cfd' (default 0.5)")
    parser.add_argument("--polarity", type=per_channel(polarity, 1),
                        default=1, metavar="{1,-1}",
                        help="-1 for negative pulses (default 1)." + each)


def polarity(text: str) -> int:
    if text.strip() not in ("1", "-1", "+1"):
        raise argparse.ArgumentTypeError(f"not 1 or -1: {text!r}")
    return int(text)


def per_channel(parse: Callable[[str], Any],
                default: Any) -> Callable[[str], Any]:
    """The type of an option that takes one value, or a bare value for
    every channel and CHANNEL=VALUE for some ("-1,2=1"; the bare value by
    default `default`): the value, or a PerChannel."""
    def convert(text: str) -> Any:
        items = [item.strip() for item in text.split(",")]
        if len(items) == 1 and "=" not in items[0]:
            return parse(items[0])
        bare: List[Any] = []
        each: Dict[Channel, Any] = {}
        for item in items:
            name, sign, value = item.partition("=")
            if not sign:
                bare.append(parse(item))
                continue
            key = channel(name)
            if key in each:
                raise argparse.ArgumentTypeError(
                    f"channel {name} is given twice in {text!r}")
            each[key] = parse(value)
        if len(bare) > 1:
            raise argparse.ArgumentTypeError(
                f"more than one value for every channel in {text!r}")
        return PerChannel(bare[0] if bare else default, each)
    convert.__name__ = getattr(parse, "__name__", "value")
    return convert


def settings_of(args: argparse.Namespace,
                channels: Optional[List[Channel]],
                quantities: Optional[List[str]]) -> Settings:
    """The settings of `add_edge_options` in `args`, for these channels and
    quantities."""
    return Settings(channels, quantities, args.window, args.threshold,
                    args.fraction, args.polarity)


def check_settings(parser: argparse.ArgumentParser,
                   settings: Settings) -> None:
    """Refuses, before any file is opened, what `LmaFile.features` would
    refuse in every file; the window and the channels are checked against
    each file as it is opened."""
    def each(value: Any) -> List[Any]:
        return value.values() if isinstance(value, PerChannel) else [value]

    try:
        for threshold in each(settings.threshold):
            for fraction in each(settings.fraction):
                for sign in each(settings.polarity):
                    request(0, settings.quantities, None, threshold,
                            fraction, sign)
    except ValueError as error:
        parser.error(str(error))


def comma_list(text: str) -> List[str]:
    items = [item.strip() for item in text.split(",")]
    if "" in items:
        raise argparse.ArgumentTypeError(f"an empty item in {text!r}")
    return items


def channel(text: str) -> Channel:
    """A channel index, or an event key such as 'channel3'."""
    text = text.strip()
    return int(text) if text.isascii() and text.isdigit() else text


def channel_list(text: str) -> List[Channel]:
    return [channel(item) for item in comma_list(text)]


def name_list(text: str) -> List[str]:
    return comma_list(text)


def sample_window(text: str) -> Tuple[Optional[int], Optional[int]]:
    parts = text.split(":")
    if len(parts) != 2:
        raise argparse.ArgumentTypeError(f"not A:B: {text!r}")
    first, stop = (sample_bound(part, text) for part in parts)
    if first is not None and stop is not None and stop < first:
        raise argparse.ArgumentTypeError(f"window {text} ends before it "
                                         f"starts")
    return first, stop


def sample_bound(part: str, text: str) -> Optional[int]:
    if not part.strip():
        return None
    try:
        value = int(part)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"not A:B in whole samples: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text}")
    return value


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}")
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text}")
    return value


# ---------------------------------------------------------- the reading

def run_features(names: Sequence[str], settings: Settings,
                 jobs: int = 1) -> Table:
    """The quantities of every file's events, in the order given, read as
    one run in `jobs` threads under a progress bar. Every file is opened
    and its settings checked before any record is read; a file that fails
    ends it with its `UserError`."""
    with contextlib.ExitStack() as stack:
        # Headers only: the run indexes the files in its threads.
        files = [stack.enter_context(open_file(name, indexed_later=True))
                 for name in names]
        checked = [checked_options(f, name, settings)
                   for f, name in zip(files, names)]
        run = Run._from_files(files, names)
        # Indexed over the threads too, for the bar's total.
        run._index_files(jobs)
        same_channels([Opened(name, keys)
                       for name, (_, keys) in zip(names, checked)])
        bounds = run.bounds
        with progress_bar(len(run), "features") as progress:
            parts = [run.features(int(bounds[i]), int(bounds[j]), jobs=jobs,
                                  progress=progress, **options)
                     for i, j, options in alike(checked)]
        return Table(joined(parts), list(names), np.diff(bounds).tolist(),
                     [damage_message(f) for f in files
                      if f.damage is not None])


def alike(checked: Sequence[Tuple[Dict[str, Any], List[str]]],
          ) -> List[Tuple[int, int, Dict[str, Any]]]:
    """(first, stop, options): the runs of consecutive files asked for the
    same options. Files of one run share them; files that differ in their
    samples per trace each fill an open window's end with their own."""
    groups: List[Tuple[int, int, Dict[str, Any]]] = []
    for k, (options, _) in enumerate(checked):
        if groups and groups[-1][2] == options:
            groups[-1] = (groups[-1][0], k + 1, options)
        else:
            groups.append((k, k + 1, options))
    return groups


def checked_options(f: LmaFile, name: str, settings: Settings,
                    ) -> Tuple[Dict[str, Any], List[str]]:
    """The file's keyword arguments of `LmaFile.features`, and the keys of
    the channels they select; a window or channels the file does not have
    are refused from its header, before it is indexed (UsageError, naming
    the file)."""
    options = dict(settings.options(f))
    channels, quantities = options.pop("channels"), options.pop("quantities")
    try:
        _, keys, _ = f._features_request(channels, quantities, options)
    except (ValueError, TypeError, IndexError) as error:
        raise UsageError(f"{printable(name)}: {error}") from None
    return settings.options(f), keys


def joined(parts: Sequence[Features]) -> Features:
    """Features of consecutive event ranges of one run, as one."""
    first = parts[0]
    if len(parts) == 1:
        return first
    return first._replace(
        tags=np.concatenate([p.tags for p in parts]),
        horpos=np.concatenate([p.horpos for p in parts]),
        values={q: np.concatenate([p.values[q] for p in parts])
                for q in first.values},
        file=np.concatenate([p.file for p in parts]))


def reported_damage(lines: Sequence[str]) -> int:
    """Each line that reports a file's damaged record; 1 if there was
    one."""
    status = 0
    for line in lines:
        status = fail(line)
    return status


# ---------------------------------------------------------- the writing

def table_format(names: Sequence[str], out: str) -> str:
    """The table's format, by suffix; refuses an OUT that is one of the
    inputs."""
    suffix = os.path.splitext(out)[1].lower()
    if suffix not in TABLE_FORMATS:
        raise UsageError(f"OUT must end in {', '.join(TABLE_FORMATS)}: "
                         f"{printable(out)}")
    refuse_inputs(names, out)
    return suffix


def same_channels(opened: Sequence[Opened]) -> None:
    first = opened[0]
    for f in opened[1:]:
        if f.channels != first.channels:
            raise UserError(
                f"{printable(f.name)} has the channels "
                f"{', '.join(f.channels)} and "
                f"{printable(first.name)} "
                f"{', '.join(first.channels)}: choose common "
                f"ones with --channels")


def write_table(out: Any, suffix: str, table: Table, jobs: int = 1) -> None:
    """All files' rows to the binary file `out`, with the column `file`
    first: strings in an archive (checksummed in `jobs` threads), a
    category of the names in the order given for pandas."""
    columns = flat_columns(table.features)
    if suffix == ".npz":
        rows = len(table.features.tags)
        write_columns(out, [names_column(table)] + [
            Column(key, values.dtype, rows, [values])
            for key, values in columns.items()] + [provenance_column(table)],
            jobs)
        return
    import pandas as pd
    names = [printable(name) for name in table.names]
    categories = list(dict.fromkeys(names))
    codes = np.repeat([categories.index(n) for n in names], table.rows)
    frame = pd.DataFrame(dict(
        file=pd.Categorical.from_codes(codes, categories), **columns))
    if suffix == ".parquet":
        import pyarrow as pa
        import pyarrow.parquet as pq
        arrow = pa.Table.from_pandas(frame, preserve_index=False)
        arrow = arrow.replace_schema_metadata({
            **(arrow.schema.metadata or {}),
            b"kelvane": provenance(table).encode()})
        pq.write_table(arrow, out)
        return
    text = io.TextIOWrapper(out, encoding="utf-8", newline="")
    frame.to_csv(text, index=False)
    text.flush()
    text.detach()       # `out` stays open for the atomic rename


def provenance(table: Table) -> str:
    """Where a table came from, as JSON: kelvane's version, the sources
    (URLs without their credentials), the channels, the sample interval
    and every option the quantities were computed with."""
    from importlib.metadata import version
    feat = table.features
    return json.dumps({
        "version": version("kelvane"),
        "sources": [printable(name) for name in table.names],
        "channels": list(feat.channels),
        "sample_interval": feat.sample_interval,
        "options": feat.options})


def provenance_column(table: Table) -> Column:
    """The archive's member `kelvane_metadata`: the provenance as a 0-d
    unicode array, which loads without pickles (`np.savez` cannot write
    the table anyway: 'file' is the name of its own first parameter)."""
    text = provenance(table)
    return Column("kelvane_metadata", np.dtype(f"<U{max(len(text), 1)}"), 1,
                  [np.array(text)], shape=())


def names_column(table: Table) -> Column:
    """The column 'file': each file's name over its rows, from a block of
    it written over and over."""
    names = [printable(name) for name in table.names]
    text = np.array(names).dtype
    return Column("file", text, sum(table.rows),
                  [Repeated(np.full(min(rows, NAME_BLOCK), name, text), rows)
                   for rows, name in zip(table.rows, names)])
