"""The records the package hands out, and the two enumerations."""

from __future__ import annotations

import enum
from datetime import datetime
from typing import NamedTuple, Optional, Union

__all__ = ["State", "ValueType", "Value", "Point", "Field", "Change", "Record"]

#: A value of a point field: an int (32-bit field), a float, a str, or None
#: when the server has no value for the item.
Value = Optional[Union[int, float, str]]


class State(enum.IntEnum):
    """The connection state of a client (the library's ``CONN_*`` values)."""

    READY = 0  #: session established and confirmed by the server
    CLOSED = 1  #: not connected, or connected and not yet linked
    PENDING = 2  #: a server was found; login follows
    BROKEN = 3  #: the link failed; the client looks for the server again
    NO_SERVER = 4  #: no server could be found or reached; retried
    REFUSED = 5  #: the server refused the client; reconnect to start over
    REJECTED = 6  #: login or subscriptions failed; reconnect to start over

    @property
    def description(self) -> str:
        """What the state means, in a few words."""
        return _STATE_TEXT[self]


_STATE_TEXT = {
    State.READY: "session ready",
    State.CLOSED: "not connected or not yet linked",
    State.PENDING: "server found, logging in",
    State.BROKEN: "link failed, looking for the server again",
    State.NO_SERVER: "no server could be found or reached",
    State.REFUSED: "the server refused the client",
    State.REJECTED: "the login or the subscriptions were rejected",
}


def state_or_int(value: int) -> Union[State, int]:
    """``State(value)``, or the bare number for a value outside the enumeration."""
    try:
        return State(value)
    except ValueError:
        return value


class ValueType(enum.IntEnum):
    """The value type of a field (the library's ``VAL_*`` tags)."""

    NONE = 0
    LONG = 1  #: 32-bit signed integer
    DOUBLE = 2  #: IEEE 754 double
    STRING = 4  #: text of at most 63 bytes


class Point(NamedTuple):
    """A point of the server's directory."""

    name: str
    index: int  #: position in the directory
    type_id: int  #: its point type
    aux: int  #: the auxiliary number the server gives it


class Field(NamedTuple):
    """A field of a point type."""

    name: str
    no: int  #: field number, 0 to 255
    value_type: Union[ValueType, int]


class Change(NamedTuple):
    """A changed value of a subscribed item, as delivered to callbacks."""

    item: str  #: the item name as the subscriber gave it
    value: Value
    handle: int  #: the subscription handle (one per item of a subscription)
    time: datetime  #: when the client received it (local time, naive)


class Record(NamedTuple):
    """A stored history record of one item."""

    time: datetime  #: local time, naive; whole seconds
    status: int  #: the status word, 0 to 65535, passed through unchanged
    value: float  #: stored as a 32-bit float by the server
