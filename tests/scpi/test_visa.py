"""velmar-dds-scpi driven by real clients of a test lab: PyVISA with its
pure-Python backend, and lxi-tools, against two simulated instruments.

The instruments come from conftest.py's `server`."""

import re
import shutil
import subprocess

import pytest

pyvisa = pytest.importorskip("pyvisa")
pytest.importorskip("pyvisa_py")


@pytest.fixture
def instrument(server):
    def open_instrument(index):
        manager = pyvisa.ResourceManager("@py")
        resource = manager.open_resource(f"TCPIP0::127.0.0.1::{server[index]}::SOCKET",
                                         read_termination="\n", write_termination="\n")
        resource.timeout = 5000
        return resource
    return open_instrument


def test_identifies_the_instrument_behind_each_port(instrument):
    for index in (0, 1):
        fields = instrument(index).query("*IDN?").split(",")
        assert fields[:3] == ["VELMAR", "DDS", f"dds{index}"]
        assert re.fullmatch(r"\d+\.\d+\.\d+", fields[3])


def test_frequency_set_then_measured(instrument):
    dds = instrument(1)
    dds.write("FREQ 1KHZ")
    assert dds.query_ascii_values("MEAS:FREQ?")[0] == pytest.approx(1000.16, abs=0.5)
    assert dds.query("SYST:ERR?") == '0,"No error"'


def test_undefined_header_is_queued(instrument):
    dds = instrument(0)
    dds.write("FOO")
    assert dds.query("SYST:ERR?") == '-113,"Undefined header"'
    assert dds.query("SYST:ERR?") == '0,"No error"'


@pytest.mark.parametrize("big_endian, order", [(True, "NORM"), (False, "SWAP")])
def test_binary_block_in_either_byte_order(instrument, big_endian, order):
    dds = instrument(0)
    dds.write(f"FORM:BORD {order}")
    # 0x0A0A holds the terminator twice: it must stay data.
    dds.write_binary_values("DATA:DAC ", [0, 0x0A0A, 0xFFFF, 0x0A0A], datatype="H",
                            is_big_endian=big_endian)
    assert dds.query("DATA:DAC:POIN?;SYST:ERR?") == '4;0,"No error"'


def test_lxi_one_liner(server):
    lxi = shutil.which("lxi")
    if lxi is None:
        pytest.skip("lxi-tools is not installed")
    result = subprocess.run([lxi, "scpi", "--raw", "-a", "127.0.0.1", "-p", str(server[0]),
                             "*IDN?"], capture_output=True, text=True, timeout=20)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip().startswith("VELMAR,DDS,dds0,")
