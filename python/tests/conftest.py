"""Shared fixtures: the scripted instrument of the acceptance suite, which
records every byte the library sends, and the sample table shared with the
tool's C++ tests."""

import os
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


@pytest.fixture
def peer(monkeypatch):
    """One scripted instrument, dds0, found by a fresh search."""
    scripted = Peer()
    scripted.add(DDS)
    monkeypatch.setenv("VELMAR_DDS_DEVICE_DIR", scripted.root)
    try:
        assert len(velmar_dds.find()) == 1
        yield scripted
    finally:
        scripted.close()


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
    wave_samples, the samples expected)."""
    cases = []
    for line in (REPO / "tests" / "data" / "wave_samples.txt").read_text().splitlines():
        if line.startswith("#"):
            continue
        head, samples = line.split("|")
        shape, length, periods, amplitude, offset, bits = head.split()
        if shape.startswith("table:"):
            shape = [float(v) for v in shape[len("table:") :].split(",")]
        arguments = (shape, int(length), int(periods), float(amplitude), float(offset), int(bits))
        cases.append((arguments, [int(s) for s in samples.split()]))
    return cases
