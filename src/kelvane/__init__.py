"""kelvane: reading LMA waveform files.

`LmaFile` gives random access and whole ranges as arrays; the streaming
reader is the extension module :mod:`kelvane.lmafmt`.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

# Where each name lives; none is imported before its first use.
_HOMES = {
    "LmaFile": "lmafile",
    "Features": "features",
    "Hits": "hits",
    "Histogram": "histogram",
    "Run": "run",
    "MismatchError": "run",
    "read_events": "batch",
    "iterate": "batch",
    "summarise_file": "batch",
    "DamagedRecordWarning": "damage",
    "DamagedHeaderError": "damage",
    "FileReplacedError": "damage",
    "IncompleteHeaderError": "damage",
    "open_dataset": "xarray_backend",
    "StaleIndexWarning": "sidecar",
    # The types that results and errors carry.
    "Damage": "damage",
    "Calibration": "lmafile",
    "Event": "lmafile",
    "Events": "lmafile",
    "Pulses": "lmafile",
}
__all__ = list(_HOMES)

if TYPE_CHECKING:
    from .batch import iterate, read_events, summarise_file
    from .damage import (Damage, DamagedHeaderError, DamagedRecordWarning,
                         FileReplacedError, IncompleteHeaderError)
    from .features import Features
    from .hits import Hits
    from .histogram import Histogram
    from .lmafile import Calibration, Event, Events, LmaFile, Pulses
    from .run import MismatchError, Run
    from .sidecar import StaleIndexWarning
    from .xarray_backend import open_dataset

    __version__: str


def __getattr__(name: str) -> Any:
    # On first use only: `import kelvane` must not load the extensions,
    # whose imports have checks of their own that tests run in isolation.
    if name in _HOMES:
        import importlib
        return getattr(importlib.import_module(f".{_HOMES[name]}", __name__),
                       name)
    if name == "__version__":
        # From the installed package's metadata, so that pyproject.toml
        # stays the one place that names the version.
        from importlib.metadata import version
        return version(__name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    # The package's own names, not the helpers its module imports.
    return sorted(__all__ + ["__version__"])
