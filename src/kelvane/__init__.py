"""kelvane: reading LMA waveform files.

The reader itself is the extension module :mod:`kelvane.lmafmt`.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

__all__ = ["read_events", "iterate", "summarise_file",
           "DamagedRecordWarning", "DamagedHeaderError"]

if TYPE_CHECKING:
    from .batch import (DamagedHeaderError, DamagedRecordWarning, iterate,
                        read_events, summarise_file)

    __version__: str


def __getattr__(name: str) -> Any:
    # On first use only: `import kelvane` must not load the extension, whose
    # import has checks of its own that tests run in isolation.
    if name in __all__:
        from . import batch
        return getattr(batch, name)
    if name == "__version__":
        # From the installed package's metadata, so that pyproject.toml
        # stays the one place that names the version.
        from importlib.metadata import version
        return version(__name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(list(globals()) + __all__ + ["__version__"])
