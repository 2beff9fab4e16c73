"""The instruments the Python suites drive: the simulator with two
instruments and velmar-dds-scpi in front of it, started once for each test
file. VELMAR_SIM and VELMAR_SCPI name the two programs; a test file's
SERVER_OPTIONS, if it has one, are added to the server's command line."""

import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

import pytest


@pytest.fixture(scope="module")
def server(request):
    """The ports of instruments 0 and 1, read from the server's log."""
    root = tempfile.mkdtemp(prefix="velmar-visa-test-")
    devices = os.path.join(root, "devices")
    sim = subprocess.Popen([os.environ["VELMAR_SIM"], "--dir", devices, "--count", "2"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    log_path = os.path.join(root, "server.log")
    with open(log_path, "w") as log:
        deadline = time.monotonic() + 10
        while not os.path.exists(os.path.join(devices, "dds1")) and time.monotonic() < deadline:
            time.sleep(0.01)
        env = dict(os.environ, VELMAR_DDS_DEVICE_DIR=devices)
        options = getattr(request.module, "SERVER_OPTIONS", [])
        scpi = subprocess.Popen([os.environ["VELMAR_SCPI"], "--port", "0", *options], env=env,
                                stderr=log)
    ports = {}
    deadline = time.monotonic() + 5
    while len(ports) < 2 and time.monotonic() < deadline:
        time.sleep(0.02)
        with open(log_path) as log:
            for index, port in re.findall(r"instrument (\d) on 127\.0\.0\.1:(\d+)", log.read()):
                ports[int(index)] = int(port)
    try:
        assert len(ports) == 2, open(log_path).read()
        yield ports
    finally:
        scpi.send_signal(signal.SIGINT)
        status = scpi.wait(timeout=10)
        sim.terminate()
        sim.wait(timeout=10)
        with open(log_path) as log:
            log_text = log.read()
        shutil.rmtree(root)
    assert status == 0, log_text
