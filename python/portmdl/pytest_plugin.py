"""A pytest plugin with simulated phones as fixtures; pytest loads it when portmdl is installed
(or with ``-p portmdl.pytest_plugin``).

Each fixture is a factory: call it with the options of the portmdl.testing helper of the same
name; what it started stops when the test ends. A test that leaves a port open fails, once
the plugin has closed that port::

    def test_answers(sim_cable):
        cable = sim_cable({b"AT\\r": b"\\r\\nOK\\r\\n"})
        with portmdl.Port(cable.path) as port:
            ...
"""

from __future__ import annotations

import contextlib
from typing import Any, Callable, Iterator

import pytest

from . import _port, testing


@pytest.fixture(autouse=True)
def _portmdl_port_left_open() -> Iterator[None]:
    """Fails a test that leaves a port open, after closing it: otherwise the next test's open
    would fail with PortInUseError, far from the cause."""
    yield
    port = _port.current_port()
    if port is not None:
        name = repr(port)
        port.close()
        pytest.fail(f"the test left {name} open (now closed): close it, or use it in a with "
                    "block", pytrace=False)


def _factory(helper: Callable[..., Any]) -> Iterator[Callable[..., Any]]:
    with contextlib.ExitStack() as stack:
        yield lambda *args, **kwargs: stack.enter_context(helper(*args, **kwargs))


@pytest.fixture
def sim_cable() -> Iterator[Callable[..., testing.SimCable]]:
    """Starts pmsim-cable: sim_cable(replies=None, echo=False, identification=None, ...)."""
    yield from _factory(testing.sim_cable)


@pytest.fixture
def sim_modem() -> Iterator[Callable[..., testing.SimModem]]:
    """Starts pmsim-modem in a temporary plane: sim_modem(replies=None, echo=False, ...)."""
    yield from _factory(testing.sim_modem)


@pytest.fixture
def bluetooth_world() -> Iterator[Callable[..., str]]:
    """Sets the simulated Bluetooth world: bluetooth_world(dict); once per process."""
    yield from _factory(testing.bluetooth_world)
