"""The exceptions of the package: everything it raises for a failed operation
derives from :class:`Error`. Wrong arguments raise the usual ``TypeError`` and
``ValueError``."""

from __future__ import annotations

from typing import Optional, Sequence

__all__ = [
    "Error",
    "LibraryNotFound",
    "NotReady",
    "Refused",
    "UnknownItem",
    "RequestFailed",
    "Closed",
]


class Error(Exception):
    """Base class of every error of the package."""


class LibraryNotFound(Error, OSError):
    """The C API library (tarvik_c) could not be found or loaded."""


class NotReady(Error):
    """No ready session with the server: not within the connect time-out, or
    not when an operation needed one.

    Attributes:
        state: the client's last connection state (a :class:`tarvik.State`),
            or ``None`` when the client never got one.
        last_error: the library's last system error text ("code text"), or
            an empty string.
    """

    def __init__(self, message: str, state: Optional[int] = None, last_error: str = "") -> None:
        super().__init__(message)
        self.state = state
        self.last_error = last_error


class Refused(NotReady):
    """The server refused the client (``CONN_REFUSED``) or rejected its login or
    its subscriptions (``CONN_REJECTED``). The client stays silent until it is
    connected again; a subclass of :class:`NotReady`, since there is no ready
    session either."""


class Closed(NotReady):
    """The client was closed."""


class UnknownItem(Error, KeyError):
    """An item name the server's point directory does not know.

    Attributes:
        item: the first unknown name, as given.
        reason: why it is unknown: ``"point"`` (no such point), ``"field"``
            (the point's type has no such field) or ``"name"`` (the name
            cannot be an item name: empty or longer than 31 bytes).
        items: every unknown name of the call, with its reason, in order.
    """

    def __init__(self, items: Sequence[tuple]) -> None:
        self.items = list(items)
        self.item, self.reason = self.items[0]
        parts = []
        for name, reason in self.items:
            if reason == "point":
                parts.append(f"{name!r}: no point {_point_of(name)!r}")
            elif reason == "field":
                parts.append(f"{name!r}: point {_point_of(name)!r} has no field {_field_of(name)!r}")
            else:
                parts.append(f"{name!r}: not an item name (empty or longer than 31 bytes)")
        super().__init__("unknown item " + "; ".join(parts))

    def __str__(self) -> str:  # KeyError would quote the message
        return str(self.args[0])


class RequestFailed(Error):
    """A request to the server failed while the session was ready: the server
    did not answer within the request time-out, or answered that it did not
    accept the request (a write of a value it refused, for instance)."""


def _point_of(name: str) -> str:
    return name.split(".", 1)[0]


def _field_of(name: str) -> str:
    parts = name.split(".", 1)
    return parts[1] if len(parts) > 1 else "PV"
