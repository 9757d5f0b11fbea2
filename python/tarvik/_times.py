"""Times: the library takes and gives OLE Automation dates in local time (days
since 1899-12-30 00:00, the fraction being the time of day); the server keeps
whole seconds since 1970 (unsigned 32-bit). The package speaks ``datetime``
(naive means local time, aware is converted) and numbers of seconds since
1970."""

from __future__ import annotations

import math
import numbers
from datetime import date, datetime, timedelta
from typing import Union

TimeLike = Union[datetime, int, float]

_OLE_EPOCH = date(1899, 12, 30)
_OLE_EPOCH_DT = datetime(1899, 12, 30)
_WIRE_MAX = 2**32


def local_naive(value: TimeLike, what: str = "time") -> datetime:
    """A time as a naive local ``datetime``, checked to fit the server's range."""
    if isinstance(value, datetime):
        dt = value.astimezone().replace(tzinfo=None) if value.tzinfo is not None else value
        seconds = dt.timestamp()
    elif isinstance(value, numbers.Real) and not isinstance(value, bool):
        seconds = float(value)
        if not math.isfinite(seconds):
            raise ValueError(f"{what}: {value!r} is not a time")
        dt = None
    else:
        raise TypeError(f"{what}: expected a datetime or seconds since 1970, got {value!r}")
    if not 0 <= seconds < _WIRE_MAX:
        raise ValueError(f"{what}: {value!r} lies outside 1970 to 2106, which the server keeps")
    if dt is None:
        dt = datetime.fromtimestamp(seconds)
    return dt


def to_ole(value: TimeLike, what: str = "time") -> float:
    """The OLE date (local time) of a time."""
    dt = local_naive(value, what)
    days = (dt.date() - _OLE_EPOCH).days
    seconds = dt.hour * 3600 + dt.minute * 60 + dt.second + dt.microsecond / 1e6
    return days + seconds / 86400.0


def from_ole(ole: float) -> datetime:
    """The naive local ``datetime`` of an OLE date, to the whole second."""
    day = math.floor(ole)
    seconds = round((ole - day) * 86400.0)
    return _OLE_EPOCH_DT + timedelta(days=day, seconds=seconds)
