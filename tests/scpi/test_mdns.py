"""velmar-dds-scpi advertised over mDNS/DNS-SD, found as a lab finds it:
avahi-browse and lxi discover -m, inside the network namespace of
in_netns.sh --avahi, with avahi-daemon and a D-Bus bus of its own
(VELMAR_AVAHI=1). VELMAR_SIM and VELMAR_SCPI name the two programs."""

import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

import pytest

from netns_server import read, running_server, wait_for

if os.environ.get("VELMAR_AVAHI") != "1":
    pytest.skip("NOT RUN: needs avahi-daemon in the namespace of in_netns.sh --avahi",
                allow_module_level=True)


@pytest.fixture(scope="module")
def server():
    # --http any: what is advertised is the port the front panel took.
    with running_server(["--http", "any"], r"advertised over mDNS") as running:
        http = wait_for(running[1], r"front panel on http://0\.0\.0\.0:(\d+)/")
        assert http, read(running[1])
        yield running + (int(http[0]),)


def browse(service_type):
    result = subprocess.run(["avahi-browse", "-rtp", service_type], capture_output=True,
                            text=True, timeout=20)
    assert result.returncode == 0, result.stderr
    # =;iface;IPv4;name;type;domain;host;address;port;txt
    return [line.split(";") for line in result.stdout.splitlines() if line.startswith("=")]


def test_each_instrument_is_scpi_raw_on_its_port(server):
    ports = server[0]
    found = {}
    for fields in browse("_scpi-raw._tcp"):
        name = fields[3].replace("\\032", " ")
        found[name] = (int(fields[8]), fields[9])
    for index, port in ports.items():
        names = [n for n, (p, _) in found.items() if p == port]
        assert names, found
        assert re.fullmatch(rf"VELMAR DDS dds{index} on \S+", names[0])
        txt = found[names[0]][1]
        for record in ('"txtvers=1"', '"Manufacturer=VELMAR"', '"Model=DDS"',
                       f'"SerialNumber=dds{index}"', '"FirmwareVersion='):
            assert record in txt, txt


@pytest.mark.parametrize("service_type", ["_vxi-11._tcp", "_lxi._tcp", "_http._tcp"])
def test_the_server_is_advertised(server, service_type):
    entries = browse(service_type)
    assert entries, service_type
    assert all(fields[3].replace("\\032", " ").startswith("velmar-dds-scpi on ")
               for fields in entries), entries
    if service_type != "_vxi-11._tcp":
        assert {int(fields[8]) for fields in entries} == {server[2]}


def test_lxi_discover_mdns_lists_each_instrument(server):
    lxi = shutil.which("lxi")
    if lxi is None:
        pytest.skip("lxi-tools is not installed")
    ports = server[0]
    result = subprocess.run([lxi, "discover", "-m", "-t", "3"], capture_output=True, text=True,
                            timeout=30)
    assert result.returncode == 0, result.stderr
    # Found "VELMAR DDS dds1 on vm" on address 192.0.2.1
    #   scpi-raw service on port 39777
    for index, port in ports.items():
        assert re.search(rf'Found "VELMAR DDS dds{index} on [^"]+" on address [\d.]+\n'
                         rf'\s+scpi-raw service on port {port}\n', result.stdout), result.stdout


def test_no_advertise_and_loopback_advertise_nothing(server):
    root = tempfile.mkdtemp(prefix="velmar-mdns-off-")
    try:
        for args, said in ((["--no-advertise", "--listen", "0.0.0.0"], None),
                           ([], "not advertised over mDNS: listening on loopback only")):
            log_path = os.path.join(root, "log")
            with open(log_path, "w") as log:
                scpi = subprocess.Popen([os.environ["VELMAR_SCPI"], "--port", "0", "--http", "0",
                                         "--instruments", "1", "--no-vxi11"] + args,
                                        stderr=log, env=dict(os.environ,
                                                             VELMAR_DDS_DEVICE_DIR=root))
            assert wait_for(log_path, r"instrument 0 on"), read(log_path)
            time.sleep(0.5)
            scpi.send_signal(signal.SIGINT)
            assert scpi.wait(timeout=10) == 0
            text = read(log_path)
            assert "advertised over mDNS:" not in text.replace("not advertised", "")
            if said:
                assert said in text
    finally:
        shutil.rmtree(root)


def test_advertised_again_after_avahi_daemon_restarts(server):
    """Last in the module: it restarts the namespace's avahi-daemon."""
    log = server[1]
    assert subprocess.run(["avahi-daemon", "-k"], timeout=10).returncode == 0
    assert wait_for(log, r"avahi-daemon went away"), read(log)
    subprocess.run(["avahi-daemon", "-f", os.environ["VELMAR_AVAHI_CONFIG"], "--no-drop-root",
                    "--no-chroot", "--no-rlimits", "-D"], check=True, timeout=10)
    assert len(wait_for(log, r"advertised over mDNS: ", count=2, seconds=20)) == 2, read(log)
    assert {int(fields[8]) for fields in browse("_scpi-raw._tcp")} == set(server[0].values())
