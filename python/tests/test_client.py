"""The blocking client against tarvik-sim."""

from __future__ import annotations

import logging
import os
import signal
import threading
import time
from datetime import datetime, timedelta, timezone

import pytest

import tarvik
from conftest import Sim, thread_count, wait_for


def test_read_and_write_values_of_each_type(client: tarvik.Client, other: tarvik.Client) -> None:
    assert isinstance(client.read("TANK102.PV"), float)
    client.write({"TANK102.SP": 62.5, "TANK102.STATE": "FILLING", "PUMP102.RUN": 0})
    assert other.read(["tank102.sp", "TANK102.STATE", "PUMP102.RUN"]) == {
        "tank102.sp": 62.5,
        "TANK102.STATE": "FILLING",
        "PUMP102.RUN": 0,
    }
    # Values are converted to the field's type; texts for numbers must be numbers.
    client.write("PUMP102.RUN", 2.5)  # rounded half up
    client.write("TANK102.SP", 7)
    client.write("TI102.UNIT", 12)
    client.write("TANK102.HI", "95.5")
    assert client.read(["PUMP102.RUN", "TANK102.SP", "TI102.UNIT", "TANK102.HI"]) == {
        "PUMP102.RUN": 3,
        "TANK102.SP": 7.0,
        "TI102.UNIT": "12",
        "TANK102.HI": 95.5,
    }
    assert client.read([]) == {}
    text = "é" * 31  # 62 bytes in UTF-8: fits
    client.write("TANK102.STATE", text)
    assert client.read("TANK102.STATE") == text


@pytest.mark.parametrize(
    "item, value, error",
    [
        ("PUMP102.RUN", 2**31, ValueError),
        ("PUMP102.RUN", float("nan"), ValueError),
        ("PUMP102.RUN", "abc", ValueError),
        ("TANK102.STATE", "x" * 64, ValueError),
        ("TANK102.STATE", None, TypeError),
        ("TANK102.SP", object(), TypeError),
    ],
)
def test_a_value_that_does_not_suit_its_field_writes_nothing(
    client: tarvik.Client, item: str, value: object, error: type
) -> None:
    client.write("TANK103.SP", 1.0)
    with pytest.raises(error, match=item):
        client.write({"TANK103.SP": 2.0, item: value})
    assert client.read("TANK103.SP") == 1.0


def test_unknown_items_say_which_and_why(client: tarvik.Client) -> None:
    with pytest.raises(tarvik.UnknownItem) as caught:
        client.read(["TANK101.PV", "TANK101.NOPE", "NOPOINT.PV", "X" * 40, ""])
    e = caught.value
    assert (e.item, e.reason) == ("TANK101.NOPE", "field")
    assert e.items == [("TANK101.NOPE", "field"), ("NOPOINT.PV", "point"), ("X" * 40, "name"), ("", "name")]
    assert "TANK101.NOPE" in str(e) and "no field 'NOPE'" in str(e) and "no point 'NOPOINT'" in str(e)
    assert isinstance(e, tarvik.Error) and isinstance(e, KeyError)
    client.write("TANK104.SP", 5.0)
    with pytest.raises(tarvik.UnknownItem):
        client.write({"TANK104.SP": 6.0, "TANK104.NOPE": 1})
    assert client.read("TANK104.SP") == 5.0  # nothing was written
    with pytest.raises(tarvik.UnknownItem, match="NOPOINT"):
        client.subscribe(["NOPOINT"], lambda changes: None)
    with pytest.raises(tarvik.UnknownItem, match="NOPOINT"):
        client.fields("NOPOINT")
    with pytest.raises(tarvik.Error, match="no point type 99"):
        client.fields(99)


def test_directory(client: tarvik.Client) -> None:
    points = client.points()
    assert len(points) == 36
    assert points[0] == tarvik.Point("TANK101", 0, 1, 1)
    assert [p.index for p in points] == list(range(36))
    tank = client.fields("TANK101")
    assert [(f.name, f.no, f.value_type) for f in tank][:2] == [
        ("PV", 0, tarvik.ValueType.DOUBLE),
        ("SP", 1, tarvik.ValueType.DOUBLE),
    ]
    assert client.fields(1) == tank
    assert [(f.name, f.no) for f in client.fields("ti101")] == [("PV", 0), ("UNIT", 10), ("ALARM", 255)]
    assert sorted(client.types()) == [1, 2, 3, 4, 5]


def test_no_server_raises_not_ready_with_state_and_reason(fresh_sim: Sim) -> None:
    port = fresh_sim.port
    fresh_sim.stop()
    started = time.monotonic()
    with pytest.raises(tarvik.NotReady) as caught:
        tarvik.connect("127.0.0.1", port, timeout=0.5)
    assert time.monotonic() - started < 5
    assert caught.value.state in (tarvik.State.NO_SERVER, tarvik.State.CLOSED, tarvik.State.BROKEN)
    assert f"127.0.0.1:{port}" in str(caught.value) and "last state" in str(caught.value)
    with pytest.raises(ValueError):
        tarvik.connect("127.0.0.1", 70000)
    with pytest.raises(TypeError):
        tarvik.connect("127.0.0.1")


def test_lost_server_is_reported_as_state_and_not_ready(fresh_sim: Sim) -> None:
    with tarvik.connect("127.0.0.1", fresh_sim.port, request_timeout=2.0, heartbeat_interval=0.05) as c:
        states = []
        c.on_state(states.append)
        fresh_sim.stop()
        assert wait_for(lambda: any(s != tarvik.State.READY for s in states))
        assert c.state != tarvik.State.READY
        with pytest.raises(tarvik.NotReady, match="no ready session"):
            c.read("TANK101.PV")


def test_subscription_receives_another_clients_write_and_ends_with_its_block(
    client: tarvik.Client, other: tarvik.Client
) -> None:
    first, second = [], []
    with client.subscribe(["tank105.sp", "TANK105.STATE"], first.extend) as sub:
        assert len(sub.handles) == 2 and all(sub.handles)
        other.write({"TANK105.SP": 11.0, "TANK105.STATE": "DRAINING"})
        assert wait_for(lambda: {c.item for c in first} == {"tank105.sp", "TANK105.STATE"})
        change = next(c for c in first if c.item == "tank105.sp")
        assert change.value == 11.0 and change.handle in sub.handles
        assert isinstance(change.time, datetime)
        assert sub.values() == {"tank105.sp": 11.0, "TANK105.STATE": "DRAINING"}
    assert not sub.active
    count = len(first)
    with client.subscribe(["TANK105.SP"], second.extend):
        other.write("TANK105.SP", 12.0)
        assert wait_for(lambda: second)
    assert len(first) == count  # the closed subscription got nothing more


def test_watch_yields_changes_until_its_time_out(client: tarvik.Client, other: tarvik.Client) -> None:
    other.write("TANK106.SP", 1.0)
    watch = client.watch(["TANK106.SP"], timeout=1.0, initial=True)
    first = next(watch)
    assert (first.item, first.value) == ("TANK106.SP", 1.0)
    other.write("TANK106.SP", 2.0)
    assert next(watch).value == 2.0
    started = time.monotonic()
    assert list(watch) == []
    assert time.monotonic() - started < 2.0
    with pytest.raises(tarvik.UnknownItem):
        client.watch(["TANK106.NOPE"])
    for _ in client.watch(["TANK106.SP"], initial=True):
        break  # the dropped iterator unsubscribes
    assert wait_for(lambda: not client._core.entries)


def test_ctrl_c_ends_a_watch_promptly(client: tarvik.Client) -> None:
    if not hasattr(signal, "pthread_kill"):
        pytest.skip("needs pthread_kill")
    main = threading.get_ident()
    timer = threading.Timer(0.3, signal.pthread_kill, (main, signal.SIGINT))
    started = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        with client.watch(["TANK107.SP"]) as watch:
            for _ in watch:
                pass
    assert time.monotonic() - started < 1.5
    assert watch._subscription is None  # unsubscribed


def test_a_raising_callback_is_reported_and_delivery_goes_on(
    client: tarvik.Client, other: tarvik.Client, caplog: pytest.LogCaptureFixture
) -> None:
    seen, reported = [], []

    def callback(changes: list) -> None:
        seen.extend(changes)
        if changes[-1].value != 2.0:
            raise RuntimeError(f"boom {changes[-1].value}")

    with client.subscribe(["TANK108.SP"], callback):
        with caplog.at_level(logging.ERROR, logger="tarvik"):
            other.write("TANK108.SP", 1.0)
            assert wait_for(lambda: "boom 1.0" in caplog.text)
        assert "subscription callback" in caplog.text
        client.on_error(lambda error, where: reported.append((str(error), where)))
        other.write("TANK108.SP", 3.0)
        assert wait_for(lambda: reported)
        assert reported[0][0] == "boom 3.0" and "subscription callback" in reported[0][1]
        other.write("TANK108.SP", 2.0)
        assert wait_for(lambda: seen and seen[-1].value == 2.0)


def test_with_leaves_no_client_or_thread_behind(sim: Sim) -> None:
    before = thread_count()
    with tarvik.connect("127.0.0.1", sim.port) as c:
        c.subscribe(["TANK101.PV"], lambda changes: None)
        watch = c.watch(["TANK101.SP"])
        during = thread_count()
    assert c.closed
    if before is not None:
        assert during > before
        assert thread_count() == before
    with pytest.raises(tarvik.Closed):
        c.read("TANK101.PV")
    assert list(watch) == []
    c.close()  # again: nothing happens
    # Closed from its own callback: the library completes the stop afterwards.
    c = tarvik.connect("127.0.0.1", sim.port, heartbeat_interval=0.05)
    c.subscribe(["TANK101.HI"], lambda changes: c.close())
    with tarvik.connect("127.0.0.1", sim.port) as writer:
        writer.write("TANK101.HI", 91.0)
    assert wait_for(lambda: c.closed)
    if before is not None:
        assert wait_for(lambda: thread_count() == before)


def test_history(client: tarvik.Client) -> None:
    base = datetime.now().replace(microsecond=0) - timedelta(days=400)
    records = [
        tarvik.Record(base, 0, 1.5),
        (base + timedelta(seconds=10), 7, 49.7),
        (base + timedelta(seconds=20), 2.25),
    ]
    assert client.write_history("FIC101.TOTAL", records) == 3
    raw = client.history_raw("FIC101.TOTAL", base - timedelta(seconds=1), base + timedelta(seconds=30))
    assert raw == [
        tarvik.Record(base, 0, 1.5),
        tarvik.Record(base + timedelta(seconds=10), 7, 49.7),
        tarvik.Record(base + timedelta(seconds=20), 0, 2.25),
    ]
    # Aware datetimes and seconds since 1970 name the same instants.
    aware = (base + timedelta(seconds=5)).astimezone(timezone.utc)
    assert client.history_raw("FIC101.TOTAL", aware, base.timestamp() + 15) == raw[1:2]
    rows = client.history(["FIC101.TOTAL", "FIC101.PV"], base, base + timedelta(seconds=20), samples=3)
    assert [t for t, _ in rows] == [base + timedelta(seconds=s) for s in (0, 10, 20)]
    assert [v["FIC101.TOTAL"] for _, v in rows] == [1.5, 49.7, 2.25]
    assert set(rows[0][1]) == {"FIC101.TOTAL", "FIC101.PV"}
    with pytest.raises(ValueError, match="1970"):
        client.history_raw("FIC101.TOTAL", datetime(1960, 1, 1), base)
    with pytest.raises(ValueError, match="status"):
        client.write_history("FIC101.TOTAL", [(base, 70000, 1.0)])
    try:
        import pandas  # noqa: F401
    except ImportError:
        return
    frame = client.history_frame(["FIC101.TOTAL"], base, base + timedelta(seconds=20), samples=3)
    assert list(frame.columns) == ["FIC101.TOTAL"]
    assert frame.index[1] == base + timedelta(seconds=10)
    assert frame["FIC101.TOTAL"].tolist() == [1.5, 49.7, 2.25]


def test_local_transport() -> None:
    if os.name != "posix":
        pytest.skip("POSIX shared registry")
    local_sim = Sim("--local")
    try:
        with tarvik.connect(local=True, timeout=10.0) as c:
            with tarvik.connect("127.0.0.1", local_sim.port) as tcp:
                tcp.write("VALVE110.MODE", "LOCAL-TEST")
            assert c.read("VALVE110.MODE") == "LOCAL-TEST"
    finally:
        local_sim.stop()


@pytest.mark.skipif(not hasattr(signal, "SIGSTOP"), reason="needs SIGSTOP")
def test_silent_server_fails_the_request(fresh_sim: Sim) -> None:
    with tarvik.connect("127.0.0.1", fresh_sim.port, request_timeout=0.3, heartbeat_interval=5.0) as c:
        assert (c.request_timeout, c.heartbeat_interval) == (0.3, 5.0)
        with pytest.raises(ValueError, match="request_timeout"):
            c.request_timeout = 0
        fresh_sim.pause()
        try:
            with pytest.raises(tarvik.RequestFailed, match="did not answer within 300 ms"):
                c.read("TANK101.PV")
        finally:
            fresh_sim.resume()
