"""The instruments: finding them, and one Generator object per device index."""

from __future__ import annotations

import array
import ctypes
import math
import numbers
import os
import stat
import sys
from dataclasses import dataclass, field
from typing import Any, List, Optional, Sequence, Tuple, Union

from ._errors import NoAnswer, NoInstrument
from ._library import LOCK, library
from ._wave import Wave, numpy_or_none, wave_samples, whole_number

WAVE_MEMORY_SIZE = 4096
BASE_CLOCK_HZ = 200_000_000.0
_INT32_MAX = 2**31 - 1


def device_directory() -> Optional[str]:
    """Where the library looks for instruments on Linux (None on Windows):
    $VELMAR_DDS_DEVICE_DIR if set, else $XDG_RUNTIME_DIR/velmar-dds, else
    /tmp/velmar-dds-<uid>; a variable set but empty counts as unset, as in
    the library. Read afresh by every find()."""
    if sys.platform == "win32":
        return None
    if os.environ.get("VELMAR_DDS_DEVICE_DIR"):
        return os.environ["VELMAR_DDS_DEVICE_DIR"]
    if os.environ.get("XDG_RUNTIME_DIR"):
        return os.environ["XDG_RUNTIME_DIR"] + "/velmar-dds"
    return f"/tmp/velmar-dds-{os.getuid()}"


def _socket_paths(directory: str) -> List[str]:
    """The device paths as the library lists them: every socket in the
    directory, in ascending byte order of the names."""
    base = os.fsencode(directory)
    try:
        names = sorted(os.listdir(base))
    except OSError:
        return []
    paths = []
    for name in names:
        path = base + b"/" + name
        try:
            if stat.S_ISSOCK(os.stat(path).st_mode):
                paths.append(os.fsdecode(path))
        except OSError:
            pass
    return paths


class _LastSearch:
    """What the last find() of this process found, for the messages."""

    made = False
    count = 0
    directory: Optional[str] = None
    paths: List[str] = []


def find() -> List["Generator"]:
    """Searches for the attached instruments (DDSSearch) and returns one
    Generator per instrument found, in device-index order. An empty list
    when there are none or the search could not be made. Every Generator
    made before refers to this search's list from now on.

    On Linux the instruments are the sockets of device_directory(); the
    search also resets the library's control state (bits, digital output,
    divider) to zero.
    """
    dll = library()
    with LOCK:
        directory = device_directory()
        count = dll.DDSSearch()
        _LastSearch.made = True
        _LastSearch.count = count
        _LastSearch.directory = directory
        paths = _socket_paths(directory) if directory is not None else []
        # A directory that changed since the search names no paths at all.
        _LastSearch.paths = paths if len(paths) == count else []
    return [Generator(i) for i in range(count)]


def sample_clock() -> float:
    """The sample clock in Hz as the library reports it (DDSGetCLK):
    200 MHz / (divider + 1), for the divider last set. No instrument access.
    The clock the instrument plays at, which plans use, is Plan.sample_clock."""
    return float(library().DDSGetCLK())


def planned_divider() -> int:
    """The divider chosen by the last set_frequency() or play() (DDSGetDivNum),
    0 before any; set_divider() does not change it."""
    return int(library().DDSGetDivNum())


def _played_clock(divider: int) -> float:
    # The instrument plays at the full base clock for divider 0 and at half
    # of it divided by d otherwise; the frequency planning assumes this.
    return BASE_CLOCK_HZ if divider == 0 else BASE_CLOCK_HZ / 2.0 / divider


@dataclass(frozen=True)
class Plan:
    """How the instrument produces a requested frequency.

    Attributes:
        frequency: the frequency asked for, Hz.
        divider: the sample clock divider, 0 to 65535.
        length: samples the wave has, 1 to 4096.
        periods: whole signal periods those samples hold.
        sample_clock: the clock the samples play at, Hz (200 MHz for divider
            0, else 100 MHz / divider).
        produced_hz: the frequency played, sample_clock * periods / length.
    """

    frequency: float
    divider: int
    length: int
    periods: int
    sample_clock: float = field(init=False)
    produced_hz: float = field(init=False)

    def __post_init__(self) -> None:
        clock = _played_clock(self.divider)
        object.__setattr__(self, "sample_clock", clock)
        object.__setattr__(self, "produced_hz", clock * self.periods / self.length)

    @property
    def error_ppm(self) -> float:
        """(produced_hz - frequency) / frequency, in parts per million."""
        return (self.produced_hz - self.frequency) / self.frequency * 1e6


def _whole(name: str, value: Any, low: int, high: int) -> int:
    whole = whole_number(name, value)
    if not low <= whole <= high:
        bounds = f"{low} to {high}" + (" (0xFFFF)" if high == 0xFFFF else "")
        raise ValueError(f"{name} must be from {bounds}, not {whole}")
    return whole


def check_frequency(frequency: Any) -> float:
    """The frequency as a float; ValueError unless the library plans it."""
    if isinstance(frequency, bool) or not isinstance(frequency, numbers.Real):
        raise TypeError(f"frequency must be a number of hertz, not {frequency!r}")
    f = float(frequency)
    if not (math.isfinite(f) and f > 0.0):
        raise ValueError(f"frequency must be a positive finite number of hertz, not {frequency}")
    # The library's own refusal, made here so that nothing is sent: above
    # 100 kHz the plan counts whole periods of 200 MHz / f samples, and the
    # count must fit a signed 32-bit integer.
    if f > 100_000.0 and float(_INT32_MAX) * (BASE_CLOCK_HZ / f) <= 4096.0:
        raise ValueError(f"{f} Hz is beyond what the library plans (about 1.05e14 Hz at most)")
    return f


def _refuse_too_many(count: int) -> None:
    if count > WAVE_MEMORY_SIZE:
        raise ValueError(f"{count} samples: the instrument holds {WAVE_MEMORY_SIZE} at most")


def _sample_buffer(samples: Any) -> Tuple[int, int, Any]:
    """(address, count, owner) of the samples as 16-bit words; the owner keeps
    the memory alive during the call. Raises before anything is sent."""
    if isinstance(samples, (str, bytes, bytearray, memoryview)):
        raise TypeError(
            "samples are a sequence of whole numbers from 0 to 65535, not bytes or text"
        )
    np = numpy_or_none()
    if np is not None and isinstance(samples, np.ndarray):
        if samples.ndim != 1:
            raise ValueError(f"samples must be one-dimensional, not of shape {samples.shape}")
        _refuse_too_many(len(samples))
        if samples.dtype.kind not in "ui":
            raise TypeError(f"samples must be whole numbers, not of dtype {samples.dtype}")
        if samples.dtype != np.dtype(np.uint16) and len(samples):
            low, high = int(samples.min()), int(samples.max())
            if low < 0 or high > 0xFFFF:
                bad = int(np.flatnonzero((samples < 0) | (samples > 0xFFFF))[0])
                raise ValueError(f"sample {bad} is {samples[bad]}: samples are 0 to 65535")
        words = np.ascontiguousarray(samples, dtype=np.uint16)
        return words.ctypes.data, len(words), words
    if isinstance(samples, array.array) and samples.typecode == "H" and samples.itemsize == 2:
        words_array = samples
    else:
        if not hasattr(samples, "__len__"):
            samples = list(samples)
        _refuse_too_many(len(samples))
        try:
            words_array = array.array("H", samples)
        except OverflowError:
            bad = next(i for i, s in enumerate(samples) if not 0 <= s <= 0xFFFF)
            raise ValueError(f"sample {bad} is {samples[bad]}: samples are 0 to 65535") from None
        except TypeError:
            raise TypeError("samples must be whole numbers from 0 to 65535") from None
    _refuse_too_many(len(words_array))
    return words_array.buffer_info()[0], len(words_array), words_array


class Generator:
    """The instrument at one device index of the last find().

    Every method makes one or more library calls and raises NoInstrument when
    the index is not in the last search's list or the instrument does not
    open, and NoAnswer when it did not answer in time (1000 ms per message).
    Arguments that are a caller's mistake raise ValueError (or TypeError)
    before anything is sent.

    The control state (bits, digital output, divider) is one per process, not
    one per instrument: each control message restates all of it.
    """

    def __init__(self, index: int) -> None:
        """index: the device index, 0 to the number found by the last find() - 1."""
        self._index = _whole("device index", index, 0, _INT32_MAX)

    @property
    def index(self) -> int:
        """The device index."""
        return self._index

    @property
    def path(self) -> Optional[str]:
        """The device path as the last find() saw it, or None (Windows, or
        not in that search's list)."""
        paths = _LastSearch.paths
        return paths[self._index] if self._index < len(paths) else None

    def __repr__(self) -> str:
        where = f" ({self.path})" if self.path else ""
        return f"<velmar_dds.Generator {self._index}{where}>"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Generator) and other._index == self._index

    def __hash__(self) -> int:
        return hash(self._index)

    # ---- Failures ----------------------------------------------------------------

    def _name(self) -> str:
        return f"instrument {self._index}" + (f" ({self.path})" if self.path else "")

    def _failure(self, function: str, asked: str) -> Exception:
        request = f"{function} ({asked})" if asked else function
        if library().DDSCheck(self._index) == 1:
            return NoAnswer(
                f"{self._name()} did not answer {request}", self._index, function, self.path
            )
        if not _LastSearch.made:
            reason = "cannot be reached: no search has been made yet (call velmar_dds.find() first)"
        elif self._index >= _LastSearch.count:
            where = f" in {_LastSearch.directory}" if _LastSearch.directory else ""
            found = _LastSearch.count
            reason = (
                f"is not in the last search's list ({found} instrument"
                f"{'' if found == 1 else 's'} found{where})"
            )
        else:
            reason = "could not be opened"
        return NoInstrument(
            f"{self._name()} {reason}; {request} was not sent", self._index, function, self.path
        )

    def _call(self, function: str, asked: str, *args: Any) -> None:
        if getattr(library(), function)(self._index, *args) != 1:
            raise self._failure(function, asked)

    # ---- Instrument operations -----------------------------------------------------

    def check(self) -> bool:
        """True if the instrument opens (DDSCheck). Sends nothing."""
        return bool(library().DDSCheck(self._index) == 1)

    def set_frequency(self, frequency: float) -> Plan:
        """Plans `frequency` Hz (positive, finite, up to about 1.05e14; below
        1 Hz plans as 1 Hz) and sends the divider (DDSSetFrequency). Load
        plan.length samples holding plan.periods periods next, or use play()."""
        f = check_frequency(frequency)
        length, periods = ctypes.c_int32(), ctypes.c_int32()
        with LOCK:
            self._call(
                "DDSSetFrequency", f"{f:g} Hz", f, ctypes.byref(length), ctypes.byref(periods)
            )
            return Plan(f, planned_divider(), length.value, periods.value)

    def download(self, samples: Union[Sequence[int], Any]) -> None:
        """Loads 0 to 4096 samples, each 0 to 65535, into the waveform memory
        (DDSDownload): a sequence of ints, an array.array("H") or a numpy
        integer array (a contiguous uint16 array is passed without a copy)."""
        # `_words` holds the memory at `address` until the call has returned.
        address, count, _words = _sample_buffer(samples)
        with LOCK:
            self._call("DDSDownload", f"{count} samples", address, count)

    def play(
        self,
        frequency: float,
        wave: Wave = "sine",
        amplitude: float = 1.0,
        offset: float = 0.0,
        bits: int = 16,
    ) -> Plan:
        """Plays `wave` at `frequency` Hz, as `velmar-dds freq` does: plans the
        frequency, computes plan.length samples holding plan.periods periods
        on the sample scale of wave_samples() and downloads them.

        Args:
            frequency: Hz, positive and finite.
            wave: a shape name, a function of the phase in [0, 1), or one
                period of values from -1 to 1 (see wave_samples()).
            amplitude, offset: in units of full scale (defaults 1 and 0).
            bits: DAC width, 1 to 16.
        """
        f = check_frequency(frequency)
        wave_samples(wave, 0, 1, amplitude, offset, bits)  # refuse a bad wave before sending
        with LOCK:
            plan = self.set_frequency(f)
            self.download(wave_samples(wave, plan.length, plan.periods, amplitude, offset, bits))
        return plan

    def _measure(self, mode: int, asked: str) -> float:
        reading = ctypes.c_double()
        with LOCK:
            self._call("DDSGetMeasure", asked, mode, ctypes.byref(reading))
        return reading.value

    def measure_frequency(self) -> float:
        """The input frequency of the frequency meter, Hz (DDSGetMeasure mode 0)."""
        return self._measure(0, "frequency, mode 0")

    def count(self) -> int:
        """The event counter as the library reads it: twice the instrument's
        count (DDSGetMeasure mode 1; also switches the meter to counting)."""
        return int(self._measure(1, "counter, mode 1"))

    def reset_counter(self) -> None:
        """Clears the event counter (DDSResetCounter)."""
        with LOCK:
            self._call("DDSResetCounter", "")

    def set_divider(self, divider: int) -> None:
        """Sets the sample clock divider directly, 0 to 65535 (DDSSetDivNum)."""
        d = _whole("divider", divider, 0, 0xFFFF)
        with LOCK:
            self._call("DDSSetDivNum", f"divider {d}", d)

    def set_single_wave(self, enable: bool) -> None:
        """Single-wave mode on or off (DDSSetSingleWave)."""
        with LOCK:
            self._call("DDSSetSingleWave", "on" if enable else "off", 1 if enable else 0)

    def set_trigger(self, enable: bool, option: bool = False) -> None:
        """Sends a 100 ms trigger pulse, then arms the trigger (enable, with
        `option` selecting the trigger option) or disarms it, keeping the
        option as it was (DDSSetTrigger). Takes at least 100 ms."""
        asked = ("on" + (" with the option" if option else "")) if enable else "off"
        with LOCK:
            self._call("DDSSetTrigger", asked, 1 if enable else 0, 1 if option else 0)

    def set_dio_mode(self, mode: int) -> None:
        """The digital I/O mode bit: set for a mode other than 0 (DDSSetDIOMode)."""
        m = _whole("digital I/O mode", mode, -(2**31), _INT32_MAX)
        with LOCK:
            self._call("DDSSetDIOMode", f"mode {m}", m)

    def read_digital(self) -> int:
        """The 16-bit word on the digital input port, 0 to 0xFFFF (DDSGetDigitalIn)."""
        word = ctypes.c_uint16()
        with LOCK:
            self._call("DDSGetDigitalIn", "", ctypes.byref(word))
        return word.value

    def write_digital(self, word: int) -> None:
        """Drives `word`, 0 to 0xFFFF, on the digital output port (DDSSetDigitalOut)."""
        w = _whole("digital word", word, 0, 0xFFFF)
        with LOCK:
            self._call("DDSSetDigitalOut", f"0x{w:04X}", w)

    def store_power_on(self, mode: int) -> None:
        """Stores what the instrument produces at power-on (DDSSetPowerOnOutput):
        mode 1 the current control state (bits, digital output, divider), any
        other mode the loaded waveform."""
        m = _whole("power-on mode", mode, -(2**31), _INT32_MAX)
        with LOCK:
            self._call("DDSSetPowerOnOutput", f"mode {m}", m)
