"""velmar-dds-scpi's VXI-11 door and discovery, driven by the clients a lab
uses: PyVISA (@py) opening TCPIP0::127.0.0.1::instN::INSTR, lxi scpi, lxi
discover, and, where avahi-daemon can run, lxi discover -m and avahi-browse.

VISA clients find VXI-11 through the portmapper on port 111, and lxi discover
broadcasts: the suite runs in a network namespace of its own (in_netns.sh,
VELMAR_NETNS=1), where the server answers on port 111 itself and nothing
reaches the machine's own network. VELMAR_SIM and VELMAR_SCPI name the two
programs."""

import os
import re
import shutil
import socket
import struct
import subprocess
import threading
import time

import pytest

pyvisa = pytest.importorskip("pyvisa")
pytest.importorskip("pyvisa_py")

if os.environ.get("VELMAR_NETNS") != "1":
    pytest.skip("NOT RUN: needs the network namespace of in_netns.sh", allow_module_level=True)

from pyvisa import constants  # noqa: E402
from pyvisa.errors import VisaIOError  # noqa: E402

from netns_server import running_server, wait_for  # noqa: E402


@pytest.fixture(scope="module")
def server():
    """The socket ports and the log's path of a server on every address of
    the namespace, its portmapper on 0.0.0.0:111."""
    with running_server(["--http", "0", "--verbose", "--instrument-address", "0=192.0.2.11",
                         "--instrument-address", "1=192.0.2.12"],
                        r"portmapper for VXI-11 on 0\.0\.0\.0:111") as (ports, log):
        yield {"ports": ports, "log": log}


@pytest.fixture
def manager():
    rm = pyvisa.ResourceManager("@py")
    yield rm
    rm.close()


def instr(manager, resource):
    dds = manager.open_resource(resource, read_termination="\n", write_termination="\n")
    dds.timeout = 5000
    return dds


def test_each_instrument_answers_as_through_its_socket(server, manager):
    identities = []
    for index in (0, 1):
        dds = instr(manager, f"TCPIP0::127.0.0.1::inst{index}::INSTR")
        raw = instr(manager, f"TCPIP0::127.0.0.1::{server['ports'][index]}::SOCKET")
        identity = dds.query("*IDN?")
        assert identity == raw.query("*IDN?")
        assert identity.startswith("VELMAR,DDS,")
        identities.append(identity)
        dds.close()
        raw.close()
    assert identities[0] != identities[1]
    # TCPIP::host::INSTR is inst0.
    assert instr(manager, "TCPIP0::127.0.0.1::INSTR").query("*IDN?") == identities[0]


def test_unknown_device_name_is_refused(server, manager):
    with pytest.raises(Exception, match="error creating link: 3"):
        manager.open_resource("TCPIP0::127.0.0.1::inst7::INSTR")
    with pytest.raises(Exception, match="error creating link: 3"):
        manager.open_resource("TCPIP0::127.0.0.1::gpib0,5::INSTR")


def test_frequency_set_then_measured(server, manager):
    dds = instr(manager, "TCPIP0::127.0.0.1::inst1::INSTR")
    dds.write("FREQ 1KHZ")
    assert dds.query_ascii_values("MEAS:FREQ?")[0] == pytest.approx(1000.16, abs=0.5)
    assert dds.query("SYST:ERR?") == '0,"No error"'


def test_binary_block_split_over_several_writes(server, manager):
    dds = instr(manager, "TCPIP0::127.0.0.1::inst0::INSTR")
    # 0x0A0A holds the terminator twice: it must stay data.
    dds.write_binary_values("DATA:DAC ", [0, 0x0A0A, 0xFFFF, 0x0A0A] * 512, datatype="H",
                            is_big_endian=True)
    assert dds.query("DATA:DAC:POIN?;SYST:ERR?") == '2048;0,"No error"'


def test_status_byte_says_when_an_answer_waits(server, manager):
    dds = instr(manager, "TCPIP0::127.0.0.1::inst0::INSTR")
    dds.write("*CLS")
    assert dds.read_stb() & 0x10 == 0
    dds.write("*IDN?")
    assert dds.read_stb() & 0x10 == 0x10  # MAV
    assert dds.read().startswith("VELMAR,DDS,")
    assert dds.read_stb() & 0x10 == 0
    dds.write("FOO")
    assert dds.read_stb() & 0x04 == 0x04  # an error is queued
    assert dds.query("SYST:ERR?") == '-113,"Undefined header"'


def test_clear_drops_the_unread_answer_and_keeps_the_error_queue(server, manager):
    dds = instr(manager, "TCPIP0::127.0.0.1::inst0::INSTR")
    dds.write("FOO")
    dds.write("*IDN?")
    dds.clear()
    # No -410 for the answer that was dropped: the clear dropped it.
    assert dds.query("SYST:ERR?") == '-113,"Undefined header"'
    assert dds.query("SYST:ERR?") == '0,"No error"'


def test_a_read_with_nothing_to_come_fails_at_once(server, manager):
    dds = instr(manager, "TCPIP0::127.0.0.1::inst0::INSTR")
    dds.timeout = 20000
    started = time.monotonic()
    with pytest.raises(VisaIOError) as error:
        dds.read()
    assert error.value.error_code == constants.VI_ERROR_TMO
    assert time.monotonic() - started < 5
    assert dds.query("SYST:ERR?") == '-420,"Query UNTERMINATED"'


def test_trigger_runs_star_trg_through_the_command_layer(server, manager):
    dds = instr(manager, "TCPIP0::127.0.0.1::inst1::INSTR")
    dds.assert_trigger()
    assert dds.query("*OPC?;SYST:ERR?") == '1;0,"No error"'
    assert wait_for(server["log"], r"instrument 1: VXI-11 \S+ link \d+: \*TRG")


def test_lock_keeps_other_sessions_out_until_unlocked(server, manager):
    holder = instr(manager, "TCPIP0::127.0.0.1::inst0::INSTR")
    other = instr(manager, "TCPIP0::127.0.0.1::inst0::INSTR")
    neighbour = instr(manager, "TCPIP0::127.0.0.1::inst1::INSTR")
    holder.lock_excl()
    # pyvisa-py asks without waiting for the lock: refused at once.
    with pytest.raises(VisaIOError) as error:
        other.lock_excl(timeout=500)
    assert error.value.error_code == constants.VI_ERROR_RSRC_LOCKED
    with pytest.raises(VisaIOError):
        other.write("FREQ 2KHZ")
    assert holder.query("*IDN?").startswith("VELMAR,DDS,")
    assert neighbour.query("*IDN?").startswith("VELMAR,DDS,")  # another instrument
    holder.unlock()
    other.lock_excl()
    other.unlock()
    with pytest.raises(VisaIOError) as error:
        other.unlock()
    assert error.value.error_code == constants.VI_ERROR_SESN_NLOCKED


def test_closing_a_locked_session_frees_the_instrument(server, manager):
    holder = instr(manager, "TCPIP0::127.0.0.1::inst1::INSTR")
    holder.lock_excl()
    holder.close()
    other = instr(manager, "TCPIP0::127.0.0.1::inst1::INSTR")
    other.lock_excl()
    other.unlock()


def test_sessions_of_two_instruments_in_threads(server, manager):
    """Each session its own link; the answers never cross."""
    failures = []

    def drive(index):
        dds = instr(pyvisa.ResourceManager("@py"), f"TCPIP0::127.0.0.1::inst{index}::INSTR")
        for _ in range(20):
            if dds.query("*IDN?") != expected[index]:
                failures.append(index)

    expected = {i: instr(manager, f"TCPIP0::127.0.0.1::inst{i}::INSTR").query("*IDN?")
                for i in (0, 1)}
    threads = [threading.Thread(target=drive, args=(i,)) for i in (0, 1, 0, 1)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=30)
    assert failures == []


def lxi():
    program = shutil.which("lxi")
    if program is None:
        pytest.skip("lxi-tools is not installed")
    return program


def test_lxi_scpi_over_vxi11(server):
    result = subprocess.run([lxi(), "scpi", "-a", "127.0.0.1", "*IDN?"], capture_output=True,
                            text=True, timeout=20)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip().startswith("VELMAR,DDS,")


def test_lxi_discover_finds_both_instruments_by_broadcast(server):
    result = subprocess.run([lxi(), "discover", "-t", "1"], capture_output=True, text=True,
                            timeout=30)
    assert result.returncode == 0, result.stderr
    found = set(re.findall(r'Found "VELMAR,DDS,(dds\d),[^"]+" on address ([\d.]+)',
                           result.stdout))
    # The server at each of its addresses, as inst0; each instrument at its
    # own address, answering the broadcast from there.
    assert {("dds0", "127.0.0.1"), ("dds0", "192.0.2.1"), ("dds0", "192.0.2.11"),
            ("dds1", "192.0.2.12")} <= found, result.stdout


def test_an_instrument_at_its_own_address_is_inst0_alone(server, manager):
    assert instr(manager, "TCPIP0::192.0.2.12::INSTR").query("*IDN?").startswith(
        "VELMAR,DDS,dds1,")
    assert instr(manager, "TCPIP0::192.0.2.11::inst0::INSTR").query("*IDN?").startswith(
        "VELMAR,DDS,dds0,")
    with pytest.raises(Exception, match="error creating link: 3"):
        manager.open_resource("TCPIP0::192.0.2.12::inst1::INSTR")


def test_portmapper_answers_from_the_address_it_was_asked_at(server):
    getport = struct.pack(">10I", 7, 0, 2, 100000, 2, 3, 0, 0, 0, 0) + struct.pack(
        ">4I", 0x0607AF, 1, 6, 0)
    for address in ("192.0.2.1", "192.0.2.11", "192.0.2.12", "127.0.0.1"):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
            udp.settimeout(5)
            udp.sendto(getport, (address, 111))
            reply, sender = udp.recvfrom(64)
            assert sender == (address, 111)
            assert struct.unpack(">I", reply[-4:])[0] > 0  # the VXI-11 port
    # Calls that come together are each answered, DUMP's longer answer too.
    dump = struct.pack(">10I", 8, 0, 2, 100000, 2, 4, 0, 0, 0, 0)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
        udp.settimeout(5)
        for _ in range(50):
            udp.sendto(getport, ("127.0.0.1", 111))
        udp.sendto(dump, ("127.0.0.1", 111))
        replies = [udp.recvfrom(256)[0] for _ in range(51)]
    assert [r[:4] for r in replies].count(struct.pack(">I", 7)) == 50
    assert struct.pack(">I", 0x0607AF) in replies[-1]
