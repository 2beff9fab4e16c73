"""The package against the real library and the simulated instrument."""

import os
import time

import numpy as np
import pytest

import velmar_dds


def test_a_session_from_search_to_power_on():
    before = os.environ.get("VELMAR_DDS_DEVICE_DIR")
    with velmar_dds.Simulator(count=2, digital_in=0x00FF) as sim:
        gens = velmar_dds.find()
        assert [g.path for g in gens] == [f"{sim.directory}/dds0", f"{sim.directory}/dds1"]
        gen = gens[1]
        plan = gen.play(1000.0)
        assert (plan.divider, plan.length, plan.periods) == (48, 2083, 1)
        assert plan.sample_clock == pytest.approx(100e6 / 48)
        assert plan.produced_hz == pytest.approx(1000.16, abs=0.005)
        assert gen.measure_frequency() == pytest.approx(plan.produced_hz, rel=1e-3)
        assert velmar_dds.planned_divider() == 48
        assert velmar_dds.sample_clock() == pytest.approx(200e6 / 49)
        gen.set_divider(np.int64(99))  # numpy's integers are whole numbers too
        assert velmar_dds.sample_clock() == pytest.approx(2e6)
        assert velmar_dds.planned_divider() == 48
        gen.download(list(range(0, 65536, 16)))
        assert gen.read_digital() == 0x00FF
        gen.set_dio_mode(1)
        gen.write_digital(0x1234)
        gen.set_single_wave(True)
        gen.set_trigger(True, option=True)
        gen.store_power_on(1)
        high = gen.play(250e3, wave="square", amplitude=0.5)
        assert (high.divider, high.periods, high.length) == (0, 5, 4000)
        assert gen.measure_frequency() == pytest.approx(250e3, rel=1e-3)
    assert os.environ.get("VELMAR_DDS_DEVICE_DIR") == before
    assert not os.path.exists(sim.directory or "/nonexistent")


def test_the_counter_counts_from_its_reset():
    with velmar_dds.Simulator(input_hz=1e6):
        gen = velmar_dds.find()[0]
        gen.reset_counter()
        time.sleep(0.3)
        counted = gen.count()
        gen.reset_counter()
        assert 0 <= gen.count() < counted


# Each option as a user sees it: (options, what is done, what comes of it).
OPTIONS = [
    ({"digital_in": 0xA5C3}, lambda g: g.read_digital(), 0xA5C3),
    ({"input_hz": 50e3}, lambda g: round(g.measure_frequency(), -1), 50e3),
    ({"silent": True}, lambda g: g.set_single_wave(True), velmar_dds.NoAnswer),
    ({"delay_ms": 1500}, lambda g: g.read_digital(), velmar_dds.NoAnswer),
    ({"refuse": True}, lambda g: g.read_digital(), velmar_dds.NoInstrument),
    ({"short_report": True}, lambda g: g.read_digital(), velmar_dds.NoAnswer),
    ({"ack_limit": 1}, lambda g: g.download([7] * 64), velmar_dds.NoAnswer),
    ({"ack_limit": 2}, lambda g: g.download([7] * 64), None),  # two blocks
    ({"drop_after": 2}, lambda g: g.set_trigger(True), velmar_dds.NoAnswer),
]


@pytest.mark.parametrize("options,action,outcome", OPTIONS)
def test_simulator_options(options, action, outcome):
    with velmar_dds.Simulator(**options):
        gen = velmar_dds.find()[0]
        if isinstance(outcome, type):
            with pytest.raises(outcome):
                action(gen)
        else:
            assert action(gen) == outcome


@pytest.mark.parametrize(
    "arguments,error,message",
    [
        ({"colour": "red"}, TypeError, "Simulator has no option 'colour'"),
        ({"silent": 1}, TypeError, "silent is True or False"),
        ({"count": 0}, ValueError, "count must be"),
        (
            {"digital_in": 0x10000},
            velmar_dds.Error,
            "--digital-in wants a whole number up to 65535",
        ),
    ],
)
def test_simulator_refuses_what_it_cannot_do(arguments, error, message):
    before = os.environ.get("VELMAR_DDS_DEVICE_DIR")
    with pytest.raises(error, match=message):
        with velmar_dds.Simulator(**arguments):
            pass
    assert os.environ.get("VELMAR_DDS_DEVICE_DIR") == before


def test_the_simulator_is_found_where_it_was_built(monkeypatch, tmp_path):
    from velmar_dds import _simulator

    monkeypatch.delenv("VELMAR_DDS_SIM", raising=False)
    monkeypatch.setenv("PATH", str(tmp_path))
    monkeypatch.setattr(_simulator, "checkout_root", lambda: tmp_path)
    built = tmp_path / "build" / "sim" / "velmar-dds-sim"
    with pytest.raises(velmar_dds.Error, match=f"tried VELMAR_DDS_SIM .not set., PATH, {built}"):
        _simulator.find_simulator()
    built.parent.mkdir(parents=True)
    built.write_text("#!/bin/sh\n")
    built.chmod(0o755)
    assert _simulator.find_simulator() == str(built)


@pytest.mark.parametrize(
    "device_dir, runtime_dir, expected",
    [
        ("/d", "/r", "/d"),
        ("", "/r", "/r/velmar-dds"),  # set but empty counts as unset, as in the library
        (None, "", f"/tmp/velmar-dds-{os.getuid()}"),
    ],
)
def test_device_directory_as_the_library_finds_it(monkeypatch, device_dir, runtime_dir, expected):
    for name, value in (("VELMAR_DDS_DEVICE_DIR", device_dir), ("XDG_RUNTIME_DIR", runtime_dir)):
        if value is None:
            monkeypatch.delenv(name, raising=False)
        else:
            monkeypatch.setenv(name, value)
    assert velmar_dds.device_directory() == expected
