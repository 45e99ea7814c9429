"""The events to export: one or more LMA files read as one run, their
events concatenated in the order given (the package's one `Run`)."""

from __future__ import annotations

import numpy as np

from ..run import MismatchError, Run, RunEvents

__all__ = ["Run", "MismatchError", "Batch", "DTYPES"]

# The output type of each `dtype` the export takes, as `LmaFile.read`
# names them.
DTYPES = {"float64": np.dtype(np.float64), "float32": np.dtype(np.float32),
          "raw": np.dtype(np.int16)}

# Events of a run as arrays, with each event's file number.
Batch = RunEvents
