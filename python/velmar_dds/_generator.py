"""The instruments: finding them, and one Generator (a session) per open
instrument."""

from __future__ import annotations

import array
import ctypes
import enum
import math
import numbers
import os
import sys
import threading
import time
import warnings
import weakref
from dataclasses import dataclass
from typing import Any, List, Optional, Sequence, Tuple, Union

from ._errors import NoInstrument
from ._library import PlanStruct, StateStruct, library, raise_failure
from ._wave import Wave, numpy_or_none, wave_samples, whole_number

WAVE_MEMORY_SIZE = 4096
BASE_CLOCK_HZ = 200_000_000.0
_INT32_MAX = 2**31 - 1
_UINT32_MAX = 2**32 - 1


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


class Playback(enum.IntEnum):
    """What a planned frequency becomes on the instrument (enum
    velmar_dds_playback)."""

    AS_PLANNED = 0  # the samples hold the wave faithfully enough
    ALIAS = 1  # more than half a period per sample: a lower frequency plays
    CONSTANT = 2  # every sample falls on the same phase: no wave at all


class PlaybackWarning(UserWarning):
    """set_frequency() or play() planned a frequency that the instrument does
    not play: Plan.note says what plays instead."""


def _hz(value: float) -> str:
    for scale, unit in ((1e12, "THz"), (1e9, "GHz"), (1e6, "MHz"), (1e3, "kHz")):
        if abs(value) >= scale:
            return f"{value / scale:.6g} {unit}"
    return f"{value:.6g} Hz"


@dataclass(frozen=True)
class Plan:
    """How the instrument produces a requested frequency, as the library
    planned it.

    Attributes:
        frequency: the frequency asked for, Hz.
        planned_hz: what the samples were planned for, sample_clock *
            periods / length.
        produced_hz: what the instrument really plays: planned_hz folded
            below half the sample clock when the plan is an alias, 0 when it
            is a constant. This is what the frequency meter reads.
        sample_clock: the clock the samples play at, Hz (200 MHz for divider
            0, else 100 MHz / divider).
        divider: the sample clock divider, 0 to 65535.
        length: samples the wave has, 1 to 4096.
        periods: whole signal periods those samples hold.
        playback: Playback.AS_PLANNED, ALIAS or CONSTANT.
    """

    frequency: float
    planned_hz: float
    produced_hz: float
    sample_clock: float
    divider: int
    length: int
    periods: int
    playback: Playback

    @classmethod
    def _from_struct(cls, made: PlanStruct) -> "Plan":
        return cls(
            made.requested_hz,
            made.planned_hz,
            made.produced_hz,
            made.sample_clock_hz,
            made.divider,
            made.length,
            made.periods,
            Playback(made.playback),
        )

    @property
    def error_ppm(self) -> float:
        """(produced_hz - frequency) / frequency, in parts per million."""
        return (self.produced_hz - self.frequency) / self.frequency * 1e6

    @property
    def note(self) -> str:
        """"" when the instrument plays the plan, else what it plays instead."""
        if self.playback == Playback.ALIAS:
            return (
                f"{_hz(self.frequency)} plays as {_hz(self.produced_hz)}: an alias, not the "
                f"planned {_hz(self.planned_hz)} (more than half a period per sample at "
                f"{_hz(self.sample_clock)})"
            )
        if self.playback == Playback.CONSTANT:
            return (
                f"{_hz(self.frequency)} plays as a constant, not the planned "
                f"{_hz(self.planned_hz)}: every sample falls on the same phase"
            )
        return ""


@dataclass(frozen=True)
class State:
    """An instrument's control state as its session last sent it (which may
    be what another process sent: the state is kept on the host).

    Attributes:
        control_word: the control bits.
        digital_out: the digital output word.
        divider: the sample clock divider sent last (by set_frequency, play or
            set_divider).
        last_wave_length: padded length of the last complete download (4095
            before any).
        last_divider: divider of the last set_frequency or play; set_divider
            leaves it.
        reported_clock_hz: 200 MHz / (divider + 1), what DDSGetCLK reports.
        sample_clock_hz: the clock the instrument plays at for this divider.
    """

    control_word: int
    digital_out: int
    divider: int
    last_wave_length: int
    last_divider: int
    reported_clock_hz: float
    sample_clock_hz: float


MAX_SWEEP_POINTS = 1000
MAX_DWELL_S = 3600.0


@dataclass(frozen=True)
class SweepRow:
    """One frequency of Generator.sweep().

    Attributes:
        requested_hz: the frequency asked for.
        produced_hz: what the instrument plays (see Plan.produced_hz).
        measured_hz: what the frequency meter read, None unless measured.
        plan: the whole plan.
    """

    requested_hz: float
    produced_hz: float
    measured_hz: Optional[float]
    plan: "Plan"

    @property
    def deviation_ppm(self) -> Optional[float]:
        """(measured_hz - produced_hz) / produced_hz in ppm; None when not
        measured or nothing is produced."""
        if self.measured_hz is None or not self.produced_hz > 0.0:
            return None
        return (self.measured_hz - self.produced_hz) / self.produced_hz * 1e6


def sweep_frequencies(
    start: float,
    stop: float,
    steps: Optional[int] = None,
    step: Optional[float] = None,
    log: bool = False,
) -> List[float]:
    """The frequencies of a sweep from `start` to `stop` Hz, as `velmar-dds
    sweep` works them out: `steps` of them (both ends included, 2 to 1000,
    default 10), evenly spaced or, with log=True, evenly on a log scale; or
    start, start + step, ... up to stop. Raises ValueError for a range that
    asks for none, for more than 1000, or for a log scale in steps of hertz."""
    start, stop = check_frequency(start), check_frequency(stop)
    if steps is not None and step is not None:
        raise ValueError("give the number of points or the step, not both")
    if log and step is not None:
        raise ValueError("a log sweep is given in points, not in a step of hertz")
    if step is not None:
        if isinstance(step, bool) or not isinstance(step, numbers.Real):
            raise TypeError(f"step must be a number of hertz, not {step!r}")
        if not step > 0.0:
            raise ValueError("the step must be a positive number of hertz")
        span = abs(stop - start)
        # A step that divides the span reaches stop despite rounding: 0.3 / 0.1.
        count = math.floor(span / step + 1e-9) + 1
        if not count <= MAX_SWEEP_POINTS:
            raise ValueError(
                f"a step of {step:.6g} Hz from {start:.6g} to {stop:.6g} Hz gives more than "
                f"{MAX_SWEEP_POINTS} points"
            )
        direction = 1 if stop >= start else -1
        return [start + direction * i * step for i in range(count)]
    points = 10 if steps is None else whole_number("steps", steps)
    if not 2 <= points <= MAX_SWEEP_POINTS:
        raise ValueError(f"a sweep has from 2 to {MAX_SWEEP_POINTS} points, not {points}")
    frequencies = [
        start * math.pow(stop / start, i / (points - 1))
        if log
        else start + (stop - start) * i / (points - 1)
        for i in range(points - 1)
    ]
    # The last is stop itself, not stop give or take the rounding.
    return frequencies + [stop]


def _whole(name: str, value: Any, low: int, high: int) -> int:
    whole = whole_number(name, value)
    if not low <= whole <= high:
        bounds = f"{low} to {high}" + (" (0xFFFF)" if high == 0xFFFF else "")
        raise ValueError(f"{name} must be from {bounds}, not {whole}")
    return whole


def check_frequency(frequency: Any) -> float:
    """The frequency as a float; ValueError unless it is positive and finite.
    How high a frequency can be planned is the library's to say."""
    if isinstance(frequency, bool) or not isinstance(frequency, numbers.Real):
        raise TypeError(f"frequency must be a number of hertz, not {frequency!r}")
    f = float(frequency)
    if not (math.isfinite(f) and f > 0.0):
        raise ValueError(f"frequency must be a positive finite number of hertz, not {frequency}")
    return f


def plan(frequency: float) -> Plan:
    """Plans `frequency` Hz as set_frequency() would, without an instrument.
    InvalidArgument (a ValueError) above about 1e14 Hz, which cannot be
    planned."""
    f = check_frequency(frequency)
    dll = library()
    made = PlanStruct()
    result = dll.velmar_dds_plan_frequency(f, ctypes.byref(made))
    if result != 0:
        raise_failure(dll, result, "velmar_dds_plan_frequency", None)
    return Plan._from_struct(made)


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


def find_paths() -> List[str]:
    """The attached instruments' device paths, in the library's order,
    without opening any. SearchFailed when the host cannot list them (on
    Linux: the device directory cannot be read)."""
    dll = library()
    found = ctypes.c_void_p()
    count = dll.velmar_dds_find(ctypes.byref(found))
    if count < 0:
        raise_failure(dll, count, "velmar_dds_find", None)
    try:
        return [os.fsdecode(dll.velmar_dds_list_path(found, i)) for i in range(count)]
    finally:
        dll.velmar_dds_list_free(found)


def find() -> List["Generator"]:
    """Opens every attached instrument: one Generator each, in the order of
    find_paths(), each with its own control state and connection. Raises
    (and closes those it opened) when one of them does not open."""
    opened: List[Generator] = []
    try:
        for position, path in enumerate(find_paths()):
            opened.append(Generator(path, _position=position))
    except BaseException:
        for generator in opened:
            generator.close()
        raise
    return opened


class Generator:
    """A session on one instrument: its own connection, which stays open,
    and its own control state (bits, digital output word, divider), so that
    nothing done through one Generator is ever sent to another instrument.

        with velmar_dds.Generator("/run/user/1000/velmar-dds/dds0") as gen:
            gen.play(1000)

    Opened by device path, or by position in a fresh search (0 the first).
    Closed by close(), by leaving a with block, or when it is garbage
    collected. Every failure raises an InstrumentError chosen by the
    library's error code and worded by it (NoAnswer, BadAnswer,
    Disconnected, ...); a caller's mistake raises ValueError or TypeError
    before anything is sent.

    The control state is the instrument's, kept on the host: a Generator
    starts from what the last session on that instrument sent, from this
    process or another, and two Generators on one instrument share it.

    A Generator may be shared by threads: each operation holds the
    Generator's lock, so that one of several calls (play) is never split by
    another thread's. Generators on different instruments work at the same
    time.
    """

    def __init__(
        self, where: Union[str, bytes, "os.PathLike[str]", int], *, _position: Optional[int] = None
    ) -> None:
        """where: a device path, or a position in a fresh search (0 to the
        number found - 1).

        Attributes:
            index: the position in the search the Generator was opened from
                (by position or by find()), None when opened by path.
        """
        dll = library()
        handle = ctypes.c_void_p()
        if isinstance(where, (str, bytes, os.PathLike)):
            result = dll.velmar_dds_open(os.fsencode(where), ctypes.byref(handle))
            if result != 0:
                raise_failure(dll, result, "velmar_dds_open", os.fsdecode(where))
            self.index = _position
        else:
            position = _whole("position", where, 0, _INT32_MAX)
            result = dll.velmar_dds_open_position(position, ctypes.byref(handle))
            if result != 0:
                raise_failure(dll, result, "velmar_dds_open_position", None)
            self.index = position
        self._dll = dll
        self._handle: Optional[int] = handle.value
        self._path = os.fsdecode(dll.velmar_dds_path(handle))
        self._lock = threading.RLock()
        # Closes the handle when the Generator is collected or the
        # interpreter exits, whichever comes first; holds no reference to self.
        self._closer = weakref.finalize(self, dll.velmar_dds_close, handle.value)

    @property
    def path(self) -> str:
        """The device path the Generator was opened with."""
        return self._path

    @property
    def closed(self) -> bool:
        return self._handle is None

    def __repr__(self) -> str:
        return f"<velmar_dds.Generator {self._path}{' (closed)' if self.closed else ''}>"

    def close(self) -> None:
        """Closes the connection and frees the session. Does nothing when it
        is closed already."""
        with self._lock:
            self._handle = None
            self._closer()

    def __enter__(self) -> "Generator":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    # ---- Calls ------------------------------------------------------------------------

    def _open_handle(self) -> int:
        if self._handle is None:
            raise ValueError(f"{self!r}: the Generator is closed")
        return self._handle

    def _call(self, function: str, *args: Any) -> None:
        """Calls `function`(handle, *args) under the Generator's lock and
        raises for a failure, from its code and the library's words alone."""
        with self._lock:
            result = getattr(self._dll, function)(self._open_handle(), *args)
            if result != 0:
                raise_failure(self._dll, result, function, self._path)

    # ---- Settings of the session ---------------------------------------------------------

    @property
    def timeout_ms(self) -> int:
        """How long each message may wait for its answer, in ms (1000 unless
        set; the library takes 1 to 60000)."""
        with self._lock:
            return int(self._dll.velmar_dds_timeout(self._open_handle()))

    @timeout_ms.setter
    def timeout_ms(self, milliseconds: int) -> None:
        # Checked here only so far as the C argument holds it unchanged; the
        # range is the library's.
        self._call("velmar_dds_set_timeout", _whole("timeout_ms", milliseconds, 0, _UINT32_MAX))

    def state(self) -> State:
        """The instrument's control state as last sent, by this session or by
        any process on the host. Sends nothing."""
        made = StateStruct()
        self._call("velmar_dds_get_state", ctypes.byref(made))
        return State(*(getattr(made, name) for name, _ in StateStruct._fields_))

    def check(self) -> bool:
        """True when the connection is open, or opens again after it went
        away; False when the instrument is not there or does not open. Sends
        nothing."""
        try:
            self._call("velmar_dds_check")
        except NoInstrument:
            return False
        return True

    # ---- Instrument operations -----------------------------------------------------

    def _set_frequency(self, f: float) -> Plan:
        made = PlanStruct()
        self._call("velmar_dds_set_frequency", f, ctypes.byref(made))
        return Plan._from_struct(made)

    def set_frequency(self, frequency: float) -> Plan:
        """Plans `frequency` Hz (positive, up to about 1e14; below 1 Hz plans
        as 1 Hz) and sends the divider. Load plan.length samples holding
        plan.periods periods next, or use play(). Warns (PlaybackWarning)
        when the instrument plays another frequency than planned."""
        made = self._set_frequency(check_frequency(frequency))
        if made.playback != Playback.AS_PLANNED:
            warnings.warn(PlaybackWarning(made.note), stacklevel=2)
        return made

    def download(self, samples: Union[Sequence[int], Any]) -> None:
        """Loads 0 to 4096 samples, each 0 to 65535, into the waveform memory:
        a sequence of ints, an array.array("H") or a numpy integer array (a
        contiguous uint16 array is passed without a copy)."""
        # `_words` holds the memory at `address` until the call has returned.
        address, count, _words = _sample_buffer(samples)
        self._call("velmar_dds_download", address, count)

    def play(
        self,
        frequency: float,
        wave: Wave = "sine",
        amplitude: float = 1.0,
        offset: float = 0.0,
        bits: int = 16,
        clip: bool = False,
    ) -> Plan:
        """Plays `wave` at `frequency` Hz, as `velmar-dds freq` does: plans the
        frequency, computes plan.length samples holding plan.periods periods
        on the sample scale of wave_samples(), then sends the divider and the
        samples. The samples are computed before anything is sent, so a wave
        function that raises leaves the instrument as it was.

        Returns the plan: plan.produced_hz is the frequency the instrument
        plays. Warns (PlaybackWarning) when that is not the one planned.

        Args:
            frequency: Hz, positive and finite.
            wave: a shape name, a function of the phase in [0, 1), or one
                period of values from -1 to 1 (see wave_samples()).
            amplitude, offset: in units of full scale (defaults 1 and 0).
            bits: DAC width, 1 to 16.
            clip: False refuses a wave that leaves the DAC's range (ValueError,
                nothing sent), True clips it.
        """
        planned = plan(frequency)
        samples = wave_samples(
            wave, planned.length, planned.periods, amplitude, offset, bits, clip=clip
        )
        with self._lock:
            made = self._set_frequency(planned.frequency)
            self.download(samples)
        if made.playback != Playback.AS_PLANNED:
            warnings.warn(PlaybackWarning(made.note), stacklevel=2)
        return made

    def sweep(
        self,
        start: float,
        stop: float,
        steps: Optional[int] = None,
        step: Optional[float] = None,
        log: bool = False,
        dwell: float = 0.0,
        measure: bool = False,
        wave: Wave = "sine",
        amplitude: float = 1.0,
        offset: float = 0.0,
        bits: int = 16,
        clip: bool = False,
    ) -> List["SweepRow"]:
        """Plays the frequencies from `start` to `stop` one after the other,
        as `velmar-dds sweep` does, and returns a row for each: the frequency
        requested, the one produced and, with measure=True, the one the meter
        reads. Every point is planned and its wave computed before the first
        is sent, so a wave that would be clipped (see wave_samples()) sends
        nothing.

        Args:
            start, stop: Hz; stop below start sweeps down.
            steps: the number of frequencies, both ends included (2 to 1000,
                default 10), or
            step: START, START + step, ... up to STOP, in Hz.
            log: the frequencies evenly spaced on a log scale (with steps).
            dwell: seconds to wait after each frequency is loaded (0 to 3600).
            measure: read the frequency meter at each frequency.
            wave, amplitude, offset, bits, clip: as for play().
        """
        frequencies = sweep_frequencies(start, stop, steps=steps, step=step, log=log)
        if isinstance(dwell, bool) or not isinstance(dwell, numbers.Real):
            raise TypeError(f"dwell must be a number of seconds, not {dwell!r}")
        if not 0.0 <= dwell <= MAX_DWELL_S:
            raise ValueError(f"dwell must be from 0 to {MAX_DWELL_S:g} seconds, not {dwell}")
        prepared = []
        for frequency in frequencies:
            planned = plan(frequency)
            samples = wave_samples(
                wave, planned.length, planned.periods, amplitude, offset, bits, clip=clip
            )
            prepared.append((planned, samples))
        rows = []
        for planned, samples in prepared:
            with self._lock:
                made = self._set_frequency(planned.frequency)
                self.download(samples)
            if made.playback != Playback.AS_PLANNED:
                warnings.warn(PlaybackWarning(made.note), stacklevel=2)
            if dwell:
                time.sleep(dwell)
            measured = self.measure_frequency() if measure else None
            rows.append(SweepRow(made.frequency, made.produced_hz, measured, made))
        return rows

    def _measure(self, mode: int) -> float:
        reading = ctypes.c_double()
        self._call("velmar_dds_measure", mode, ctypes.byref(reading))
        return reading.value

    def measure_frequency(self) -> float:
        """The input frequency of the frequency meter, Hz (mode 0). NotAReading
        when the meter's report holds no frequency."""
        return self._measure(0)

    def count(self) -> int:
        """The event counter as the library reads it: twice the instrument's
        count (mode 1; also switches the meter to counting)."""
        return int(self._measure(1))

    def reset_counter(self) -> None:
        """Clears the event counter."""
        self._call("velmar_dds_reset_counter")

    def set_divider(self, divider: int) -> None:
        """Sets the sample clock divider directly, 0 to 65535."""
        self._call("velmar_dds_set_divider", _whole("divider", divider, 0, 0xFFFF))

    def set_single_wave(self, enable: bool) -> None:
        """Single-wave mode on or off."""
        self._call("velmar_dds_set_single_wave", 1 if enable else 0)

    def set_trigger(self, enable: bool, option: bool = False) -> None:
        """Sends a 100 ms trigger pulse, then arms the trigger (enable, with
        `option` selecting the trigger option) or disarms it, keeping the
        option as it was. Takes at least 100 ms."""
        self._call("velmar_dds_set_trigger", 1 if enable else 0, 1 if option else 0)

    def set_dio_mode(self, mode: int) -> None:
        """The digital I/O mode bit: set for a mode other than 0."""
        m = _whole("digital I/O mode", mode, -(2**31), _INT32_MAX)
        self._call("velmar_dds_set_dio_mode", 1 if m else 0)

    def read_digital(self) -> int:
        """The 16-bit word on the digital input port, 0 to 0xFFFF."""
        word = ctypes.c_uint16()
        self._call("velmar_dds_get_digital_in", ctypes.byref(word))
        return word.value

    def write_digital(self, word: int) -> None:
        """Drives `word`, 0 to 0xFFFF, on the digital output port."""
        self._call("velmar_dds_set_digital_out", _whole("digital word", word, 0, 0xFFFF))

    def store_power_on(self, mode: int) -> None:
        """Stores what the instrument produces at power-on: mode 1 the current
        control state (bits, digital output, divider), any other mode the
        loaded waveform."""
        m = _whole("power-on mode", mode, -(2**31), _INT32_MAX)
        self._call("velmar_dds_set_power_on_output", m)

