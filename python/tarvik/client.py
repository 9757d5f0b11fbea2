"""The blocking client.

Threads: every operation may be called from any thread. The library runs one
notification thread per connected client; state callbacks, subscription
callbacks and error handlers run on it, one at a time, and may call the
client's operations (but not :meth:`Client.close`'s wait for other callers:
closing from a callback is allowed and completes once the callback returns).
An exception raised by a callback never reaches the library: it is passed to
the client's error handler (:meth:`Client.on_error`), which logs it to the
``tarvik`` logger unless replaced.
"""

from __future__ import annotations

import ctypes
import logging
import math
import queue
import struct
import threading
import time as _time
import weakref
from collections.abc import Mapping
from datetime import datetime
from typing import (
    Any,
    Callable,
    Dict,
    Iterable,
    List,
    NoReturn,
    Optional,
    Sequence,
    Tuple,
    Union,
    overload,
)

from . import _lib
from ._times import TimeLike, from_ole, local_naive, to_ole
from ._values import RECORD, VAL_DOUBLE, VAL_LONG, VAL_STRING, decode, encode, value_type
from .errors import Closed, Error, NotReady, Refused, RequestFailed, UnknownItem
from .types import Change, Field, Point, Record, State, Value, state_or_int

__all__ = ["Client", "Subscription", "Watch", "connect"]

log = logging.getLogger("tarvik")

Items = Union[str, Sequence[str]]
StateCallback = Callable[[Union[State, int]], Any]
ChangeCallback = Callable[[List[Change]], Any]
ErrorHandler = Callable[[BaseException, str], Any]

ITEM_NAME = 32  # bytes of an item name slot (at most 31 characters)
POINT_NAME = 20
FIELD_NAME = 12
_FLOAT32_MAX = 3.4028234663852886e38
_f32 = struct.Struct("<f")

# How often blocking waits wake to let Python handle signals (Ctrl-C).
_SLICE = 0.1


def _float32(value: float) -> float:
    """A value that travelled as a 32-bit float, as the shortest decimal that is
    the same 32-bit float (49.7 rather than 49.70000076293945)."""
    if not math.isfinite(value):
        return value
    bits = _f32.pack(value)
    for digits in (6, 7, 8):
        shorter = float(f"{value:.{digits}g}")
        if _f32.pack(shorter) == bits:
            return shorter
    return value


def _cut(name: bytes, width: int) -> bytes:
    return name.ljust(width, b"\0")


def _int32s(n: int) -> "ctypes.Array[ctypes.c_int32]":
    """A zeroed array of n 32-bit integers; one at least, for a buffer the
    library may be handed even when it writes nothing."""
    return (ctypes.c_int32 * max(n, 1))()


def _slot_text(raw: bytes, width: int, i: int) -> str:
    return raw[width * i : width * (i + 1)].split(b"\0", 1)[0].decode("latin-1")


class _Resolved:
    """Items resolved against the directory, ready for a request."""

    __slots__ = ("names", "indexes", "field_nos", "types", "count")

    def __init__(self, names: List[str], indexes: List[int], field_nos: List[int], types: List[int]):
        self.names = names
        self.count = len(names)
        self.indexes = (ctypes.c_uint32 * self.count)(*indexes)
        self.field_nos = (ctypes.c_uint32 * self.count)(*field_nos)
        self.types = types


class _Core:
    """What a client's callbacks and its finaliser need: never refers to the
    :class:`Client` itself, so that an unreferenced client is collected and its
    library client destroyed."""

    def __init__(self, lib: ctypes.CDLL, handle: int, encoding: str, errors: str) -> None:
        self.lib = lib
        self.handle = handle
        self.encoding = encoding
        self.errors = errors
        self.closed = False
        self.busy = 0  # operations using the handle right now
        self.busy_changed = threading.Condition(threading.Lock())
        # Name resolution, valid for one directory: dropped at every state change.
        self.names: Dict[str, Tuple[int, int, int]] = {}
        self.resolved: Dict[Any, _Resolved] = {}
        # Subscriptions: each subscribed item has its own user value, which
        # names the subscription and the item in the data callback.
        self.entries_lock = threading.Lock()
        self.entries: Dict[int, Tuple["Subscription", str]] = {}
        self.next_entry = 0
        self.state_callbacks: List[StateCallback] = []
        self.error_handler: Optional[ErrorHandler] = None
        self.last_state: Optional[int] = None
        # The ctypes callback objects live as long as the core: the library
        # may call them until tarvik_destroy has returned.
        self.state_cb = _lib.STATE_CALLBACK(self._on_state)
        self.data_cb = _lib.DATA_CALLBACK(self._on_data)

    # ---- use of the handle ---------------------------------------------------

    def acquire(self) -> int:
        with self.busy_changed:
            if self.closed:
                raise Closed("the client is closed", self.last_state)
            self.busy += 1
            return self.handle

    def release(self) -> None:
        with self.busy_changed:
            self.busy -= 1
            if self.busy == 0:
                self.busy_changed.notify_all()

    def close(self) -> None:
        """Destroys the library's client once no operation uses it. From a
        callback of this client the library completes the stop after the
        callback returns."""
        with self.busy_changed:
            if self.closed:
                return
            self.closed = True
            # Operations of other threads finish first (requests end at their
            # time-out at the latest): the library's client must outlive them.
            while self.busy > 0:
                self.busy_changed.wait(_SLICE)
        with self.entries_lock:
            subs = {sub for sub, _ in self.entries.values()}
            self.entries.clear()
        for sub in subs:
            sub._closed = True
        self.lib.tarvik_destroy(self.handle)

    # ---- callbacks (notification thread) -------------------------------------

    def report(self, error: BaseException, where: str) -> None:
        handler = self.error_handler
        try:
            if handler is not None:
                handler(error, where)
                return
        except BaseException as second:  # the handler itself failed
            log.error("tarvik: error handler raised %r", second, exc_info=second)
        log.error("tarvik: exception in %s", where, exc_info=error)

    def _on_state(self, _client: Any, _user: int, state: int) -> None:
        try:
            self.names = {}
            self.resolved = {}
            self.last_state = state
            value = state_or_int(state)
            for callback in list(self.state_callbacks):
                try:
                    callback(value)
                except BaseException as error:
                    self.report(error, f"state callback {callback!r}")
        except BaseException as error:  # nothing unwinds into the library
            try:
                self.report(error, "state notification")
            except BaseException:
                pass

    def _on_data(self, _client: Any, _user: int, count: int, handles: int, users: int, values: int) -> None:
        try:
            if count <= 0:
                return
            now = datetime.now()
            handle_list = struct.unpack(f"<{count}i", ctypes.string_at(handles, 4 * count))
            user_list = struct.unpack(f"<{count}i", ctypes.string_at(users, 4 * count))
            decoded, _ = decode(ctypes.string_at(values, RECORD * count), count, self.encoding, self.errors)
            batches: Dict[Subscription, List[Change]] = {}
            entries = self.entries
            for handle, user, value in zip(handle_list, user_list, decoded):
                entry = entries.get(user)
                if entry is None:
                    continue  # a subscription being closed
                sub, item = entry
                batch = batches.get(sub)
                if batch is None:
                    batch = batches[sub] = []
                batch.append(Change(item, value, handle, now))
            for sub, changes in batches.items():
                if sub._closed:
                    continue
                try:
                    sub._callback(changes)
                except BaseException as error:
                    self.report(error, f"subscription callback {sub._callback!r}")
        except BaseException as error:
            try:
                self.report(error, "data notification")
            except BaseException:
                pass


def _destroy(core: _Core) -> None:
    try:
        core.close()
    except BaseException:  # at exit or in a collection: nothing to tell
        pass


class _Use:
    """``with core.use() as handle``: the handle, kept valid for the block."""

    __slots__ = ("core", "handle")

    def __init__(self, core: _Core) -> None:
        self.core = core

    def __enter__(self) -> int:
        self.handle = self.core.acquire()
        return self.handle

    def __exit__(self, *exc: Any) -> None:
        self.core.release()


def _seconds_setting(name: str, doc: str) -> property:
    """A client's setting in seconds, over the library's ``tarvik_get_<name>``
    and ``tarvik_set_<name>``, which count milliseconds."""

    def get(self: "Client") -> float:
        with _Use(self._core) as h:
            return getattr(self._core.lib, "tarvik_get_" + name)(h) / 1000.0

    def set_(self: "Client", seconds: float) -> None:
        with _Use(self._core) as h:
            getattr(self._core.lib, "tarvik_set_" + name)(h, _milliseconds(seconds, name))

    return property(get, set_, doc=doc)


class Client:
    """A client of one Tarvik server; made by :func:`connect`.

    Use it as a context manager (or call :meth:`close`): leaving the block
    logs out, stops the library's threads and frees the client. A client that
    is neither closed nor referenced any more is closed when it is collected,
    and at the latest when the interpreter exits.
    """

    def __init__(
        self,
        *,
        encoding: str = "utf-8",
        errors: str = "surrogateescape",
        client_parameter: int = 0,
    ) -> None:
        """Creates an unconnected client; :func:`connect` is the usual way.

        Args:
            encoding: the encoding of text values and names on the server.
            errors: how undecodable bytes of text values are handled
                (``"surrogateescape"`` keeps them, so that a value read and
                written back is unchanged).
            client_parameter: a number the login passes to the server (its low
                16 bits).
        """
        lib = _lib.library()
        handle = lib.tarvik_create(int(client_parameter))
        if not handle:
            raise Error("the library could not create a client (out of memory?)")
        self._core = core = _Core(lib, handle, encoding, errors)
        lib.tarvik_set_state_callback(handle, core.state_cb)
        lib.tarvik_set_data_callback(handle, core.data_cb)
        self._finalizer = weakref.finalize(self, _destroy, core)
        self._target = "nothing"

    # ---- life ------------------------------------------------------------------

    def _connect(
        self,
        host: str,
        port: Optional[int],
        backup: Union[None, str, Tuple[str, int]],
        timeout: Optional[float],
        local: bool,
    ) -> None:
        core = self._core
        lib = core.lib
        with _Use(core) as h:
            if local:
                self._target = "the local server"
                started = lib.tarvik_connect_local(h)
            else:
                if port is None:
                    raise TypeError("connect: a port is needed (or local=True)")
                port = _port(port, "port")
                backup_host, backup_port = _backup(backup, port)
                self._target = f"{host}:{port}" + (f" (backup {backup_host}:{backup_port})" if backup_host else "")
                started = lib.tarvik_connect_remote(
                    h, port, host.encode(core.encoding), backup_host.encode(core.encoding) if backup_host else None, backup_port
                )
            if not started:
                raise NotReady(
                    f"could not start the client for {self._target}: {self.last_error or 'no reason given'}",
                    state_or_int(lib.tarvik_get_state(h)),
                    self.last_error,
                )
        self.wait_ready(timeout)

    def wait_ready(self, timeout: Optional[float] = 10.0) -> None:
        """Waits for a ready session (``State.READY``).

        Args:
            timeout: seconds; ``None`` waits as long as it takes.

        Raises:
            Refused: the server refused or rejected the client.
            NotReady: no ready session within the time-out; the message gives
                the last state and the library's last error text.
        """
        core = self._core
        deadline = None if timeout is None else _time.monotonic() + max(0.0, timeout)
        while True:
            remaining = _SLICE if deadline is None else min(_SLICE, deadline - _time.monotonic())
            with _Use(core) as h:  # per slice: a close from elsewhere ends the wait
                if core.lib.tarvik_wait_ready(h, max(0, int(remaining * 1000))):
                    return
                state = core.lib.tarvik_get_state(h)
            if state in (State.REFUSED, State.REJECTED):
                break
            if deadline is not None and _time.monotonic() >= deadline:
                break
        state = self._state_now()
        error = self.last_error
        name = _state_text(state)
        if state in (State.REFUSED, State.REJECTED):
            raise Refused(f"{self._target} refused the client ({name})", state, error)
        raise NotReady(
            f"no ready session with {self._target} within {timeout:g} s (last state {name}"
            + (f"; last error: {error}" if error else "")
            + ")",
            state,
            error,
        )

    def close(self) -> None:
        """Logs out, stops the library's threads and frees the client. Waits
        for operations of other threads to return first. Idempotent."""
        self._finalizer()

    @property
    def closed(self) -> bool:
        """Whether :meth:`close` was called."""
        return self._core.closed

    def __enter__(self) -> "Client":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        if self.closed:
            return f"<tarvik.Client of {self._target}, closed>"
        return f"<tarvik.Client of {self._target}, {_state_text(self._state_now())}>"

    # ---- state and settings ------------------------------------------------------

    def _state_now(self) -> Union[State, int, None]:
        # The state our own callback saw last: the library's GetState follows
        # only once that callback has returned, so that right after
        # wait_ready it may still tell the state before CONN_READY.
        core = self._core
        if core.last_state is not None or core.closed:
            return None if core.last_state is None else state_or_int(core.last_state)
        with _Use(core) as h:
            return state_or_int(core.lib.tarvik_get_state(h))

    @property
    def state(self) -> Union[State, int]:
        """The connection state last delivered by the library (to this
        client's state callback)."""
        state = self._state_now()
        return State.CLOSED if state is None else state

    @property
    def link_up(self) -> bool:
        """Whether the transport link to a server is up."""
        with _Use(self._core) as h:
            return bool(self._core.lib.tarvik_is_link_up(h))

    @property
    def server_flag(self) -> bool:
        """Whether the last login or heartbeat reply carried the server's flag."""
        with _Use(self._core) as h:
            return bool(self._core.lib.tarvik_get_server_flag(h))

    @property
    def last_error(self) -> str:
        """The library's last system error ("code text"), or an empty string."""
        core = self._core
        if core.closed:
            return ""
        buffer = ctypes.create_string_buffer(512)
        with _Use(core) as h:
            core.lib.tarvik_get_last_error_text(h, buffer, len(buffer))
        return buffer.value.decode(core.encoding, "replace")

    request_timeout = _seconds_setting(
        "request_timeout", "Seconds a request waits for the server's reply (default 10)."
    )
    heartbeat_interval = _seconds_setting(
        "heartbeat_interval", "Seconds between heartbeats (default 0.5); changes arrive with them."
    )

    def on_state(self, callback: StateCallback) -> Callable[[], None]:
        """Calls ``callback(state)`` on the notification thread at every
        connection-state change.

        Returns:
            a function that removes the callback again.
        """
        self._core.state_callbacks.append(callback)

        def remove() -> None:
            try:
                self._core.state_callbacks.remove(callback)
            except ValueError:
                pass

        return remove

    def on_error(self, handler: Optional[ErrorHandler]) -> None:
        """Sets the handler of exceptions raised by callbacks:
        ``handler(exception, where)``, called on the notification thread.
        ``None`` restores the default, which logs to the ``tarvik`` logger."""
        self._core.error_handler = handler

    # ---- failures --------------------------------------------------------------------

    def _fail(self, operation: str) -> NoReturn:
        core = self._core
        if core.closed:
            raise Closed(f"{operation}: the client is closed", core.last_state)
        state = self._state_now()
        with _Use(core) as h:
            link = core.lib.tarvik_is_link_up(h)
            timeout = core.lib.tarvik_get_request_timeout(h)
        error = self.last_error
        if state in (State.REFUSED, State.REJECTED):
            raise Refused(f"{operation}: {self._target} refused the client ({_state_text(state)})", state, error)
        if state != State.READY or not link:
            raise NotReady(
                f"{operation}: no ready session with {self._target} (state {_state_text(state)})", state, error
            )
        raise RequestFailed(
            f"{operation}: {self._target} did not answer within {timeout} ms or did not accept the request"
        )

    # ---- names ---------------------------------------------------------------------------

    def _resolve(self, names: Sequence[str], operation: str, key: Any = None) -> _Resolved:
        """The items' point indexes, field numbers and value types; raises
        UnknownItem for names the directory lacks."""
        core = self._core
        if key is not None:
            cached = core.resolved.get(key)
            if cached is not None:
                return cached
        table = core.names
        missing = [name for name in dict.fromkeys(names) if name not in table]
        if missing:
            found = self._lookup(missing, operation)
            table.update(found)
        try:
            triples = [table[name] for name in names]
        except KeyError:  # the directory changed meanwhile
            table = dict(self._lookup(list(dict.fromkeys(names)), operation))
            triples = [table[name] for name in names]
        resolved = _Resolved(list(names), [t[0] for t in triples], [t[1] for t in triples], [t[2] for t in triples])
        if key is not None:
            if len(core.resolved) > 256:
                core.resolved = {}
            core.resolved[key] = resolved
        return resolved

    def _lookup(self, names: List[str], operation: str) -> Dict[str, Tuple[int, int, int]]:
        core = self._core
        unknown = []
        slots = []
        usable = []
        for name in names:
            if not isinstance(name, str):
                raise TypeError(f"{operation}: item names are str, got {name!r}")
            data = name.encode(core.encoding, core.errors)
            if not data or len(data) >= ITEM_NAME or b"\0" in data:
                unknown.append((name, "name"))
                continue
            slots.append(_cut(data, ITEM_NAME))
            usable.append(name)
        n = len(usable)
        result: Dict[str, Tuple[int, int, int]] = {}
        if n:
            buffer = ctypes.create_string_buffer(b"".join(slots), ITEM_NAME * n)
            indexes = (ctypes.c_int32 * n)()
            field_nos = (ctypes.c_int32 * n)()
            types = (ctypes.c_int32 * n)()
            with _Use(core) as h:
                r1 = core.lib.tarvik_resolve_item_names(h, n, buffer, indexes, field_nos)
                r2 = core.lib.tarvik_get_item_types_by_name(h, n, buffer, types) if r1 >= 0 else -1
            if r1 < 0 or r2 < 0:
                self._fail(operation)
            for i, name in enumerate(usable):
                if indexes[i] < 0:
                    unknown.append((name, "point"))
                elif field_nos[i] < 0:
                    unknown.append((name, "field"))
                else:
                    result[name] = (indexes[i], field_nos[i], types[i])
        if unknown:
            order = {name: i for i, name in enumerate(names)}
            unknown.sort(key=lambda entry: order[entry[0]])
            raise UnknownItem(unknown)
        return result

    # ---- values --------------------------------------------------------------------------

    @overload
    def read(self, items: str) -> Value: ...

    @overload
    def read(self, items: Sequence[str]) -> Dict[str, Value]: ...

    def read(self, items: Items) -> Union[Value, Dict[str, Value]]:
        """Reads current values from the server.

        Args:
            items: an item name ("POINT.FIELD", or "POINT" for its PV field;
                case is ignored) or a list of them.

        Returns:
            for one name its value; for a list a dict from each name (as
            given) to its value. Values are int, float, str, or None when the
            server has none.

        Raises:
            UnknownItem: a name the directory lacks (nothing is read).
            NotReady, Refused: no ready session.
            RequestFailed: the server did not answer in time.
        """
        single = isinstance(items, str)
        names = [items] if single else list(items)  # type: ignore[list-item]
        if not names:
            return {}
        key = items if single else tuple(names)
        resolved = self._resolve(names, "read", key)
        core = self._core
        n = resolved.count
        values = ctypes.create_string_buffer(RECORD * n)
        with _Use(core) as h:
            if core.lib.tarvik_read_values(h, n, resolved.indexes, resolved.field_nos, values) != n:
                self._fail("read")
            decoded, texts = decode(values.raw, n, core.encoding, core.errors)
            if texts:
                core.lib.tarvik_values_clear(n, values)
        if single:
            return decoded[0]
        return dict(zip(names, decoded))

    def write(self, values: Union[Mapping, Iterable[Tuple[str, Any]], str], value: Any = ...) -> None:
        """Writes values to the server: ``write({"TANK101.SP": 62.5})``, or
        ``write("TANK101.SP", 62.5)``.

        Each value must suit its field: an int that fits 32 bits or a float
        for an integer field (floats are rounded half up), a number for a
        double field, anything for a text field (at most 63 bytes once
        encoded; numbers are written as their text). A text given for a
        numeric field must hold a number.

        Raises:
            UnknownItem: a name the directory lacks (nothing is written).
            TypeError, ValueError: a value that does not suit its field
                (nothing is written).
            NotReady, Refused: no ready session.
            RequestFailed: the server did not answer in time or did not accept
                the write (it answers for the whole list at once).
        """
        if isinstance(values, str):
            if value is ...:
                raise TypeError("write(item, value): the value is missing")
            pairs = [(values, value)]
        else:
            if value is not ...:
                raise TypeError("write: give a dict of values, or one item and one value")
            pairs = list(values.items()) if isinstance(values, Mapping) else list(values)
        if not pairs:
            return
        names = [p[0] for p in pairs]
        resolved = self._resolve(names, "write", None)
        for name, vtype in zip(names, resolved.types):
            if vtype not in (VAL_LONG, VAL_DOUBLE, VAL_STRING):
                raise ValueError(f"{name}: the field has value type {vtype}, which cannot be written")
        core = self._core
        data, keep = encode(names, resolved.types, [p[1] for p in pairs], core.encoding, core.errors)
        n = resolved.count
        buffer = (ctypes.c_char * len(data)).from_buffer(data)
        with _Use(core) as h:
            if core.lib.tarvik_write_values(h, n, resolved.indexes, resolved.field_nos, buffer) != n:
                self._fail("write")
        del keep

    # ---- directory -------------------------------------------------------------------

    def points(self) -> List[Point]:
        """The points of the server's directory, in directory order."""
        core = self._core
        with _Use(core) as h:
            n = core.lib.tarvik_get_point_count(h)
            if n < 0:
                self._fail("points")
            indexes, aux, types = _int32s(n), _int32s(n), _int32s(n)
            names = ctypes.create_string_buffer(POINT_NAME * max(n, 1))
            got = core.lib.tarvik_enum_points(h, n, indexes, names, aux, types) if n else 0
            if got < 0:
                self._fail("points")
        raw = names.raw
        return [
            Point(_slot_text(raw, POINT_NAME, i), indexes[i], types[i], aux[i]) for i in range(min(got, n))
        ]

    def fields(self, point_or_type: Union[str, int]) -> List[Field]:
        """The fields of a point's type: give a point name or a type id.

        Raises:
            UnknownItem: no such point.
            Error: no such point type.
        """
        core = self._core
        if isinstance(point_or_type, str):
            type_id = self._point_type(point_or_type)
        elif isinstance(point_or_type, int) and not isinstance(point_or_type, bool):
            type_id = point_or_type
        else:
            raise TypeError(f"fields: give a point name or a type id, got {point_or_type!r}")
        with _Use(core) as h:
            ids = (ctypes.c_int32 * 1)(type_id)
            counts = (ctypes.c_int32 * 1)()
            if core.lib.tarvik_get_field_counts(h, 1, ids, counts) < 0:
                self._fail("fields")
            n = counts[0]
            if n < 0:
                raise Error(f"fields: no point type {type_id}")
            nos, vtypes = _int32s(n), _int32s(n)
            names = ctypes.create_string_buffer(FIELD_NAME * max(n, 1))
            got = core.lib.tarvik_enum_fields(h, type_id, n, nos, vtypes, names) if n else 0
            if got < 0:
                self._fail("fields")
        raw = names.raw
        return [Field(_slot_text(raw, FIELD_NAME, i), nos[i], value_type(vtypes[i])) for i in range(min(got, n))]

    def _point_type(self, point: str) -> int:
        core = self._core
        data = point.encode(core.encoding, core.errors)
        if not data or len(data) >= POINT_NAME or b"\0" in data:
            raise UnknownItem([(point, "point")])
        with _Use(core) as h:
            slot = ctypes.create_string_buffer(_cut(data, POINT_NAME), POINT_NAME)
            index = (ctypes.c_int32 * 1)(-1)
            if core.lib.tarvik_get_point_indexes_by_name(h, 1, slot, index) < 0:
                self._fail("fields")
            if index[0] < 0:
                raise UnknownItem([(point, "point")])
            type_id = (ctypes.c_int32 * 1)(-1)
            if core.lib.tarvik_get_point_types_by_index(h, 1, index, type_id) < 0:
                self._fail("fields")
        return type_id[0]

    def types(self) -> Dict[int, List[Field]]:
        """Every point type of the directory with its fields."""
        core = self._core
        with _Use(core) as h:
            n = core.lib.tarvik_get_type_count(h)
            if n < 0:
                self._fail("types")
            ids = _int32s(n)
            got = core.lib.tarvik_enum_types(h, n, ids, None) if n else 0
            if got < 0:
                self._fail("types")
        return {ids[i]: self.fields(ids[i]) for i in range(min(got, n))}

    # ---- subscriptions ---------------------------------------------------------------

    def subscribe(self, items: Items, callback: ChangeCallback) -> "Subscription":
        """Subscribes to items: ``callback(changes)`` receives a list of
        :class:`Change` whenever the server reports new values of them. It is
        called on the library's notification thread, one call per server
        report; it must not block for long. Exceptions it raises go to the
        error handler (:meth:`on_error`).

        Returns:
            the :class:`Subscription`; use it as a context manager or call its
            :meth:`Subscription.close`.
        """
        if not callable(callback):
            raise TypeError("subscribe: the callback is not callable")
        names = [items] if isinstance(items, str) else list(items)
        if not names:
            raise ValueError("subscribe: no items")
        resolved = self._resolve(names, "subscribe", None)
        return Subscription(self, resolved, callback)

    def watch(self, items: Items, timeout: Optional[float] = None, *, initial: bool = False) -> "Watch":
        """Iterates over the changes of items until the time-out:
        ``for change in client.watch(["TANK101.PV"], timeout=5.0)``.

        The subscription is made at once (so unknown names raise here) and
        ends when the iteration ends, when the iterator is closed, or with the
        client. The iterator waits in short slices, so Ctrl-C ends it
        promptly; ``with client.watch(...) as changes:`` also unsubscribes
        when the loop's own body is interrupted or breaks.

        Args:
            items: item names.
            timeout: seconds from now after which the iteration ends; ``None``
                iterates until the loop is left or the client is closed.
            initial: first yield the current value of every item (as the
                subscription received it), with handle and time of now.
        """
        return Watch(self, items, timeout, initial)

    # ---- history --------------------------------------------------------------------------

    def history(
        self, items: Items, start: TimeLike, end: TimeLike, samples: int = 10
    ) -> List[Tuple[datetime, Dict[str, float]]]:
        """Sampled history: ``samples`` values of every item, evenly spread
        from ``start`` to ``end`` (both included).

        Times are ``datetime`` (naive = local time) or seconds since 1970. The
        server keeps history values as 32-bit floats.

        Returns:
            ``[(time, {item: value, ...}), ...]``, one entry per sample, times
            as naive local datetimes.
        """
        names = [items] if isinstance(items, str) else list(items)
        if not names:
            return []
        samples = int(samples)
        if samples < 1:
            raise ValueError("history: samples must be at least 1")
        start_dt, end_dt = local_naive(start, "start"), local_naive(end, "end")
        resolved = self._resolve(names, "history", None)
        n = resolved.count
        if n * samples > 1 << 24:
            raise ValueError("history: more than 16 million values in one request")
        core = self._core
        values = (ctypes.c_double * (n * samples))()
        with _Use(core) as h:
            r = core.lib.tarvik_read_history(
                h, to_ole(start_dt), to_ole(end_dt), samples, n, resolved.indexes, resolved.field_nos, values
            )
            if r != n:
                self._fail("history")
        flat = [_float32(v) for v in values]
        t0, t1 = start_dt.timestamp(), end_dt.timestamp()
        out = []
        for k in range(samples):
            t = t0 + (t1 - t0) * k / (samples - 1) if samples > 1 else t0
            # All samples of one item together, item after item, as the server sends them.
            out.append((datetime.fromtimestamp(round(t)), {name: flat[i * samples + k] for i, name in enumerate(names)}))
        return out

    def history_frame(self, items: Items, start: TimeLike, end: TimeLike, samples: int = 10) -> Any:
        """:meth:`history` as a pandas DataFrame indexed by time, one column
        per item. Needs pandas."""
        try:
            import pandas
        except ImportError as error:
            raise ImportError("history_frame needs pandas (python3-pandas)") from error
        names = [items] if isinstance(items, str) else list(dict.fromkeys(items))
        rows = self.history(names, start, end, samples)
        index = pandas.DatetimeIndex([t for t, _ in rows], name="time")
        return pandas.DataFrame([[row[name] for name in names] for _, row in rows], index=index, columns=names)

    def history_raw(self, item: str, start: TimeLike, end: TimeLike) -> List[Record]:
        """The stored history records of one item from ``start`` to ``end``."""
        if not isinstance(item, str):
            raise TypeError("history_raw: one item name")
        start_ole, end_ole = to_ole(start, "start"), to_ole(end, "end")
        resolved = self._resolve([item], "history_raw", None)
        core = self._core
        times = ctypes.POINTER(ctypes.c_double)()
        statuses = ctypes.POINTER(ctypes.c_uint16)()
        values = ctypes.POINTER(ctypes.c_double)()
        with _Use(core) as h:
            n = core.lib.tarvik_read_history_raw(
                h,
                start_ole,
                end_ole,
                resolved.indexes[0],
                resolved.field_nos[0],
                ctypes.byref(times),
                ctypes.byref(statuses),
                ctypes.byref(values),
            )
        try:
            if n < 0:
                self._fail("history_raw")
            if n == 0:
                return []
            t = struct.unpack(f"<{n}d", ctypes.string_at(times, 8 * n))
            s = struct.unpack(f"<{n}H", ctypes.string_at(statuses, 2 * n))
            v = struct.unpack(f"<{n}d", ctypes.string_at(values, 8 * n))
            return [Record(from_ole(t[i]), s[i], _float32(v[i])) for i in range(n)]
        finally:
            for block in (times, statuses, values):
                if block:
                    core.lib.tarvik_free(block)

    def write_history(self, item: str, records: Iterable[Any]) -> int:
        """Stores history records of one item: each a :class:`Record`, a
        ``(time, status, value)`` or a ``(time, value)`` (status 0).

        Returns:
            the number of records stored.
        """
        if not isinstance(item, str):
            raise TypeError("write_history: one item name")
        rows = list(records)
        n = len(rows)
        times = (ctypes.c_double * max(n, 1))()
        statuses = (ctypes.c_uint16 * max(n, 1))()
        values = (ctypes.c_double * max(n, 1))()
        for i, row in enumerate(rows):
            if len(row) == 3:
                t, status, value = row
            elif len(row) == 2:
                (t, value), status = row, 0
            else:
                raise ValueError(f"write_history: record {i} is not (time, status, value) or (time, value)")
            times[i] = to_ole(t, f"record {i}")
            if not isinstance(status, int) or not 0 <= status <= 0xFFFF:
                raise ValueError(f"write_history: record {i}: status {status!r} is not 0 to 65535")
            statuses[i] = status
            value = float(value)
            if math.isfinite(value) and abs(value) > _FLOAT32_MAX:
                raise ValueError(f"write_history: record {i}: {value} does not fit a 32-bit float")
            values[i] = value
        resolved = self._resolve([item], "write_history", None)
        core = self._core
        with _Use(core) as h:
            r = core.lib.tarvik_write_history(
                h, resolved.indexes[0], resolved.field_nos[0], n, times, statuses, values
            )
            if r != n:
                self._fail("write_history")
        return n


class Subscription:
    """Subscribed items and the callback their changes go to; made by
    :meth:`Client.subscribe`. A context manager: leaving the block
    unsubscribes."""

    def __init__(self, client: Client, resolved: _Resolved, callback: ChangeCallback) -> None:
        self._client = client
        self._callback = callback
        self._closed = False
        self.items: List[str] = list(resolved.names)
        core = client._core
        n = resolved.count
        users = (ctypes.c_int32 * n)()
        with core.entries_lock:
            for i, name in enumerate(self.items):
                core.next_entry = core.next_entry % 0x7FFFFFFF + 1
                while core.next_entry in core.entries:
                    core.next_entry = core.next_entry % 0x7FFFFFFF + 1
                users[i] = core.next_entry
                core.entries[core.next_entry] = (self, name)
        self._users = list(users)
        handles = (ctypes.c_int32 * n)()
        try:
            with _Use(core) as h:
                if core.lib.tarvik_advise(h, n, resolved.indexes, resolved.field_nos, users, handles) != n:
                    client._fail("subscribe")
        except BaseException:
            self._forget()
            raise
        #: one handle per item, in the order of :attr:`items`
        self.handles: List[int] = list(handles)

    def _forget(self) -> None:
        self._closed = True
        core = self._client._core
        with core.entries_lock:
            for user in self._users:
                if core.entries.get(user, (None,))[0] is self:
                    del core.entries[user]

    @property
    def active(self) -> bool:
        """Whether changes are still delivered."""
        return not self._closed and not self._client.closed

    def values(self) -> Dict[str, Value]:
        """The last values the client received for the items (no request)."""
        core = self._client._core
        n = len(self.handles)
        handles = (ctypes.c_int32 * n)(*self.handles)
        buffer = ctypes.create_string_buffer(RECORD * n)
        with _Use(core) as h:
            if core.lib.tarvik_get_values_by_handle(h, n, handles, buffer) < 0:
                self._client._fail("values")
            decoded, texts = decode(buffer.raw, n, core.encoding, core.errors)
            if texts:
                core.lib.tarvik_values_clear(n, buffer)
        return dict(zip(self.items, decoded))

    def close(self) -> None:
        """Unsubscribes. No callback for this subscription starts afterwards
        (one running on the notification thread may still be finishing).

        Raises:
            NotReady, RequestFailed: the server could not be told; its reports
                of these items are dropped all the same.
        """
        if self._closed:
            return
        self._forget()
        client = self._client
        if client.closed:
            return
        core = client._core
        n = len(self.handles)
        handles = (ctypes.c_int32 * n)(*self.handles)
        try:
            with _Use(core) as h:
                ok = core.lib.tarvik_unadvise(h, n, handles) == n
        except Closed:
            return
        if not ok:
            client._fail("unsubscribe")

    def __enter__(self) -> "Subscription":
        return self

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        try:
            self.close()
        except Error:
            if exc_type is None:
                raise
            log.warning("tarvik: unsubscribing after an error failed", exc_info=True)

    def __repr__(self) -> str:
        return f"<tarvik.Subscription of {len(self.items)} items{'' if self.active else ', closed'}>"


class Watch:
    """The iterator of :meth:`Client.watch`: yields :class:`Change` records
    until the time-out. Also a context manager; :meth:`close` ends it."""

    def __init__(self, client: Client, items: Items, timeout: Optional[float], initial: bool) -> None:
        if timeout is not None and not timeout >= 0:
            raise ValueError("watch: the time-out must be a number of seconds >= 0")
        self._client = client
        self._queue: "queue.SimpleQueue[List[Change]]" = queue.SimpleQueue()
        self._deadline = None if timeout is None else _time.monotonic() + timeout
        self._pending: List[Change] = []
        self._subscription = client.subscribe(items, self._queue.put)
        if initial:
            now = datetime.now()
            try:
                current = self._subscription.values()
            except BaseException:
                self.close()
                raise
            self._pending = [
                Change(item, current[item], handle, now)
                for item, handle in zip(self._subscription.items, self._subscription.handles)
            ]
        self._pending.reverse()

    def __iter__(self) -> "Watch":
        return self

    def __next__(self) -> Change:
        try:
            while not self._pending:
                if self._subscription is None or not self._subscription.active:
                    raise StopIteration
                if self._deadline is None:
                    wait = _SLICE
                else:
                    wait = min(_SLICE, self._deadline - _time.monotonic())
                    if wait <= 0:
                        raise StopIteration
                try:
                    batch = self._queue.get(timeout=wait)
                except queue.Empty:
                    continue
                self._pending = batch[::-1]
            return self._pending.pop()
        except BaseException:  # the end, Ctrl-C or any error: unsubscribe
            self.close()
            raise

    def close(self) -> None:
        """Ends the iteration and unsubscribes."""
        subscription, self._subscription = self._subscription, None
        self._pending = []
        if subscription is not None:
            try:
                subscription.close()
            except Error:
                log.debug("tarvik: unsubscribing a watch failed", exc_info=True)

    def __del__(self) -> None:
        # A loop left by break drops the last reference: unsubscribe then.
        if getattr(self, "_subscription", None) is not None:
            try:
                self.close()
            except BaseException:
                pass

    def __enter__(self) -> "Watch":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


# ---- helpers ---------------------------------------------------------------------------


def _state_text(state: Union[State, int, None]) -> str:
    if state is None:
        return "none"
    if isinstance(state, State):
        return f"{state.name}: {state.description}"
    return str(state)


def _milliseconds(seconds: float, what: str) -> int:
    ms = round(float(seconds) * 1000)
    if not 1 <= ms <= 0x7FFFFFFF:
        raise ValueError(f"{what}: {seconds!r} s is out of range")
    return ms


def _port(port: Any, what: str) -> int:
    if isinstance(port, bool) or not isinstance(port, int) or not 1 <= port <= 65535:
        raise ValueError(f"{what}: {port!r} is not a TCP port (1 to 65535)")
    return port


def _backup(backup: Union[None, str, Tuple[str, int]], port: int) -> Tuple[Optional[str], int]:
    if backup is None or backup == "":
        return None, 0
    if isinstance(backup, tuple):
        host, backup_port = backup
        return str(host), _port(backup_port, "backup port")
    if isinstance(backup, str):
        host, sep, text = backup.rpartition(":")
        if sep and host and text.isdigit() and "]" not in text:
            return host.strip("[]"), _port(int(text), "backup port")
        return backup, port
    raise TypeError(f"backup: a host, 'host:port' or (host, port), got {backup!r}")


def connect(
    host: str = "127.0.0.1",
    port: Optional[int] = None,
    backup: Union[None, str, Tuple[str, int]] = None,
    timeout: Optional[float] = 10.0,
    *,
    local: bool = False,
    request_timeout: Optional[float] = None,
    heartbeat_interval: Optional[float] = None,
    encoding: str = "utf-8",
    errors: str = "surrogateescape",
    client_parameter: int = 0,
) -> Client:
    """Connects to a Tarvik server and returns once the session is ready.

    ``with tarvik.connect("127.0.0.1", 4000) as client: ...``

    Args:
        host, port: the server over TCP.
        backup: a backup server: "host", "host:port" or (host, port); the
            port defaults to ``port``.
        timeout: seconds to wait for the ready session; ``None``: no limit.
        local: use the local transport to the server of this machine instead
            of TCP (host, port and backup are then not used).
        request_timeout: seconds a request waits for its reply (library
            default 10).
        heartbeat_interval: seconds between heartbeats (library default 0.5);
            subscribed changes arrive with them.
        encoding, errors: how text values are encoded on the server.
        client_parameter: a number passed with the login (low 16 bits).

    Raises:
        Refused: the server refused or rejected the client.
        NotReady: no ready session within the time-out.
        LibraryNotFound: the C API library is not installed.
    """
    client = Client(encoding=encoding, errors=errors, client_parameter=client_parameter)
    try:
        if request_timeout is not None:
            client.request_timeout = request_timeout
        if heartbeat_interval is not None:
            client.heartbeat_interval = heartbeat_interval
        client._connect(host, port, backup, timeout, local)
    except BaseException:
        client.close()
        raise
    return client
