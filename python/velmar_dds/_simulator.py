"""Simulated instruments for testing code that drives the generator."""

from __future__ import annotations

import os
import select
import shutil
import subprocess
import sys
import tempfile
import time
import weakref
from typing import Any, Dict, List, Optional, Union

from ._errors import Error
from ._library import checkout_root

SIM_VARIABLE = "VELMAR_DDS_SIM"
_DEVICE_DIR_VARIABLE = "VELMAR_DDS_DEVICE_DIR"
_STARTUP_SECONDS = 10.0

# keyword -> the simulator's option; None marks a switch (True or False).
_OPTIONS = {
    "trace": ("--trace", None),
    "digital_in": ("--digital-in", int),
    "input_hz": ("--input-hz", float),
    "silent": ("--silent", None),
    "delay_ms": ("--delay-ms", int),
    "ack_limit": ("--ack-limit", int),
    "short_report": ("--short-report", None),
    "drop_after": ("--drop-after", int),
    "refuse": ("--refuse", None),
}


def find_simulator() -> str:
    """The velmar-dds-sim program: $VELMAR_DDS_SIM, else the one on PATH,
    else the one in the build tree of the checkout this package lies in."""
    tried = []
    explicit = os.environ.get(SIM_VARIABLE)
    if explicit:
        if os.access(explicit, os.X_OK):
            return os.path.abspath(explicit)
        raise Error(f"{SIM_VARIABLE}={explicit} is not an executable program")
    tried.append(f"{SIM_VARIABLE} (not set)")
    on_path = shutil.which("velmar-dds-sim")
    if on_path:
        return on_path
    tried.append("PATH")
    root = checkout_root()
    if root is not None:
        built = root / "build" / "sim" / "velmar-dds-sim"
        if os.access(built, os.X_OK):
            return str(built)
        tried.append(str(built))
    raise Error(
        "velmar-dds-sim was not found; tried " + ", ".join(tried) + ". Build it (make) or set "
        f"{SIM_VARIABLE} to its path."
    )


def _arguments(count: int, options: Dict[str, Any]) -> List[str]:
    if isinstance(count, bool) or not isinstance(count, int) or count < 1:
        raise ValueError(f"count must be a whole number of instruments, 1 or more, not {count!r}")
    arguments = ["--count", str(count)]
    for name, value in options.items():
        if name not in _OPTIONS:
            raise TypeError(f"Simulator has no option {name!r}; it has {', '.join(_OPTIONS)}")
        flag, kind = _OPTIONS[name]
        if kind is None:
            if not isinstance(value, bool):
                raise TypeError(f"{name} is True or False, not {value!r}")
            if value:
                arguments.append(flag)
        elif value is not None:
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise TypeError(f"{name} must be a number, not {value!r}")
            arguments += [flag, repr(kind(value))]
    return arguments


def _stop(process: "subprocess.Popen[bytes]", directory: str) -> None:
    if process.poll() is None:
        process.terminate()  # the simulator removes its sockets on SIGTERM
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    if process.stderr is not None:
        process.stderr.close()
    shutil.rmtree(directory, ignore_errors=True)


class Simulator:
    """Simulated instruments, for tests of your own code, as a context manager:

        with velmar_dds.Simulator(digital_in=0x00FF) as sim:
            gen = velmar_dds.find()[0]
            gen.play(1000)
            print(gen.measure_frequency())   # about 1000.16

    On entry it starts velmar-dds-sim serving `count` instruments (sockets
    dds0 .. dds<count-1>) in a new temporary directory and points this
    process's library there ($VELMAR_DDS_DEVICE_DIR, read by the next
    find()). On exit it stops the simulator, removes the directory and puts
    the variable back as it was. Linux only.

    Options (keywords), all off by default:
        digital_in: the word on the digital input port, 0 to 0xFFFF.
        input_hz: feed the frequency meter an external signal of this many Hz
            instead of the generator's own output.
        silent: never answer (every call then raises NoAnswer after 1 s).
        delay_ms: answer every message this many ms late (over 1000 counts
            as no answer).
        ack_limit: acknowledge only the first N sample blocks of a download.
        short_report: answer control messages with 6 bytes instead of 10.
        drop_after: hang up each connection after answering N messages.
        refuse: accept no connection (every call raises NoInstrument).
        trace: print each message the instruments receive to this process's
            standard output.
    """

    def __init__(self, count: int = 1, **options: Union[bool, int, float]) -> None:
        self._arguments = _arguments(count, options)
        self.count = count
        self._process: Optional["subprocess.Popen[bytes]"] = None
        self._directory: Optional[str] = None
        self._saved_dir: Optional[str] = None
        self._finalizer: Optional[weakref.finalize] = None

    @property
    def directory(self) -> Optional[str]:
        """The device directory served while running, else None."""
        return self._directory

    def start(self) -> "Simulator":
        """Starts the simulator (what entering the context does)."""
        if self._process is not None:
            raise Error("this Simulator is already running")
        if sys.platform == "win32":
            raise Error("the simulated instrument serves Unix sockets: it runs on Linux only")
        program = find_simulator()
        directory = tempfile.mkdtemp(prefix="velmar-dds-sim-")
        process = subprocess.Popen(
            [program, "--dir", directory, *self._arguments],
            stdin=subprocess.DEVNULL,
            stdout=None if "--trace" in self._arguments else subprocess.DEVNULL,
            stderr=subprocess.PIPE,
        )
        # Stopped at interpreter exit too, should the context never be left.
        finalizer = weakref.finalize(self, _stop, process, directory)
        try:
            self._await_serving(process)
        except BaseException:
            finalizer()
            raise
        self._process, self._directory, self._finalizer = process, directory, finalizer
        self._saved_dir = os.environ.get(_DEVICE_DIR_VARIABLE)
        os.environ[_DEVICE_DIR_VARIABLE] = directory
        return self

    @staticmethod
    def _await_serving(process: "subprocess.Popen[bytes]") -> None:
        # The simulator says "serving ..." on its standard error once every
        # socket listens.
        assert process.stderr is not None
        said = b""
        deadline = time.monotonic() + _STARTUP_SECONDS
        while b"serving" not in said:
            left = deadline - time.monotonic()
            if left <= 0:
                raise Error(f"velmar-dds-sim did not start within {_STARTUP_SECONDS:g} s")
            ready, _, _ = select.select([process.stderr], [], [], left)
            chunk = os.read(process.stderr.fileno(), 4096) if ready else b""
            if ready and not chunk:
                process.wait()
                message = said.decode(errors="replace").strip().splitlines()
                raise Error(
                    f"velmar-dds-sim could not start (exit status {process.returncode})"
                    + (f": {message[0]}" if message else "")
                )
            said += chunk

    def stop(self) -> None:
        """Stops the simulator and puts $VELMAR_DDS_DEVICE_DIR back (what
        leaving the context does). Does nothing when it is not running."""
        if self._process is None:
            return
        if self._saved_dir is None:
            os.environ.pop(_DEVICE_DIR_VARIABLE, None)
        else:
            os.environ[_DEVICE_DIR_VARIABLE] = self._saved_dir
        assert self._finalizer is not None
        self._finalizer()
        self._process = self._directory = self._finalizer = None

    def __enter__(self) -> "Simulator":
        return self.start()

    def __exit__(self, *exc_info: Any) -> None:
        self.stop()
