"""What every export says about its events beside the samples: the
attributes of the dataset and of each variable, following the CF
conventions so that xarray and the netCDF tools read them without help.
"""

from __future__ import annotations

import math
from typing import Any, Dict, List, Optional, Tuple

from ..damage import Damage
from .run import Run

CONVENTIONS = "CF-1.8"

# "s" and not "seconds": with the latter, xarray would decode `time` to
# timedeltas.
COORDINATE_ATTRIBUTES: Dict[str, Dict[str, str]] = {
    "time": {"units": "s", "long_name": "time from the start of the trace"},
    "tag": {"long_name": "event tag"},
    "horpos": {"long_name": "horizontal position of the event"},
    "file": {"long_name": "input file of the event, an index into the "
                          "attribute sources"},
}

CALIBRATION_FIELDS = ("fullscale", "offset", "baseline", "gain")


def one_or_each(values: List[Any]) -> Any:
    """The value all inputs share, or the list of each one's."""
    return values[0] if all(v == values[0] for v in values) else values


def calibration(run: Run, key: str) -> Dict[str, Any]:
    """A channel's calibration fields, each a number, or one per input
    where the inputs differ."""
    cals = [c[key] for c in run.calibrations()]
    kinds = {"gain": float}
    return {name: one_or_each([kinds.get(name, int)(getattr(c, name))
                               for c in cals])
            for name in CALIBRATION_FIELDS}


def channel_attributes(run: Run, key: str, dtype: str) -> Dict[str, Any]:
    """A channel's attributes. Raw samples carry the calibration as CF's
    `scale_factor` and `add_offset` (float64, both always present, so that
    decoding gives float64), with which a reader gets gain * raw - gain *
    baseline: the trace, up to rounding."""
    channel = int(key[len("channel"):])
    attrs: Dict[str, Any] = {"long_name": f"channel {channel} trace",
                             "channel": channel}
    attrs.update(calibration(run, key))
    if dtype == "raw":
        gain, baseline = float(attrs["gain"]), int(attrs["baseline"])
        attrs["scale_factor"] = gain
        # + 0.0: a zero offset is +0.0, never -0.0.
        attrs["add_offset"] = -gain * baseline + 0.0
    return attrs


def check_raw_scaling(run: Run) -> None:
    """ValueError, naming the channel, where raw samples would carry a
    `scale_factor` or `add_offset` that is not finite: a reader would
    decode every sample to NaN or an infinity."""
    for key in run.keys:
        attrs = channel_attributes(run, key, "raw")
        for name in ("scale_factor", "add_offset"):
            if not math.isfinite(attrs[name]):
                raise ValueError(
                    f"{key}: the calibration gives raw samples an "
                    f"{name} of {attrs[name]}, which decodes no sample: "
                    f"write float64 instead of raw")


def coordinates(run: Run) -> List[str]:
    """The coordinates along `event` and `sample`, by name."""
    names = ["tag", "horpos", "time"]
    return names + ["file"] if len(run.files) > 1 else names


def source_attributes(run: Run, many: bool) -> Dict[str, Any]:
    """The inputs and the header: `source` names the one input, or
    `sources` lists them (`many`), as the per-event `file` indexes it."""
    attrs: Dict[str, Any] = {}
    if many:
        attrs["sources"] = run.sources
    else:
        attrs["source"] = run.sources[0]
    attrs.update(sample_interval=float(run.sample_interval),
                 nsamples=int(run.nsamples))
    return attrs


def damage_attributes(damages: List[Tuple[int, Damage]],
                      many: bool) -> Dict[str, Any]:
    """The damaged records the events run into: for one input as
    `xarray.open_dataset` on the file gives it; for several (`many`),
    lists with the file index of each."""
    if not damages:
        return {}
    if not many:
        damage = damages[0][1]
        return {"damage": str(damage), "damage_offset": int(damage.offset),
                "damage_event": int(damage.event)}
    return {"damage": [str(d) for _, d in damages],
            "damage_file": [int(i) for i, _ in damages],
            "damage_offset": [int(d.offset) for _, d in damages],
            "damage_event": [int(d.event) for _, d in damages]}


def dataset_attributes(run: Run, start: int,
                       damages: List[Tuple[int, Damage]]) -> Dict[str, Any]:
    """The dataset's attributes: the inputs, the header, the index of the
    first event written and the damage the events written run into."""
    many = len(run.files) > 1
    attrs: Dict[str, Any] = {"Conventions": CONVENTIONS}
    attrs.update(source_attributes(run, many))
    attrs["start"] = int(start)
    attrs.update(damage_attributes(damages, many))
    return attrs


def damage_message(run: Run,
                   damages: List[Tuple[int, Damage]]) -> Optional[str]:
    """One line naming each damaged file the events written ran into."""
    if not damages:
        return None
    return "; ".join(f"{run.sources[i]}: {d}" for i, d in damages)
