"""Simulated instruments for testing code that drives the generator."""

from __future__ import annotations

import numbers
import operator
import os
import select
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import weakref
from typing import Any, Dict, Iterable, List, Mapping, Optional

from ._errors import Error
from ._library import checkout_root

SIM_VARIABLE = "VELMAR_DDS_SIM"
_DEVICE_DIR_VARIABLE = "VELMAR_DDS_DEVICE_DIR"
_STARTUP_SECONDS = 10.0

# keyword -> (the simulator's option, its kind). A switch is True or False; a
# fault may also name the instruments it applies to (see Simulator).
_SWITCH, _WHOLE, _REAL = "switch", "whole", "real"
_OPTIONS = {
    "trace": ("--trace", _SWITCH),
    "digital_in": ("--digital-in", _WHOLE),
    "input_hz": ("--input-hz", _REAL),
    "silent": ("--silent", _SWITCH),
    "delay_ms": ("--delay-ms", _WHOLE),
    "ack_limit": ("--ack-limit", _WHOLE),
    "short_report": ("--short-report", _SWITCH),
    "drop_after": ("--drop-after", _WHOLE),
    "refuse": ("--refuse", _SWITCH),
}
# The options that the simulator applies to chosen instruments.
_FAULTS = {"silent", "delay_ms", "ack_limit", "short_report", "drop_after", "refuse"}


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


def _number(name: str, kind: str, value: Any) -> str:
    """The option's value as the simulator reads it. The simulator takes
    whole numbers only where it says so; a fraction there is refused rather
    than cut off."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {value!r}")
    if kind == _REAL:
        return repr(float(value))
    if hasattr(value, "__index__"):
        return str(operator.index(value))
    if not float(value).is_integer():
        raise ValueError(f"{name} must be a whole number, not {value!r}")
    return str(int(value))


def _indices(name: str, value: Iterable[Any]) -> str:
    listed = []
    for index in value:
        if isinstance(index, bool) or not hasattr(index, "__index__"):
            raise TypeError(f"{name} names instruments by index (whole numbers), not {index!r}")
        listed.append(str(operator.index(index)))
    if not listed:
        raise ValueError(f"{name} names no instrument: give True, or one index or more")
    return ",".join(listed)


def _option(name: str, value: Any) -> List[str]:
    """The simulator's arguments for one keyword."""
    flag, kind = _OPTIONS[name]
    if value is None:
        return []
    if kind == _SWITCH:
        if isinstance(value, bool):
            return [flag] if value else []
        if name in _FAULTS and isinstance(value, Iterable):
            if not isinstance(value, (str, bytes, Mapping)):
                return [f"{flag}={_indices(name, value)}"]
        which = "True or False" + (", or the indices of instruments" if name in _FAULTS else "")
        raise TypeError(f"{name} is {which}, not {value!r}")
    if isinstance(value, Mapping):
        if name not in _FAULTS:
            raise TypeError(f"{name} is one number for every instrument, not {value!r}")
        # One option per instrument: the simulator takes one value a list.
        return [
            f"{flag}={_number(name, kind, amount)}:{_indices(name, [index])}"
            for index, amount in value.items()
        ]
    return [flag, _number(name, kind, value)]


def _arguments(count: int, options: Dict[str, Any]) -> List[str]:
    if isinstance(count, bool) or not isinstance(count, int) or count < 1:
        raise ValueError(f"count must be a whole number of instruments, 1 or more, not {count!r}")
    arguments = ["--count", str(count)]
    for name, value in options.items():
        if name not in _OPTIONS:
            raise TypeError(f"Simulator has no option {name!r}; it has {', '.join(_OPTIONS)}")
        arguments += _option(name, value)
    return arguments


# The running simulators in the order they started, each with the value of
# $VELMAR_DDS_DEVICE_DIR it found. Whichever stops, the variable ends up as if
# it had never started: the latest running one's directory, or the value from
# before the first.
_running: List[List[Any]] = []
_running_lock = threading.Lock()


def _point_here(simulator: "Simulator", directory: str) -> None:
    with _running_lock:
        _running.append([simulator, os.environ.get(_DEVICE_DIR_VARIABLE)])
        os.environ[_DEVICE_DIR_VARIABLE] = directory


def _point_back(simulator: "Simulator") -> None:
    with _running_lock:
        place = next(i for i, entry in enumerate(_running) if entry[0] is simulator)
        _, found = _running.pop(place)
        if place < len(_running):
            # The one started next found this one's directory: it now restores
            # what this one found.
            _running[place][1] = found
            return
        if found is None:
            os.environ.pop(_DEVICE_DIR_VARIABLE, None)
        else:
            os.environ[_DEVICE_DIR_VARIABLE] = found


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
            instead of the generator's own output (0: no signal).
        silent: never answer (every call then raises NoAnswer after the
            time limit).
        delay_ms: answer every message this many ms late (a whole number;
            over the time limit of 1000 ms counts as no answer).
        ack_limit: acknowledge only the first N sample blocks of a download.
        short_report: answer control messages with 6 bytes instead of 10
            (BadAnswer).
        drop_after: hang up each connection after answering N messages
            (Disconnected).
        refuse: accept no connection (opening raises OpenFailed).
        trace: print each message the instruments receive to this process's
            standard output.

    The faults (silent, delay_ms, ack_limit, short_report, drop_after,
    refuse) apply to every instrument, or to chosen ones: a switch takes the
    indices of its instruments (silent=[1] silences dds1 only), a number
    takes a mapping of index to number (delay_ms={0: 1500, 2: 1500}).

    Simulators may be nested and stopped in any order: each puts back
    $VELMAR_DDS_DEVICE_DIR as if it had never run.
    """

    def __init__(self, count: int = 1, **options: Any) -> None:
        self._arguments = _arguments(count, options)
        self.count = count
        self._process: Optional["subprocess.Popen[bytes]"] = None
        self._directory: Optional[str] = None
        self._finalizer: Optional[weakref.finalize] = None

    @property
    def directory(self) -> Optional[str]:
        """The device directory served while running, else None."""
        return self._directory

    @property
    def paths(self) -> List[str]:
        """The instruments' device paths while running (dds0 first), else []."""
        if self._directory is None:
            return []
        return [f"{self._directory}/dds{i}" for i in range(self.count)]

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
        _point_here(self, directory)
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
        _point_back(self)
        assert self._finalizer is not None
        self._finalizer()
        self._process = self._directory = self._finalizer = None

    def __enter__(self) -> "Simulator":
        return self.start()

    def __exit__(self, *exc_info: Any) -> None:
        self.stop()
