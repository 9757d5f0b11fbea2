"""Tarvik for asyncio: the operations of :class:`tarvik.Client` as coroutines.

    import asyncio, tarvik.aio

    async def main():
        async with tarvik.aio.connect("127.0.0.1", 4000) as client:
            print(await client.read("TANK101.PV"))
            async for change in client.watch(["TANK101.PV"], timeout=5.0):
                print(change)

    asyncio.run(main())

Blocking calls of the library run in the event loop's default executor, never
on the loop itself. Changes and state changes, which the library reports on
its notification thread, are handed to the loop with
``call_soon_threadsafe``: callbacks given to this module run on the event
loop's thread, and may be coroutine functions.
"""

from __future__ import annotations

import asyncio
import functools
import inspect
import time as _time
from typing import Any, Awaitable, Callable, Dict, Generator, Generic, List, Optional, Tuple, TypeVar, Union

from .client import Client, Items, Subscription, _backup, connect as _connect
from .errors import Error
from .types import Change, Field, Point, Record, State, Value

__all__ = ["connect", "AsyncClient", "AsyncSubscription", "AsyncWatch"]

T = TypeVar("T")


class _AwaitableContext(Generic[T]):
    """``await x`` gives the object; ``async with x as obj`` also closes it."""

    def __init__(self, make: Callable[[], Awaitable[T]]) -> None:
        self._make = make
        self._value: Optional[T] = None

    def __await__(self) -> Generator[Any, None, T]:
        return self._make().__await__()

    async def __aenter__(self) -> T:
        self._value = await self._make()
        return self._value

    async def __aexit__(self, *exc: Any) -> None:
        value, self._value = self._value, None
        if value is not None:
            await value.aclose()  # type: ignore[attr-defined]


def connect(
    host: str = "127.0.0.1",
    port: Optional[int] = None,
    backup: Union[None, str, Tuple[str, int]] = None,
    timeout: Optional[float] = 10.0,
    **options: Any,
) -> "_AwaitableContext[AsyncClient]":
    """:func:`tarvik.connect` for asyncio: ``client = await tarvik.aio.connect(...)``
    or ``async with tarvik.aio.connect(...) as client``. Takes the same
    arguments."""
    _backup(backup, 1)  # argument errors at the call, not in the executor

    async def make() -> AsyncClient:
        loop = asyncio.get_running_loop()
        client = await loop.run_in_executor(
            None, functools.partial(_connect, host, port, backup, timeout, **options)
        )
        return AsyncClient(client, loop)

    return _AwaitableContext(make)


class AsyncClient:
    """A :class:`tarvik.Client` for one event loop. Made by :func:`connect`;
    ``await client.aclose()`` (or leaving ``async with``) closes it."""

    def __init__(self, client: Client, loop: Optional[asyncio.AbstractEventLoop] = None) -> None:
        self.client = client  #: the blocking client underneath
        self._loop = loop or asyncio.get_running_loop()

    async def _run(self, function: Callable[..., T], *args: Any, **kwargs: Any) -> T:
        return await self._loop.run_in_executor(None, functools.partial(function, *args, **kwargs))

    def _soon(self, callback: Callable[..., Any], *args: Any) -> None:
        """Runs a callback on the loop; from any thread."""
        try:
            self._loop.call_soon_threadsafe(callback, *args)
        except RuntimeError:  # the loop is closed: nobody is listening
            pass

    def _invoke(self, callback: Callable[..., Any], arg: Any, where: str) -> None:
        """Calls a user callback on the loop; a coroutine becomes a task. Errors
        go to the client's error handler."""
        try:
            result = callback(arg)
            if inspect.isawaitable(result):
                task = asyncio.ensure_future(result)
                task.add_done_callback(functools.partial(self._task_done, where=where))
        except Exception as error:
            self.client._core.report(error, where)

    def _task_done(self, task: "asyncio.Future[Any]", where: str) -> None:
        if not task.cancelled() and task.exception() is not None:
            self.client._core.report(task.exception(), where)  # type: ignore[arg-type]

    # ---- life and state ------------------------------------------------------------

    async def aclose(self) -> None:
        """Logs out and frees the client (in the executor)."""
        await self._run(self.client.close)

    async def __aenter__(self) -> "AsyncClient":
        return self

    async def __aexit__(self, *exc: Any) -> None:
        await self.aclose()

    @property
    def closed(self) -> bool:
        return self.client.closed

    @property
    def state(self) -> Union[State, int]:
        """The connection state (no request: cheap to read on the loop)."""
        return self.client.state

    def on_state(self, callback: Callable[[Union[State, int]], Any]) -> Callable[[], None]:
        """Calls ``callback(state)`` on the event loop at every state change (a
        coroutine function is run as a task). Returns the function that removes
        it."""
        return self.client.on_state(lambda state: self._soon(self._invoke, callback, state, "state callback"))

    def on_error(self, handler: Optional[Callable[[BaseException, str], Any]]) -> None:
        """:meth:`tarvik.Client.on_error`: the handler of callback exceptions.
        It runs on the thread where the error happened."""
        self.client.on_error(handler)

    async def wait_ready(self, timeout: Optional[float] = 10.0) -> None:
        await self._run(self.client.wait_ready, timeout)

    # ---- operations -------------------------------------------------------------------

    async def read(self, items: Items) -> Union[Value, Dict[str, Value]]:
        """:meth:`tarvik.Client.read`."""
        return await self._run(self.client.read, items)

    async def write(self, values: Any, value: Any = ...) -> None:
        """:meth:`tarvik.Client.write`."""
        await self._run(self.client.write, values, value)

    async def points(self) -> List[Point]:
        return await self._run(self.client.points)

    async def fields(self, point_or_type: Union[str, int]) -> List[Field]:
        return await self._run(self.client.fields, point_or_type)

    async def types(self) -> Dict[int, List[Field]]:
        return await self._run(self.client.types)

    async def history(self, items: Items, start: Any, end: Any, samples: int = 10) -> List[Tuple[Any, Dict[str, float]]]:
        return await self._run(self.client.history, items, start, end, samples)

    async def history_frame(self, items: Items, start: Any, end: Any, samples: int = 10) -> Any:
        return await self._run(self.client.history_frame, items, start, end, samples)

    async def history_raw(self, item: str, start: Any, end: Any) -> List[Record]:
        return await self._run(self.client.history_raw, item, start, end)

    async def write_history(self, item: str, records: Any) -> int:
        return await self._run(self.client.write_history, item, list(records))

    # ---- subscriptions ---------------------------------------------------------------

    def subscribe(
        self, items: Items, callback: Callable[[List[Change]], Any]
    ) -> "_AwaitableContext[AsyncSubscription]":
        """Subscribes: ``callback(changes)`` runs on the event loop (a coroutine
        function as a task). ``sub = await client.subscribe(...)`` or
        ``async with client.subscribe(...) as sub``."""
        if not callable(callback):
            raise TypeError("subscribe: the callback is not callable")

        async def make() -> AsyncSubscription:
            def deliver(changes: List[Change]) -> None:
                self._soon(self._invoke, callback, changes, "subscription callback")

            sub = await self._run(self.client.subscribe, items, deliver)
            return AsyncSubscription(self, sub)

        return _AwaitableContext(make)

    def watch(self, items: Items, timeout: Optional[float] = None, *, initial: bool = False) -> "AsyncWatch":
        """``async for change in client.watch(items, timeout=5.0)``: the changes
        of the items until the time-out (``None``: until the loop is left).
        With ``initial`` the current values come first."""
        return AsyncWatch(self, items, timeout, initial)


class AsyncSubscription:
    """A subscription of an :class:`AsyncClient`."""

    def __init__(self, client: AsyncClient, subscription: Subscription) -> None:
        self._client = client
        self.subscription = subscription  #: the blocking subscription underneath

    @property
    def items(self) -> List[str]:
        return self.subscription.items

    @property
    def handles(self) -> List[int]:
        return self.subscription.handles

    @property
    def active(self) -> bool:
        return self.subscription.active

    async def values(self) -> Dict[str, Value]:
        """The last values the client received for the items."""
        return await self._client._run(self.subscription.values)

    async def aclose(self) -> None:
        """Unsubscribes."""
        await self._client._run(self.subscription.close)

    async def __aenter__(self) -> "AsyncSubscription":
        return self

    async def __aexit__(self, *exc: Any) -> None:
        await self.aclose()


class AsyncWatch:
    """The asynchronous iterator of :meth:`AsyncClient.watch`; also an async
    context manager. The subscription is made on entry or at the first
    ``__anext__`` and ends with the iteration."""

    def __init__(self, client: AsyncClient, items: Items, timeout: Optional[float], initial: bool) -> None:
        if timeout is not None and not timeout >= 0:
            raise ValueError("watch: the time-out must be a number of seconds >= 0")
        self._client = client
        self._items = items
        self._initial = initial
        self._deadline = None if timeout is None else _time.monotonic() + timeout
        self._queue: "asyncio.Queue[List[Change]]" = asyncio.Queue()
        self._pending: List[Change] = []
        self._subscription: Optional[Subscription] = None
        self._done = False

    async def _start(self) -> None:
        client = self._client

        def deliver(changes: List[Change]) -> None:
            client._soon(self._queue.put_nowait, changes)

        sub = await client._run(client.client.subscribe, self._items, deliver)
        self._subscription = sub
        if self._initial:
            try:
                current = await client._run(sub.values)
            except BaseException:
                await self.aclose()
                raise
            from datetime import datetime

            now = datetime.now()
            self._pending = [Change(i, current[i], h, now) for i, h in zip(sub.items, sub.handles)][::-1]

    def __aiter__(self) -> "AsyncWatch":
        return self

    async def __anext__(self) -> Change:
        try:
            if self._done:
                raise StopAsyncIteration
            if self._subscription is None:
                await self._start()
            while not self._pending:
                assert self._subscription is not None
                if not self._subscription.active:
                    raise StopAsyncIteration
                if self._deadline is None:
                    wait = 0.5  # to notice a closed client
                else:
                    wait = min(0.5, self._deadline - _time.monotonic())
                    if wait <= 0:
                        raise StopAsyncIteration
                try:
                    batch = await asyncio.wait_for(self._queue.get(), wait)
                except asyncio.TimeoutError:
                    continue
                self._pending = batch[::-1]
            return self._pending.pop()
        except StopAsyncIteration:
            await self.aclose()
            raise
        except BaseException:  # cancelled (Ctrl-C under asyncio.run) or failed
            self._close_soon()
            raise

    def _close_soon(self) -> None:
        """Unsubscribes without waiting (the task is being cancelled)."""
        self._done = True
        sub, self._subscription = self._subscription, None
        if sub is not None:
            future = self._client._loop.run_in_executor(None, sub.close)
            future.add_done_callback(lambda f: f.cancelled() or f.exception())

    async def aclose(self) -> None:
        """Ends the iteration and unsubscribes."""
        self._done = True
        sub, self._subscription = self._subscription, None
        if sub is not None:
            try:
                await self._client._run(sub.close)
            except Error:
                pass

    async def __aenter__(self) -> "AsyncWatch":
        if self._subscription is None and not self._done:
            await self._start()
        return self

    async def __aexit__(self, *exc: Any) -> None:
        await self.aclose()
