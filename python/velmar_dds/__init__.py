"""velmar_dds: drive a Velmar DDS signal generator from Python.

    import velmar_dds

    with velmar_dds.Generator(0) as gen:      # the first instrument found
        plan = gen.play(1000.0, wave="sine")  # plan 1 kHz, compute and load the wave
        print(plan.produced_hz, gen.measure_frequency())

A thin layer (ctypes) over the session library, velmardds: each Generator is
one session with its own connection and control state. Every failure raises
an exception chosen by the library's error code and worded by the library
(NoAnswer, BadAnswer, Disconnected, ..., all velmar_dds.Error), and a caller's
mistake raises ValueError before anything is sent. numpy is used when
installed, never required. velmar_dds.Simulator runs simulated instruments for
tests of your own code.
"""

from ._errors import (
    BadAnswer,
    Disconnected,
    Error,
    ErrorCode,
    InstrumentError,
    InvalidArgument,
    LibraryNotFound,
    NoAnswer,
    NoInstrument,
    NotAReading,
    OpenFailed,
    OutOfMemory,
    SearchFailed,
    WriteRefused,
)
from ._generator import (
    BASE_CLOCK_HZ,
    WAVE_MEMORY_SIZE,
    Generator,
    Plan,
    Playback,
    PlaybackWarning,
    State,
    SweepRow,
    device_directory,
    find,
    find_paths,
    plan,
    sweep_frequencies,
)
from ._library import trace, version as library_version
from ._simulator import Simulator
from ._version import __version__
from ._wave import SHAPES, Wave, load_wave, read_wave_table, wave_samples

__all__ = [
    "BASE_CLOCK_HZ",
    "BadAnswer",
    "Disconnected",
    "Error",
    "ErrorCode",
    "Generator",
    "InstrumentError",
    "InvalidArgument",
    "LibraryNotFound",
    "NoAnswer",
    "NoInstrument",
    "NotAReading",
    "OpenFailed",
    "OutOfMemory",
    "Plan",
    "Playback",
    "PlaybackWarning",
    "SHAPES",
    "SearchFailed",
    "Simulator",
    "State",
    "SweepRow",
    "WAVE_MEMORY_SIZE",
    "Wave",
    "WriteRefused",
    "__version__",
    "device_directory",
    "find",
    "find_paths",
    "library_version",
    "load_wave",
    "plan",
    "read_wave_table",
    "sweep_frequencies",
    "trace",
    "wave_samples",
]
