"""Shared fixtures: the scripted instrument of the acceptance suite, which
records every byte the library sends; the library's trace and the
simulator's, read back as lists; and the sample table shared with the C++
tests."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tests" / "acceptance"))

from peer import Peer  # noqa: E402

import velmar_dds  # noqa: E402

PYTHON_DIR = REPO / "python"
DDS = "dds0"


@pytest.fixture(autouse=True)
def own_state_directory(tmp_path, monkeypatch):
    """Each test keeps the instruments' control state in a directory of its
    own, so that nothing one test sent is where the next one starts."""
    monkeypatch.setenv("VELMAR_DDS_STATE_DIR", str(tmp_path / "state"))


@pytest.fixture
def peer(monkeypatch):
    """One scripted instrument, dds0, the only one a search finds."""
    scripted = Peer()
    scripted.add(DDS)
    monkeypatch.setenv("VELMAR_DDS_DEVICE_DIR", scripted.root)
    try:
        assert velmar_dds.find_paths() == [f"{scripted.root}/{DDS}"]
        yield scripted
    finally:
        scripted.close()


@pytest.fixture
def traced(tmp_path):
    """Turns the library's trace on into a file for the test; calling the
    result gives the names of the library functions traced since, in order.
    The trace takes effect at the next search."""
    log = tmp_path / "trace.log"
    velmar_dds.trace(log)
    try:
        yield lambda: library_calls(log.read_text() if log.exists() else "")
    finally:
        velmar_dds.trace(None)
        # The trace is read again at each search, made or not: this one
        # closes the file.
        try:
            velmar_dds.find_paths()
        except velmar_dds.SearchFailed:
            pass


_CALL = re.compile(r"^VelmarDll [0-9.]+ (velmar_dds_\w+)\(", re.M)


def library_calls(trace_text):
    """The library functions a trace shows called, in order."""
    return _CALL.findall(trace_text)


def sim_messages(trace_text, instrument):
    """What one simulated instrument received, from the simulator's --trace
    output: one decoded message a line, without the instrument's name."""
    prefix = f"{instrument}: "
    return [line[len(prefix) :] for line in trace_text.splitlines() if line.startswith(prefix)]


def run_python(code, env=None, cwd=None):
    """Runs `code` in a new interpreter with this package importable."""
    environment = dict(os.environ if env is None else env)
    environment.setdefault("PYTHONPATH", str(PYTHON_DIR))
    return subprocess.run(
        [sys.executable, "-c", code],
        env=environment,
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=60,
    )


def wave_table():
    """The cases of tests/data/wave_samples.txt: (arguments of
    wave_samples, the samples expected, how many of them are clipped)."""
    cases = []
    for line in (REPO / "tests" / "data" / "wave_samples.txt").read_text().splitlines():
        if line.startswith("#"):
            continue
        head, samples, clipped = line.split("|")
        shape, length, periods, amplitude, offset, bits = head.split()
        if shape.startswith("table:"):
            shape = [float(v) for v in shape[len("table:") :].split(",")]
        arguments = (shape, int(length), int(periods), float(amplitude), float(offset), int(bits))
        cases.append((arguments, [int(s) for s in samples.split()], int(clipped)))
    return cases


CSV_FOLDER = REPO / "tests" / "data" / "csv"


def csv_cases():
    """The cases of tests/data/csv/cases.txt: (file name, raw, bits, what
    is expected: a list of values, or the message of the refusal)."""
    cases = []
    for line in (CSV_FOLDER / "cases.txt").read_text().splitlines():
        if not line or line.startswith("#"):
            continue
        head, expected = line.split(" | ", 1)
        words = head.split()
        raw = len(words) > 1 and words[1] == "raw"
        bits = int(words[2]) if raw else 16
        if expected.startswith("! "):
            cases.append((words[0], raw, bits, expected[2:]))
            continue
        numbers = expected.split()
        if numbers[0] == "codes":
            top = 2**bits - 1
            values = [2.0 * float(code) / top - 1.0 for code in numbers[1:]]
        else:
            values = [float(v) for v in numbers]
        cases.append((words[0], raw, bits, values))
    return cases


def sweep_cases():
    """The cases of tests/data/sweep_points.txt: (keyword arguments of
    sweep_frequencies, the frequencies expected)."""
    cases = []
    for line in (REPO / "tests" / "data" / "sweep_points.txt").read_text().splitlines():
        if line.startswith("#"):
            continue
        head, frequencies = line.split(" | ")
        words = head.split()
        arguments = {"start": float(words[0]), "stop": float(words[1])}
        for word in words[2:]:
            if word == "log":
                arguments["log"] = True
            elif word.startswith("steps="):
                arguments["steps"] = int(word[len("steps=") :])
            elif word.startswith("step="):
                arguments["step"] = float(word[len("step=") :])
        cases.append((arguments, [float(f) for f in frequencies.split()]))
    return cases
