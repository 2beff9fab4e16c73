"""The wave shapes and the sample scale, as the command-line tool computes them.

The library sends samples to the waveform memory unchanged and does not know
the instrument's DAC range, so a scale is fixed here as in `velmar-dds freq`:
samples are offset binary on a DAC of `bits` bits (default 16), 0 the most
negative output, 2**bits - 1 the most positive, mid-scale zero. A wave value
runs from -1 to 1 in units of full scale; amplitude scales it and offset
shifts it (both in units of full scale). A wave that falls outside the DAC's
range is refused unless clipping is asked for (clip=True), as the tool refuses
it unless --clip; a point where the wave has no value (NaN) plays mid-scale.
The C++ definition is src/wave/wave.cpp; tests/data/wave_samples.txt holds
both to the same samples and clipping, tests/data/csv to the same wave files.

numpy is used when it is installed; without it the same samples come from
plain Python.
"""

from __future__ import annotations

import array
import math
import numbers
import operator
import os
import re
from typing import Any, Callable, List, Optional, Sequence, Tuple, Union

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
) -> "Tuple[array.array[int], int]":
    # The phase is taken from the sample index exactly, so that the last
    # sample leads back into the first when the memory loops.
    cycles = [i * periods / length for i in range(length)]
    phases = [c - math.floor(c) for c in cycles]
    values = _python_values(kind, wave, phases)
    out = array.array("H", bytes(2 * length))
    middle = _middle(top)
    clipped = 0
    for i, v in enumerate(values):
        code = (amplitude * v + offset + 1.0) * top / 2.0
        if math.isnan(code):
            out[i] = middle
            continue
        # Infinities are clipped like any value beyond the DAC's range.
        clipped += code <= -0.5 or code >= top + 0.5
        code = min(max(code, 0.0), top)
        whole = math.floor(code)
        # Halves round away from zero, as C's round() does (not to even).
        out[i] = whole + (code - whole >= 0.5)
    return out, clipped


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
) -> Tuple[Any, int]:
    cycles = np.arange(length, dtype=np.float64) * periods / length
    phase = cycles - np.floor(cycles)
    # Huge or infinite values overflow and meet inf - inf here as in the
    # plain Python code: not an error, see _python_samples.
    with np.errstate(over="ignore", invalid="ignore"):
        values = _numpy_values(np, kind, wave, phase)
        code = (amplitude * values + offset + 1.0) * top / 2.0
        level = ~np.isnan(code)
        # A code that rounds outside the range, as _python_samples counts it.
        clipped = int(np.count_nonzero((code <= -0.5) | (code >= top + 0.5)))
        code = np.clip(np.where(level, code, 0.0), 0.0, top)
    whole = np.floor(code)
    rounded = whole + (code - whole >= 0.5)
    return np.where(level, rounded, _middle(top)).astype(np.uint16), clipped


def wave_samples(
    wave: Wave,
    length: int,
    periods: int = 1,
    amplitude: float = 1.0,
    offset: float = 0.0,
    bits: int = 16,
    use_numpy: Optional[bool] = None,
    clip: bool = False,
) -> Sequence[int]:
    """`length` samples holding `periods` whole periods of `wave`.

    Args:
        wave: "sine", "square", "triangle" or "sawtooth"; a function of the
            phase in [0, 1) giving a value from -1 to 1; or one period of
            values from -1 to 1 (two or more), read with linear interpolation.
            NaN plays mid-scale.
        length: number of samples, 0 or more (the instrument holds up to 4096).
        periods: whole periods in those samples, 0 or more.
        amplitude: scale of the wave, in units of full scale (1 = full scale).
        offset: shift of the wave, in units of full scale (0 = mid-scale).
        bits: width of the DAC, 1 to 16: samples run from 0 to 2**bits - 1.
        use_numpy: None to use numpy when it is installed, False never, True
            always (ImportError without it).
        clip: False refuses a wave that leaves the DAC's range (the wave times
            amplitude plus offset beyond -1 to 1, an infinite value) with a
            ValueError, as `velmar-dds freq` refuses it; True clips it, as
            `velmar-dds freq --clip` does.

    Returns:
        A numpy uint16 array when numpy is used, else an array.array("H").
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
        samples, clipped = _numpy_samples(np, kind, wave, length, periods, amplitude, offset, top)
    else:
        samples, clipped = _python_samples(kind, wave, length, periods, amplitude, offset, top)
    if clipped and not clip:
        hint = ""
        if kind == "table" and _looks_like_codes(wave):  # type: ignore[arg-type]
            hint = "; if the values are DAC codes, load_wave(path, raw=True) reads them as such"
        raise ValueError(
            f"{clipped} of {length} samples fall outside the DAC's range: the wave times "
            f"amplitude plus offset must stay within -1 to 1 (clip=True clips them{hint})"
        )
    return samples  # type: ignore[no-any-return]


def _looks_like_codes(values: List[float]) -> bool:
    # All whole, none negative, some above 1: a file of DAC codes read as a
    # wave on the full scale. Not finite values are neither.
    whole = all(math.isfinite(v) and v >= 0 and v == math.floor(v) for v in values)
    return whole and max(values) > 1


_FORMS = "one value a line, one row of values, or two columns (time, value)"
_DECIMAL = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
_BLANKS = re.compile(r"[ \t\r]+")
TIME_STEP_TOLERANCE = 0.01
"""How far (relative) a time column may stray from its mean step."""


def _decimal(field: str) -> Optional[float]:
    # As people write numbers: no "inf", "nan", "1_0" or hex, which float()
    # would take and no wave file means.
    if not _DECIMAL.fullmatch(field):
        return None
    value = float(field)
    return value if math.isfinite(value) else None


def _unquoted(field: str) -> str:
    field = field.strip(" \t\r")
    if len(field) >= 2 and field[0] == '"' and field[-1] == '"':
        return field[1:-1]
    return field


def _fields(line: str) -> List[str]:
    separator = "," if "," in line else ";" if ";" in line else None
    if separator is not None:
        return [_unquoted(f) for f in line.split(separator)]
    return [_unquoted(f) for f in _BLANKS.split(line) if f]


def _count(n: int, what: str) -> str:
    return f"{n} {what}{'' if n == 1 else 's'}"


def read_wave_table(text: str, raw: bool = False, bits: int = 16) -> List[float]:
    """One period of a wave from CSV text, read as `velmar-dds freq --wave`
    reads a file (see load_wave). Raises ValueError with the tool's words."""
    bits = whole_number("bits", bits)
    if not 1 <= bits <= 16:
        raise ValueError(f"bits must be from 1 to 16, not {bits}")
    rows = []
    if text.startswith("\ufeff"):
        text = text[1:]
    for number, line in enumerate(text.split("\n"), start=1):
        line = line.strip(" \t\r")
        if line and not line.startswith("#"):
            rows.append((number, _fields(line)))
    too_few = "a wave table needs at least two values, found {}"
    if not rows:
        raise ValueError(too_few.format(0))
    header = None
    if all(_decimal(f) is None for f in rows[0][1]):
        header = rows.pop(0)
        if not rows:
            raise ValueError(too_few.format(0))
    first_line, first_fields = rows[0]
    columns = len(first_fields)
    if header is not None and len(header[1]) != columns:
        raise ValueError(
            f"line {first_line}: {_count(columns, 'field')} where the header "
            f"(line {header[0]}) has {len(header[1])}"
        )
    if header is None and len(rows) == 1:
        form = "row"
    elif columns in (1, 2):
        form = "column" if columns == 1 else "time"
    else:
        raise ValueError(
            f"line {first_line}: {_count(columns, 'column')}: a wave file holds {_FORMS}"
        )
    top = float(2**bits - 1)
    values: List[float] = []
    times: List[float] = []
    lines: List[int] = []
    for number, fields in rows:
        if len(fields) != columns:
            raise ValueError(
                f"line {number}: {_count(len(fields), 'field')} where line {first_line} has "
                f"{columns}: a wave file holds {_FORMS}"
            )
        for i, field in enumerate(fields):
            value = _decimal(field)
            if value is None:
                what = f"field {i + 1} is empty" if not field else f"'{field}' is not a number"
                raise ValueError(f"line {number}: {what}")
            if form == "time" and i == 0:
                times.append(value)
                continue
            if raw:
                if value != math.floor(value) or not 0.0 <= value <= top:
                    raise ValueError(
                        f"line {number}: '{field}' is not a DAC code of {bits} bits "
                        f"(a whole number from 0 to {top:.6g})"
                    )
                value = 2.0 * value / top - 1.0
            values.append(value)
            lines.append(number)
    if len(times) >= 2:
        mean = (times[-1] - times[0]) / (len(times) - 1)
        for i in range(1, len(times)):
            step = times[i] - times[i - 1]
            if not step > 0.0:
                raise ValueError(
                    f"line {lines[i]}: the time does not increase ({times[i]:.6g} after "
                    f"{times[i - 1]:.6g}): the first column must increase in even steps"
                )
            if not abs(step - mean) <= TIME_STEP_TOLERANCE * mean:
                raise ValueError(
                    f"line {lines[i]}: the time steps by {step:.6g} where it steps by "
                    f"{mean:.6g} on average: the first column must increase in even steps "
                    "(within 1 %)"
                )
    if len(values) < 2:
        raise ValueError(too_few.format(len(values)))
    return values


def load_wave(
    path: Union[str, "os.PathLike[str]"], raw: bool = False, bits: int = 16
) -> List[float]:
    """Reads one period of a wave from a CSV file, as `velmar-dds freq
    --wave FILE.csv` does, in the forms people have:

    - one value a line;
    - a single row of values;
    - two columns, time and value (the second is the wave), the time evenly
      spaced within 1 % of its mean step.

    Fields are separated by commas, else semicolons, else blanks, and may be
    quoted; a first line of names (no field a number) is a header; blank
    lines and lines starting with '#' are passed over. Anything ambiguous is
    refused: three or more columns, lines of different widths, a field that
    is no decimal number.

    With raw=True the values are DAC codes, whole numbers from 0 to
    2**bits - 1, as `velmar-dds freq --raw` takes them: they are given back
    on the full scale, where play() and wave_samples() with the same bits
    turn each into its code again.

    Raises ValueError naming the file and the line."""
    with open(path, encoding="utf-8", errors="replace") as file:
        text = file.read()
    try:
        return read_wave_table(text, raw, bits)
    except ValueError as error:
        raise ValueError(f"{os.fspath(path)}: {error}") from None
