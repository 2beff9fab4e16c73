"""velmar-dds-scpi.exe under Wine, reached over loopback from this side.

    scpi_loopback.py WINE_LOADER SERVER_EXE

Wine has no instrument driver, so the search finds none; instrument 0 is
served anyway (--device 0): *IDN? answers, *TST? fails with -241 and the
log says why and where it looked, and Ctrl-C (SIGINT, which Wine turns into
the console's Ctrl-C) stops it."""

import re
import signal
import socket
import subprocess
import sys
import tempfile
import time

loader, program = sys.argv[1], sys.argv[2]
log = tempfile.TemporaryFile(mode="w+")
server = subprocess.Popen([loader, program, "--device", "0", "--port", "0"],
                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log)


def log_text():
    log.seek(0)
    return log.read()


def fail(message):
    server.kill()
    server.wait()
    sys.exit(f"FAIL {message}\n--- server log:\n{log_text()}")


port = None
deadline = time.monotonic() + 60  # Wine may set up its prefix first
while port is None and time.monotonic() < deadline:
    if server.poll() is not None:
        fail(f"the server exited with {server.returncode}")
    match = re.search(r"instrument 0 on 127\.0\.0\.1:(\d+)", log_text())
    port = int(match.group(1)) if match else None
    time.sleep(0.1)
if port is None:
    fail("the server did not listen within 60 s")

with socket.create_connection(("127.0.0.1", port), timeout=10) as client:
    client.sendall(b"*IDN?;*TST?\nSYST:ERR?\n")
    answer = b""
    while answer.count(b"\n") < 2:
        chunk = client.recv(4096)
        if not chunk:
            break
        answer += chunk
expected = b'VELMAR,DDS,0,<version>;1\n-241,"Hardware missing"\n'
if not answer.startswith(b"VELMAR,DDS,0,") or not answer.endswith(b';1\n-241,"Hardware missing"\n'):
    fail(f"answers {answer!r}, expected like {expected!r}")

server.send_signal(signal.SIGINT)
try:
    status = server.wait(timeout=30)
except subprocess.TimeoutExpired:
    fail("Ctrl-C did not stop the server within 30 s")
if status != 0 or "stopping" not in log_text():
    fail(f"Ctrl-C: exit status {status}")
# The failure is logged once, in words that name where the search looked.
if log_text().count("instrument 0: not found in the Windows device interface") != 1:
    fail("the log does not say once why *TST? failed")
if "0 instruments found in the Windows device interface" not in log_text():
    fail("the log does not say where the search looked")
print(f"ok   *IDN? and *TST? over loopback on port {port}; Ctrl-C stopped it")
