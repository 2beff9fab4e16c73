"""The wave shapes and the sample scale, as the command-line tool computes them.

The library sends samples to the waveform memory unchanged and does not know
the instrument's DAC range, so a scale is fixed here as in `velmar-dds freq`:
samples are offset binary on a DAC of `bits` bits (default 16), 0 the most
negative output, 2**bits - 1 the most positive, mid-scale zero. A wave value
runs from -1 to 1 in units of full scale; amplitude scales it and offset
shifts it (both in units of full scale) and what falls outside the DAC's range
is clipped; a point where the wave has no value (NaN) plays mid-scale. The
C++ definition is src/wave/wave.cpp; tests/data/wave_samples.txt holds both to
the same samples.

numpy is used when it is installed; without it the same samples come from
plain Python.
"""

from __future__ import annotations

import array
import math
import numbers
import operator
import os
from typing import Any, Callable, List, Optional, Sequence, Union

SHAPES = ("sine", "square", "triangle", "sawtooth")

Wave = Union[str, Callable[[float], float], Sequence[float]]
"""A shape name, a function of the phase in [0, 1) giving a value in [-1, 1],
or one period of values in [-1, 1] (at least two), stretched over each
period with linear interpolation."""

_TWO_PI = 2.0 * math.pi
_numpy_module: Any = None
_numpy_tried = False


def numpy_or_none() -> Any:
    """The numpy module, or None when it is not installed."""
    global _numpy_module, _numpy_tried
    if not _numpy_tried:
        try:
            import numpy as module
        except ImportError:
            module = None  # type: ignore[assignment]
        _numpy_module, _numpy_tried = module, True
    return _numpy_module


def _finite(name: str, value: float) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {value!r}")
    if not math.isfinite(value):
        raise ValueError(f"{name} must be a finite number, not {value}")
    return float(value)


def whole_number(name: str, value: Any) -> int:
    """`value` as an int, numpy's integers included; TypeError for anything
    else (a bool or a float too)."""
    if isinstance(value, bool) or not hasattr(value, "__index__"):
        raise TypeError(f"{name} must be a whole number, not {value!r}")
    return operator.index(value)


def _table(values: Sequence[float]) -> List[float]:
    # Values that are not finite are taken, as the C++ code takes them: the
    # points they reach play clipped or mid-scale (see _python_samples).
    table = [float(v) for v in values]
    if len(table) < 2:
        raise ValueError(f"a wave table needs at least two values, found {len(table)}")
    return table


def _kind(wave: Wave) -> str:
    """The shape's name, "function" or "table"; refuses what is not a wave."""
    if isinstance(wave, str):
        if wave not in SHAPES:
            raise ValueError(
                f"unknown wave {wave!r}: give one of {', '.join(SHAPES)}, "
                "a function of the phase, or one period of values"
            )
        return wave
    if callable(wave):
        return "function"
    if isinstance(wave, (bytes, bytearray)) or not hasattr(wave, "__len__"):
        raise TypeError(f"a wave is a shape name, a function or a sequence of values, not {wave!r}")
    return "table"


def _python_values(kind: str, wave: Any, phases: List[float]) -> List[float]:
    if kind == "sine":
        return [math.sin(_TWO_PI * p) for p in phases]
    if kind == "square":
        return [1.0 if p < 0.5 else -1.0 for p in phases]
    if kind == "triangle":
        # Starts at -1, peaks at +1 half way: rising and falling edges alike.
        return [4.0 * p - 1.0 if p < 0.5 else 3.0 - 4.0 * p for p in phases]
    if kind == "sawtooth":
        return [2.0 * p - 1.0 for p in phases]
    if kind == "function":
        return [float(wave(p)) for p in phases]
    n = len(wave)
    values = []
    for p in phases:
        position = p * n
        i = int(position) % n
        step = wave[(i + 1) % n] - wave[i]
        values.append(wave[i] + step * (position - math.floor(position)))
    return values


def _python_samples(
    kind: str, wave: Any, length: int, periods: int, amplitude: float, offset: float, top: float
) -> "array.array[int]":
    # The phase is taken from the sample index exactly, so that the last
    # sample leads back into the first when the memory loops.
    cycles = [i * periods / length for i in range(length)]
    phases = [c - math.floor(c) for c in cycles]
    values = _python_values(kind, wave, phases)
    out = array.array("H", bytes(2 * length))
    middle = _middle(top)
    for i, v in enumerate(values):
        code = (amplitude * v + offset + 1.0) * top / 2.0
        if math.isnan(code):
            out[i] = middle
            continue
        # Infinities are clipped like any value beyond the DAC's range.
        code = min(max(code, 0.0), top)
        whole = math.floor(code)
        # Halves round away from zero, as C's round() does (not to even).
        out[i] = whole + (code - whole >= 0.5)
    return out


def _middle(top: float) -> int:
    # A point without a level (a function's NaN, inf - inf between huge
    # table values, 0 * inf) plays mid-scale, whatever the offset: top / 2
    # rounded as C's round() rounds it.
    return math.floor(top / 2.0 + 0.5)


def _numpy_values(np: Any, kind: str, wave: Any, phase: Any) -> Any:
    if kind == "sine":
        # The C library's sin, the one the C++ tool calls: numpy's own may
        # differ in the last bit on some processors, and so move a sample.
        return np.fromiter(map(math.sin, (_TWO_PI * phase).tolist()), np.float64, len(phase))
    if kind == "square":
        return np.where(phase < 0.5, 1.0, -1.0)
    if kind == "triangle":
        return np.where(phase < 0.5, 4.0 * phase - 1.0, 3.0 - 4.0 * phase)
    if kind == "sawtooth":
        return 2.0 * phase - 1.0
    if kind == "function":
        return np.fromiter(map(wave, phase.tolist()), np.float64, len(phase))
    table = np.asarray(wave, dtype=np.float64)
    position = phase * len(table)
    i = position.astype(np.int64) % len(table)
    step = table[(i + 1) % len(table)] - table[i]
    return table[i] + step * (position - np.floor(position))


def _numpy_samples(
    np: Any,
    kind: str,
    wave: Any,
    length: int,
    periods: int,
    amplitude: float,
    offset: float,
    top: float,
) -> Any:
    cycles = np.arange(length, dtype=np.float64) * periods / length
    phase = cycles - np.floor(cycles)
    # Huge or infinite values overflow and meet inf - inf here as in the
    # plain Python code: not an error, see _python_samples.
    with np.errstate(over="ignore", invalid="ignore"):
        values = _numpy_values(np, kind, wave, phase)
        code = (amplitude * values + offset + 1.0) * top / 2.0
        level = ~np.isnan(code)
        code = np.clip(np.where(level, code, 0.0), 0.0, top)
    whole = np.floor(code)
    rounded = whole + (code - whole >= 0.5)
    return np.where(level, rounded, _middle(top)).astype(np.uint16)


def wave_samples(
    wave: Wave,
    length: int,
    periods: int = 1,
    amplitude: float = 1.0,
    offset: float = 0.0,
    bits: int = 16,
    use_numpy: Optional[bool] = None,
) -> Sequence[int]:
    """`length` samples holding `periods` whole periods of `wave`.

    Args:
        wave: "sine", "square", "triangle" or "sawtooth"; a function of the
            phase in [0, 1) giving a value from -1 to 1; or one period of
            values from -1 to 1 (two or more), read with linear interpolation.
            A value beyond the range is clipped, an infinite one too; NaN
            plays mid-scale.
        length: number of samples, 0 or more (the instrument holds up to 4096).
        periods: whole periods in those samples, 0 or more.
        amplitude: scale of the wave, in units of full scale (1 = full scale).
        offset: shift of the wave, in units of full scale (0 = mid-scale).
        bits: width of the DAC, 1 to 16: samples run from 0 to 2**bits - 1.
        use_numpy: None to use numpy when it is installed, False never, True
            always (ImportError without it).

    Returns:
        A numpy uint16 array when numpy is used, else an array.array("H").
        Values outside the DAC's range are clipped.
    """
    length = whole_number("length", length)
    periods = whole_number("periods", periods)
    bits = whole_number("bits", bits)
    if length < 0 or periods < 0:
        raise ValueError(f"length and periods must be 0 or more, not {length} and {periods}")
    if not 1 <= bits <= 16:
        raise ValueError(f"bits must be from 1 to 16, not {bits}")
    amplitude = _finite("amplitude", amplitude)
    offset = _finite("offset", offset)
    kind = _kind(wave)
    if kind == "table":
        wave = _table(wave)  # type: ignore[arg-type]
    top = float(2**bits - 1)
    np = numpy_or_none() if use_numpy is not False else None
    if use_numpy and np is None:
        raise ImportError("use_numpy=True, but numpy is not installed")
    if np is not None:
        samples: Sequence[int] = _numpy_samples(
            np, kind, wave, length, periods, amplitude, offset, top
        )
        return samples
    return _python_samples(kind, wave, length, periods, amplitude, offset, top)


def load_wave(path: Union[str, "os.PathLike[str]"]) -> List[float]:
    """Reads one period of a wave from a CSV file, as `velmar-dds freq
    --wave FILE.csv` does: numbers separated by commas, semicolons or white
    space, one or more per line; lines starting with '#' are comments; at
    least two values. Raises ValueError naming the file and line of a field
    that is not a finite number."""
    with open(path, encoding="utf-8") as file:
        text = file.read()
    values: List[float] = []
    for number, line in enumerate(text.splitlines(), start=1):
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        for field in line.replace(",", " ").replace(";", " ").split():
            try:
                value = float(field)
            except ValueError:
                value = math.nan
            if "_" in field or not math.isfinite(value):
                raise ValueError(f"{os.fspath(path)}: line {number}: {field!r} is not a number")
            values.append(value)
    try:
        return _table(values)
    except ValueError as error:
        raise ValueError(f"{os.fspath(path)}: {error}") from None
