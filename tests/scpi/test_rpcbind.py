"""velmar-dds-scpi with the system's portmapper: the server registers its
VXI-11 port with rpcbind, PyVISA finds it there, and the entry goes with the
server. Runs inside the namespace of in_netns.sh --rpcbind (VELMAR_RPCBIND=1),
where rpcbind holds port 111. VELMAR_SIM and VELMAR_SCPI name the two
programs."""

import os
import re
import shutil
import signal
import subprocess
import tempfile

import pytest

from netns_server import read, running_server, wait_for

if os.environ.get("VELMAR_RPCBIND") != "1":
    pytest.skip("NOT RUN: needs rpcbind in the namespace of in_netns.sh --rpcbind",
                allow_module_level=True)

REGISTERED = r"VXI-11 registered with the system's portmapper \(rpcbind\)"
CORE, ABORT = 395183, 395184  # 0x0607AF and 0x0607B0
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


def rpcinfo(*args):
    result = subprocess.run(["rpcinfo", *args], capture_output=True, text=True, timeout=20)
    return result.returncode, result.stdout + result.stderr


def entries():
    """VXI-11's entries in rpcbind: {(program, netid): (port, owner)}."""
    status, text = rpcinfo("127.0.0.1")
    assert status == 0, text
    found = {}
    # program version netid address service owner; address 0.0.0.0.P1.P2
    for program, netid, p1, p2, owner in re.findall(
            r"^\s*(\d+)\s+1\s+(\S+)\s+[\d.]+\.(\d+)\.(\d+)\s+\S+\s+(\S+)$", text, re.M):
        if int(program) in (CORE, ABORT):
            found[int(program), netid] = (int(p1) * 256 + int(p2), owner)
    return found


def vxi11_port(log_path):
    found = wait_for(log_path, r"VXI-11 on [\d.]+:(\d+)")
    assert found, read(log_path)
    return int(found[0])


def test_visa_finds_the_port_through_rpcbind_until_the_server_stops():
    pyvisa = pytest.importorskip("pyvisa")
    pytest.importorskip("pyvisa_py")
    with running_server(["--http", "0"], REGISTERED, stop=signal.SIGTERM) as (ports, log):
        port = vxi11_port(log)
        # rpcinfo -p asks version 2 (GETPORT's), as VISA clients do.
        status, listing = rpcinfo("-p", "127.0.0.1")
        assert status == 0, listing
        for program in (CORE, ABORT):
            assert re.search(rf"^\s*{program}\s+1\s+tcp\s+{port}\s*$", listing, re.M), listing
        # A NULL call through the address rpcbind gives.
        status, answer = rpcinfo("-T", "tcp", "127.0.0.1", str(CORE), "1")
        assert status == 0 and "ready and waiting" in answer, answer
        manager = pyvisa.ResourceManager("@py")
        try:
            dds = manager.open_resource("TCPIP0::127.0.0.1::inst1::INSTR",
                                        read_termination="\n", write_termination="\n")
            dds.timeout = 5000
            socket = manager.open_resource(f"TCPIP0::127.0.0.1::{ports[1]}::SOCKET",
                                           read_termination="\n", write_termination="\n")
            identity = dds.query("*IDN?")
            assert identity.startswith("VELMAR,DDS,") and identity == socket.query("*IDN?")
        finally:
            manager.close()
    assert entries() == {}


@pytest.fixture
def start():
    """Starts velmar-dds-scpi with one instrument that is not there (the
    portmapper does not need it), as root or under a command such as
    NOBODY; returns (process, log path). Stops what is left at the end."""
    root = tempfile.mkdtemp(prefix="velmar-rpcbind-test-")
    started = []

    def run(prefix, args=()):
        if prefix and shutil.which(prefix[0]) is None:
            pytest.skip(f"{prefix[0]} is not installed")
        log_path = os.path.join(root, f"server{len(started)}.log")
        with open(log_path, "w") as log:
            env = dict(os.environ, VELMAR_DDS_DEVICE_DIR=os.path.join(root, "none"),
                       VELMAR_DDS_STATE_DIR=os.path.join(root, "none"))
            scpi = subprocess.Popen(prefix + [os.environ["VELMAR_SCPI"], "--port", "0", "--http",
                                              "0", "--instruments", "1", *args], env=env,
                                    stderr=log)
        started.append(scpi)
        return scpi, log_path

    yield run
    for scpi in started:  # SIGTERM takes the entry back
        if scpi.poll() is None:
            scpi.terminate()
        scpi.wait(timeout=10)
    shutil.rmtree(root)


@pytest.mark.parametrize("user, owner", [([], "superuser"), (NOBODY, "65534")],
                         ids=["root", "nobody"])
def test_the_entry_is_the_users_and_goes_with_the_server(start, user, owner):
    scpi, log = start(user)
    assert wait_for(log, REGISTERED), read(log)
    port = vxi11_port(log)
    assert entries() == {(CORE, "tcp"): (port, owner), (ABORT, "tcp"): (port, owner)}
    scpi.send_signal(signal.SIGTERM)
    assert scpi.wait(timeout=10) == 0, read(log)
    assert entries() == {}


@pytest.mark.parametrize("first, then, takes_it", [
    ([], [], True),
    (NOBODY, NOBODY, True),
    (NOBODY, [], True),
    ([], NOBODY, False),  # rpcbind keeps root's entry from other users
], ids=["root-root", "nobody-nobody", "nobody-root", "root-nobody"])
def test_the_entry_of_a_killed_server(start, first, then, takes_it):
    killed, log = start(first)
    assert wait_for(log, REGISTERED), read(log)
    killed.kill()
    killed.wait(timeout=10)
    left = entries()
    scpi, log = start(then)
    if takes_it:
        assert wait_for(log, REGISTERED), read(log)
        assert {port for port, _ in entries().values()} == {vxi11_port(log)}
    else:
        assert wait_for(log, r"VXI-11: no portmapper: rpcbind keeps another user's entry for "
                             r"VXI-11, at port \d+ where nobody listens"), read(log)
        assert entries() == left
    scpi.send_signal(signal.SIGTERM)
    assert scpi.wait(timeout=10) == 0, read(log)
    if not takes_it:
        for program in (CORE, ABORT):  # as root
            assert rpcinfo("-d", str(program), "1")[0] == 0
    assert entries() == {}


@pytest.mark.parametrize("listen", [[], ["--listen", "127.0.0.2"]],
                         ids=["loopback", "another address"])
def test_the_entry_of_a_running_server_is_left_to_it(start, listen):
    first, log = start([], listen)
    assert wait_for(log, REGISTERED), read(log)
    held = entries()
    second, second_log = start([])
    assert wait_for(second_log, rf"VXI-11: no portmapper: the portmapper on 127\.0\.0\.1:111 "
                                rf"gives VXI-11 to port {vxi11_port(log)}, where another server "
                                rf"listens"), read(second_log)
    second.send_signal(signal.SIGTERM)
    assert second.wait(timeout=10) == 0, read(second_log)
    assert entries() == held  # the second took back nothing it did not make
