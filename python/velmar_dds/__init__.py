"""velmar_dds: drive a Velmar DDS signal generator from Python.

    import velmar_dds

    gen = velmar_dds.find()[0]            # the first instrument found
    plan = gen.play(1000.0, wave="sine")  # plan 1 kHz, compute and load the wave
    print(plan.produced_hz, gen.measure_frequency())

A thin layer over the VelmarDll library's fifteen functions (ctypes): every
call the library answers with 0 raises (NoInstrument or NoAnswer, both
velmar_dds.Error), and a caller's mistake raises ValueError before anything is
sent. numpy is used when installed, never required. velmar_dds.Simulator runs
simulated instruments for tests of your own code.
"""

from ._errors import Error, InstrumentError, LibraryNotFound, NoAnswer, NoInstrument
from ._generator import (
    BASE_CLOCK_HZ,
    WAVE_MEMORY_SIZE,
    Generator,
    Plan,
    device_directory,
    find,
    planned_divider,
    sample_clock,
)
from ._library import trace
from ._simulator import Simulator
from ._version import __version__
from ._wave import SHAPES, Wave, load_wave, wave_samples

__all__ = [
    "BASE_CLOCK_HZ",
    "Error",
    "Generator",
    "InstrumentError",
    "LibraryNotFound",
    "NoAnswer",
    "NoInstrument",
    "Plan",
    "SHAPES",
    "Simulator",
    "WAVE_MEMORY_SIZE",
    "Wave",
    "__version__",
    "device_directory",
    "find",
    "load_wave",
    "planned_divider",
    "sample_clock",
    "trace",
    "wave_samples",
]
