"""`lma hits FILE... -o OUT.{parquet,csv,npz}`: every hit of each channel,
a row per hit of each file in the order given, as a table. The settings
and the package's version go with the table: in the Parquet schema's
metadata and as the archive's member `options` (JSON text)."""

from __future__ import annotations

import argparse
import io
import json
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from ..batch import damage_message
from ..hits import QUANTITIES, Hits
from .base import Command
from .convert import require_modules
from .features import (TABLE_FORMATS, channel_list, positive_int,
                       reported_damage, sample_window, table_format)
from .output import atomic_output
from .source import open_file
from .status import UsageError, printable
from .table_npz import Column, write_columns


class FileHits(NamedTuple):
    name: str
    columns: Dict[str, np.ndarray]
    damage: Optional[str]

    @property
    def rows(self) -> int:
        return len(self.columns["event"])


class HitsCommand(Command):
    name = "hits"
    help = "every pulse above a threshold in each channel, as a table"
    description = ("Write every hit of each channel to a table: a row per "
                   "hit of each FILE in turn, the columns 'file', 'event' "
                   "(the index in its file), 'tag', 'horpos', 'channel', "
                   "then " + ", ".join(QUANTITIES) + ". OUT.parquet and "
                   "OUT.csv need kelvane[table].")

    def add_arguments(self, parser: argparse.ArgumentParser) -> None:
        parser.add_argument("files", nargs="+", metavar="FILE")
        parser.add_argument("-o", "--output", required=True, metavar="OUT",
                            help="the table; its suffix picks the format: "
                                 + ", ".join(TABLE_FORMATS))
        parser.add_argument("--channels", type=channel_list, metavar="C,C",
                            help="channel indices or keys (default: all)")
        parser.add_argument("--threshold", type=float, required=True,
                            metavar="T", help="in calibrated units")
        parser.add_argument("--polarity", type=int, choices=(1, -1),
                            default=1, help="-1 for negative pulses")
        parser.add_argument("--window", type=sample_window, metavar="A:B",
                            help="samples [A, B) of each trace")
        parser.add_argument("--fraction", type=float, default=0.5,
                            metavar="F", help="cfd level (default 0.5)")
        add_hit_options(parser)
        parser.add_argument("--jobs", type=positive_int, default=1,
                            metavar="N", help="read N files at once")

    def run(self, args: argparse.Namespace) -> int:
        suffix = table_format(args.files, args.output)
        require_modules(suffix, TABLE_FORMATS)
        options = hit_options(args, args.channels)
        with atomic_output(args.output) as out:
            results = all_hits(args.files, options, args.window, args.jobs)
            write_table(out, suffix, results, provenance(options,
                                                         args.window))
        rows = sum(r.rows for r in results)
        files = len(args.files)
        print(f"wrote {rows} hits of {files} file{'' if files == 1 else 's'}"
              f" to {args.output}")
        return reported_damage([r.damage for r in results
                                if r.damage is not None])


def add_hit_options(parser: argparse.ArgumentParser) -> None:
    """The settings of hits beyond the window and edge settings, shared by
    the commands that find hits."""
    for name, what in (("merge", "join runs this many samples apart"),
                       ("pre", "samples before a hit in its charge"),
                       ("post", "samples after a hit in its charge")):
        parser.add_argument(f"--{name}", type=int, default=0,
                            metavar="N", help=f"{what} (default 0)")
    parser.add_argument("--rise", type=levels, default=(0.1, 0.9),
                        metavar="LO:HI",
                        help="rise-time levels (default 0.1:0.9)")
    parser.add_argument("--tail", type=int, metavar="N",
                        help="tail charge from N samples after the peak")


def hit_options(args: argparse.Namespace,
                channels: Optional[List[Any]]) -> Dict[str, Any]:
    """`LmaFile.hits`' keyword arguments from the options, but the
    window (see `all_hits`)."""
    return dict(channels=channels, threshold=args.threshold,
                polarity=args.polarity, merge=args.merge, pre=args.pre,
                post=args.post, fraction=args.fraction, rise=args.rise,
                tail=args.tail)


def levels(text: str) -> Tuple[float, float]:
    try:
        low, high = (float(p) for p in text.split(":"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not LO:HI: {text!r}") from None
    return low, high


def provenance(options: Dict[str, Any],
               window: Optional[Tuple[Optional[int], Optional[int]]],
               ) -> Dict[str, Any]:
    from .. import __version__
    return {"kelvane": __version__, "command": "hits",
            "options": {**options, "window": window}}


def all_hits(names: Sequence[str], options: Dict[str, Any],
             window: Any, jobs: int) -> List[FileHits]:
    """Each file's hits, in the order given, `jobs` files at once (the
    engine reads with the interpreter lock released)."""
    def one(name: str) -> FileHits:
        with open_file(name) as f:
            first, stop = window or (None, None)
            span = (first or 0, f.nsamples if stop is None else stop)
            try:
                hits = f.hits(window=span if window else None, **options)
            except (ValueError, TypeError) as error:
                raise UsageError(f"{printable(name)}: {error}") from None
            damage = damage_message(f) if f.damage is not None else None
        return FileHits(name, table_columns(hits), damage)

    if jobs == 1 or len(names) < 2:
        return [one(name) for name in names]
    with ThreadPoolExecutor(min(jobs, len(names))) as pool:
        return list(pool.map(one, names))


def table_columns(hits: Hits) -> Dict[str, np.ndarray]:
    rows = hits.event - hits.first_event
    return {"event": hits.event, "tag": hits.tags[rows],
            "horpos": hits.horpos[rows], "channel": hits.channel,
            **{q: getattr(hits, q) for q in QUANTITIES}}


def write_table(out: Any, suffix: str, results: Sequence[FileHits],
                meta: Dict[str, Any]) -> None:
    names = [r.name for r in results]
    counts = [r.rows for r in results]
    columns = {key: np.concatenate([r.columns[key] for r in results])
               for key in results[0].columns}
    text = json.dumps(meta)
    if suffix == ".npz":
        files = np.repeat(np.array(names), counts)
        options = np.array(text)
        write_columns(out, [Column("file", files.dtype, len(files), [files])]
                      + [Column(k, v.dtype, len(v), [v])
                         for k, v in columns.items()]
                      + [Column("options", options.dtype, 1,
                                [options.reshape(1)])])
        return
    import pandas as pd
    categories = list(dict.fromkeys(names))
    codes = np.repeat([categories.index(n) for n in names], counts)
    frame = pd.DataFrame(dict(
        file=pd.Categorical.from_codes(codes, categories), **columns))
    if suffix == ".parquet":
        import pyarrow as pa
        import pyarrow.parquet as pq
        table = pa.Table.from_pandas(frame, preserve_index=False)
        table = table.replace_schema_metadata(
            {**(table.schema.metadata or {}), b"kelvane": text.encode()})
        pq.write_table(table, out)
        return
    wrapper = io.TextIOWrapper(out, encoding="utf-8", newline="")
    frame.to_csv(wrapper, index=False)
    wrapper.flush()
    wrapper.detach()       # `out` stays open for the atomic rename
