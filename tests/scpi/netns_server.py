"""The server as test_vxi11.py and test_mdns.py run it inside their network
namespace: two simulated instruments and velmar-dds-scpi on every address,
each instrument's socket on a port of its own. VELMAR_SIM and VELMAR_SCPI
name the two programs."""

import contextlib
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time


def read(path):
    with open(path) as f:
        return f.read()


def wait_for(path, pattern, count=1, seconds=10):
    """The matches of `pattern` in the file, once there are `count`."""
    deadline = time.monotonic() + seconds
    while True:
        found = re.findall(pattern, read(path))
        if len(found) >= count or time.monotonic() > deadline:
            return found
        time.sleep(0.02)


@contextlib.contextmanager
def running_server(args, ready, stop=signal.SIGINT):
    """Yields (the socket ports by instrument, the log's path) once the log
    shows `ready`; stops both programs (the server with `stop`), and checks
    the server's exit."""
    root = tempfile.mkdtemp(prefix="velmar-netns-test-")
    devices = os.path.join(root, "devices")
    sim = subprocess.Popen([os.environ["VELMAR_SIM"], "--dir", devices, "--count", "2"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    while not os.path.exists(os.path.join(devices, "dds1")):
        time.sleep(0.01)
    log_path = os.path.join(root, "server.log")
    with open(log_path, "w") as log:
        env = dict(os.environ, VELMAR_DDS_DEVICE_DIR=devices)
        scpi = subprocess.Popen([os.environ["VELMAR_SCPI"], "--port", "0", "--listen", "0.0.0.0"]
                                + args, env=env, stderr=log)
    try:
        ports = dict(wait_for(log_path, r"instrument (\d) on 0\.0\.0\.0:(\d+)", 2))
        assert len(ports) == 2, read(log_path)
        assert wait_for(log_path, ready), read(log_path)
        yield {int(i): int(p) for i, p in ports.items()}, log_path
    finally:
        scpi.send_signal(stop)
        status = scpi.wait(timeout=10)
        text = read(log_path)
        sim.terminate()  # also when the server's exit fails the test
        sim.wait(timeout=10)
        shutil.rmtree(root)
    assert status == 0, text
