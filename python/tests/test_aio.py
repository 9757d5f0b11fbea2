"""tarvik.aio against tarvik-sim."""

from __future__ import annotations

import asyncio
import threading
from datetime import datetime, timedelta

import pytest

import tarvik
import tarvik.aio
from conftest import Sim


def run(coroutine):  # pytest-asyncio is not a Debian default: plain asyncio.run
    return asyncio.run(asyncio.wait_for(coroutine, 30))


def test_operations_and_errors(sim: Sim) -> None:
    async def main() -> None:
        async with tarvik.aio.connect("127.0.0.1", sim.port) as client:
            assert client.state == tarvik.State.READY
            await client.write({"VALVE105.POS": 33.0, "VALVE105.MODE": "MAN"})
            assert await client.read(["VALVE105.POS", "VALVE105.MODE"]) == {"VALVE105.POS": 33.0, "VALVE105.MODE": "MAN"}
            assert await client.read("VALVE105.POS") == 33.0
            points, fields = await asyncio.gather(client.points(), client.fields("VALVE105"))
            assert len(points) == 36 and [f.name for f in fields] == ["POS", "MODE"]
            base = datetime.now().replace(microsecond=0) - timedelta(days=300)
            assert await client.write_history("VALVE105.POS", [(base, 1, 5.0)]) == 1
            assert await client.history_raw("VALVE105.POS", base, base) == [tarvik.Record(base, 1, 5.0)]
            rows = await client.history("VALVE105.POS", base, base, samples=1)
            assert rows == [(base, {"VALVE105.POS": 5.0})]
            with pytest.raises(tarvik.UnknownItem):
                await client.read("VALVE105.NOPE")
        assert client.closed

    run(main())


def test_subscription_and_watch_deliver_into_the_loop(sim: Sim, other: tarvik.Client) -> None:
    async def main() -> None:
        loop_thread = threading.get_ident()
        async with tarvik.aio.connect("127.0.0.1", sim.port, heartbeat_interval=0.05) as client:
            got: asyncio.Queue = asyncio.Queue()

            async def callback(changes: list) -> None:  # coroutine callbacks run as tasks
                assert threading.get_ident() == loop_thread
                for change in changes:
                    await got.put(change)

            async with client.subscribe(["VALVE106.POS"], callback) as sub:
                await asyncio.get_running_loop().run_in_executor(None, other.write, "VALVE106.POS", 71.0)
                change = await asyncio.wait_for(got.get(), 10)
                assert (change.item, change.value, change.handle) == ("VALVE106.POS", 71.0, sub.handles[0])
            assert not sub.active

            seen = []
            async for change in client.watch(["VALVE106.POS"], timeout=0.5, initial=True):
                seen.append(change.value)
            assert seen == [71.0]

            async with client.watch(["VALVE106.POS"]) as watch:
                await asyncio.get_running_loop().run_in_executor(None, other.write, "VALVE106.POS", 72.0)
                async for change in watch:
                    assert change.value == 72.0
                    break
            assert watch._subscription is None

    run(main())


def test_connect_failure_and_cancelled_watch(fresh_sim: Sim) -> None:
    async def main() -> None:
        async with tarvik.aio.connect("127.0.0.1", fresh_sim.port) as client:
            watch = client.watch(["TANK101.SP"])
            task = asyncio.ensure_future(watch.__anext__())
            for _ in range(1000):  # until it waits for changes
                if watch._subscription is not None:
                    break
                await asyncio.sleep(0.01)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            assert watch._done
        port = fresh_sim.port
        fresh_sim.stop()
        with pytest.raises(tarvik.NotReady):
            await tarvik.aio.connect("127.0.0.1", port, timeout=0.3)

    run(main())
