"""A Port on the simulated phone modem (cable type 5)."""

import pytest

import portmdl


def test_exchange_through_the_modem_driver(sim_modem):
    sim_modem({b"AT\r": b"\r\nOK\r\n"})
    with portmdl.Port(cable=5, timeout=3) as port:
        port.write(b"AT\r")
        assert port.read_exact(6) == b"\r\nOK\r\n"
        assert port.read(4, timeout=0.2) == b""


def test_a_driver_that_refuses_the_open(sim_modem):
    sim_modem(echo=True, options=["--fail", "0"])
    with pytest.raises(portmdl.PortError) as caught:
        portmdl.Port(cable=5)
    assert caught.value.code == 7
