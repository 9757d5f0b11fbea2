"""Tarvik for Python: read, write, watch and look back at plant data.

    import tarvik

    with tarvik.connect("127.0.0.1", 4000) as client:
        print(client.read("TANK101.PV"))
        client.write({"TANK101.SP": 62.5})
        for change in client.watch(["TANK101.PV"], timeout=5.0):
            print(change.item, change.value)

The package drives the Tarvik C API library (tarvik_c) through ctypes; it
finds the library of the install it belongs to by itself (see
:func:`library_path`). :mod:`tarvik.aio` offers the same operations for
asyncio.
"""

from __future__ import annotations

from ._lib import library_path
from .client import Client, Subscription, Watch, connect
from .errors import Closed, Error, LibraryNotFound, NotReady, Refused, RequestFailed, UnknownItem
from .types import Change, Field, Point, Record, State, Value, ValueType

__version__ = "1.0.0"

__all__ = [
    "connect",
    "Client",
    "Subscription",
    "Watch",
    "Error",
    "LibraryNotFound",
    "NotReady",
    "Refused",
    "Closed",
    "UnknownItem",
    "RequestFailed",
    "State",
    "ValueType",
    "Value",
    "Point",
    "Field",
    "Change",
    "Record",
    "library_path",
    "library_version",
]


def library_version() -> str:
    """The version of the C API library in use ("MAJOR.MINOR.PATCH")."""
    from ._lib import library

    return library().tarvik_version().decode("ascii")
