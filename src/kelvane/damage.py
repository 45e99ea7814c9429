"""What a damaged file is reported with, shared by the readers.

Pure Python, so that importing it loads no extension.
"""

from __future__ import annotations

from typing import Any, NamedTuple, Optional, Union

__all__ = ["Damage", "DamagedHeaderError", "DamagedRecordWarning",
           "FileReplacedError", "IncompleteHeaderError"]

# Said of a file that ends inside a record every field of which so far is
# sound: most often one still being written.
_STILL_WRITTEN = "(the file may still be being written)"


def _describe(error: BaseException) -> str:
    text = str(error)
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


class _Where(NamedTuple):
    offset: int          # byte offset where the record starts
    event: int           # its event index, counted from 0
    error: BaseException


class Damage(_Where):
    """A record that could not be decoded: where it starts, its event
    index, the error iterating `LmaReader` raises there, and `reason`,
    what is wrong with the record in words.

    A tuple of the first three, as `offset, event, error = damage` unpacks
    it; the reason and `incomplete` travel beside them, and in pickles too.

    Attributes
    ----------
    offset : int
        The byte offset where the record starts.
    event : int
        Its event index, counted from 0: the number of events before it.
    error : BaseException
        The exception iterating `LmaReader` raises at that record.
    """

    def __new__(cls, offset: int, event: int, error: BaseException,
                reason: Optional[str] = None,
                incomplete: bool = False) -> "Damage":
        self = super().__new__(cls, offset, event, error)
        # In the instance's dict, which pickles and copies carry along.
        self.__dict__["_reason"] = reason
        self.__dict__["_incomplete"] = bool(incomplete)
        return self

    @property
    def incomplete(self) -> bool:
        """True when the file merely ends inside the record, every field
        read so far sound: a file still being written, whose record may
        yet be completed (`LmaFile.refresh` then reads on). False for
        bytes no record can hold."""
        return bool(self.__dict__.get("_incomplete", False))

    @property
    def reason(self) -> str:
        """A plain sentence, such as "the record is cut short 3 bytes into
        channel 1's pulse 0"; the error's own text when none was given."""
        reason = self.__dict__.get("_reason")
        return _describe(self.error) if reason is None else reason

    def __str__(self) -> str:
        if self.incomplete:
            return f"ends {ending(self)}"
        return (f"damaged record at byte {self.offset} (event {self.event}): "
                f"{self.reason}")


def ending(damage: Damage, detail: bool = True) -> str:
    """How a file whose events `damage` ends ends, to follow "ends ": with
    a damaged record, or inside an incomplete one; with where and why
    unless not `detail`."""
    if damage.incomplete:
        said = (f"inside event {damage.event}, which is incomplete "
                f"{_STILL_WRITTEN}")
        return f"{said}: {damage.reason}, from byte {damage.offset}" \
            if detail else said
    if detail:
        return f"with a {damage}"
    return f"with a damaged record (event {damage.event})"


class DamagedRecordWarning(RuntimeWarning):
    """An event record could not be decoded; the events before it are kept.

    Attributes
    ----------
    filename : str
        The file's name.
    damage : Damage
        The record's byte offset, its event index and the error, and in
        its `reason` what is wrong with the record.
    """

    def __init__(self, filename: str, damage: Damage) -> None:
        # Both as args, so the warning pickles (to leave a worker process).
        super().__init__(filename, damage)
        self.filename = filename
        self.damage = damage

    def __str__(self) -> str:
        return f"{self.filename}: {self.damage}"


class DamagedHeaderError(OSError):
    """The file's header is damaged, so it has no events.

    `field` names the header field at fault ("num of samples", ...) and
    `value` holds what the file stores there; both are None when the
    failure is only known by its `cause`, an exception the reader raised.
    `problem` says what is wrong with the value.

    Attributes
    ----------
    filename : str
        The file's name.
    field : str or None
        The header field at fault.
    value : int, float or None
        What the file stores there.
    problem : str or None
        What is wrong with the value.
    cause : BaseException or None
        The reader's exception, where that is all that is known.
    """

    def __init__(self, filename: str, cause: Optional[BaseException] = None,
                 field: Optional[str] = None,
                 value: Union[int, float, None] = None,
                 problem: Optional[str] = None) -> None:
        if field is not None:
            detail = f": {field}"
            detail += f" {problem}" if problem else ""
            detail += f" ({value!r})"
        elif cause is not None:
            detail = f": {_describe(cause)}"
        else:
            detail = ""
        super().__init__(f"{filename}: damaged header{detail}")
        self.filename = filename
        self.cause = cause
        self.field = field
        self.value = value
        self.problem = problem

    def __str__(self) -> str:
        # OSError's own would show errno and strerror, which are unset.
        return str(self.args[0])

    def __reduce__(self) -> Any:
        return type(self), (self.filename, self.cause, self.field,
                            self.value, self.problem)


class IncompleteHeaderError(DamagedHeaderError):
    """The file ends before the header it declares, and all of the header
    it holds is sound: most often a file being created. Open it again
    once its header is written.

    `size` is the bytes the file has; `field`, `value` and `problem` say
    where it ends, as for `DamagedHeaderError`.
    """

    def __init__(self, filename: str, size: int,
                 field: Optional[str] = None,
                 value: Union[int, float, None] = None,
                 problem: Optional[str] = None) -> None:
        super().__init__(filename, None, field, value, problem)
        self.args = (f"{filename}: no complete header yet ({size} bytes)",)
        self.size = size

    def __reduce__(self) -> Any:
        return type(self), (self.filename, self.size, self.field,
                            self.value, self.problem)


class FileReplacedError(OSError):
    """The file at the path is no longer the one that was opened: another
    file was renamed over it, or it was rewritten from its start (a new
    run on the same name). Its index and header no longer describe its
    bytes, so nothing more is read from it; open the path again.

    Attributes
    ----------
    filename : str
        The path or URL.
    reason : str
        What gave the replacement away.
    """

    def __init__(self, filename: str, reason: str) -> None:
        super().__init__(f"{filename}: replaced since it was opened "
                         f"({reason}); open it again")
        self.filename = filename
        self.reason = reason

    def __str__(self) -> str:
        return str(self.args[0])

    def __reduce__(self) -> Any:
        return type(self), (self.filename, self.reason)
