"""The package against the real library and the simulated instrument."""

import gc
import itertools
import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
from conftest import DDS, PYTHON_DIR, run_python, sim_messages, sweep_cases

import velmar_dds


def test_a_session_from_search_to_power_on():
    before = os.environ.get("VELMAR_DDS_DEVICE_DIR")
    with velmar_dds.Simulator(count=2, digital_in=0x00FF) as sim:
        gens = velmar_dds.find()
        assert [g.path for g in gens] == sim.paths
        assert [g.index for g in gens] == [0, 1]
        gen = gens[1]
        plan = gen.play(1000.0)
        assert (plan.divider, plan.length, plan.periods) == (48, 2083, 1)
        assert plan.sample_clock == pytest.approx(100e6 / 48)
        assert plan.produced_hz == pytest.approx(1000.16, abs=0.005)
        assert plan.playback == velmar_dds.Playback.AS_PLANNED and plan.note == ""
        assert gen.measure_frequency() == pytest.approx(plan.produced_hz, rel=1e-3)
        state = gen.state()
        assert (state.divider, state.last_divider, state.last_wave_length) == (48, 48, 2112)
        assert state.reported_clock_hz == pytest.approx(200e6 / 49)
        assert state.sample_clock_hz == pytest.approx(plan.sample_clock)
        gen.set_divider(np.int64(99))  # numpy's integers are whole numbers too
        assert (gen.state().divider, gen.state().last_divider) == (99, 48)
        assert gen.state().reported_clock_hz == pytest.approx(2e6)
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
        assert gens[0].state().digital_out == 0  # the other instrument's own
        for g in gens:
            g.close()
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
    ({"refuse": True}, lambda g: g.read_digital(), velmar_dds.OpenFailed),
    ({"short_report": True}, lambda g: g.read_digital(), velmar_dds.BadAnswer),
    ({"ack_limit": 1}, lambda g: g.download([7] * 64), velmar_dds.NoAnswer),
    ({"ack_limit": 2}, lambda g: g.download([7] * 64), None),  # two blocks
    ({"drop_after": 2}, lambda g: g.set_trigger(True), velmar_dds.Disconnected),
]


@pytest.mark.parametrize("options,action,outcome", OPTIONS)
def test_simulator_options(options, action, outcome):
    with velmar_dds.Simulator(**options):
        if isinstance(outcome, type):
            with pytest.raises(outcome):
                action(velmar_dds.find()[0])
        else:
            assert action(velmar_dds.find()[0]) == outcome


@pytest.mark.parametrize(
    "arguments,error,message",
    [
        ({"colour": "red"}, TypeError, "Simulator has no option 'colour'"),
        ({"silent": 1}, TypeError, "silent is True or False, or the indices of instruments"),
        ({"trace": [0]}, TypeError, "trace is True or False, not"),
        ({"silent": []}, ValueError, "silent names no instrument"),
        ({"refuse": ["0"]}, TypeError, "refuse names instruments by index"),
        ({"count": 0}, ValueError, "count must be"),
        ({"delay_ms": 1.7}, ValueError, "delay_ms must be a whole number, not 1.7"),
        ({"drop_after": {0: 2.5}}, ValueError, "drop_after must be a whole number, not 2.5"),
        ({"ack_limit": True}, TypeError, "ack_limit must be a number"),
        ({"input_hz": {0: 50e3}}, TypeError, "input_hz is one number for every instrument"),
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


def test_whole_numbers_reach_the_simulator_whole():
    """A float that is a whole number is that number; numpy's integers too."""
    with velmar_dds.Simulator(delay_ms=1500.0, digital_in=np.uint16(0x0F0F)):
        gen = velmar_dds.find()[0]
        with pytest.raises(velmar_dds.NoAnswer):
            gen.read_digital()
        gen.timeout_ms = 2000
        assert gen.read_digital() == 0x0F0F


def test_faults_on_chosen_instruments():
    with velmar_dds.Simulator(count=4, silent=[1], delay_ms={2: 1500}, short_report={3}) as sim:
        gens = velmar_dds.find()
        assert gens[0].read_digital() == 0
        for gen, error in zip(gens[1:], (velmar_dds.NoAnswer,) * 2 + (velmar_dds.BadAnswer,)):
            with pytest.raises(error) as raised:
                gen.read_digital()
            assert raised.value.path == gen.path
        assert sim.paths.index(gens[3].path) == 3


def _directory():
    return os.environ.get("VELMAR_DDS_DEVICE_DIR")


@pytest.mark.parametrize("stop_order", list(itertools.permutations(range(3))))
def test_nested_simulators_put_the_directory_back_in_any_order(monkeypatch, stop_order):
    monkeypatch.setenv("VELMAR_DDS_DEVICE_DIR", "/before")
    sims = [velmar_dds.Simulator(), velmar_dds.Simulator(), velmar_dds.Simulator()]
    try:
        for sim in sims:
            sim.start()
            assert _directory() == sim.directory
        running = list(range(3))
        for stopping in stop_order:
            sims[stopping].stop()
            running.remove(stopping)
            # As if the stopped one had never run: the latest running one's.
            assert _directory() == (sims[running[-1]].directory if running else "/before")
            if running:  # and it is one that still serves
                assert velmar_dds.find_paths() == sims[running[-1]].paths
    finally:
        for sim in sims:
            sim.stop()
    assert _directory() == "/before"


def test_two_generators_send_nothing_to_each_other(capfd):
    """Each session's settings go to its own instrument only: every message
    each simulated instrument received, as its trace shows."""
    with velmar_dds.Simulator(count=2, trace=True):
        capfd.readouterr()
        first, second = velmar_dds.find()
        first.play(1000)
        second.read_digital()
        first.write_digital(0x1234)
        second.write_digital(0x0F0F)
        first.set_single_wave(True)
        second.set_divider(7)
        first.set_dio_mode(1)
        second.read_digital()
        first.store_power_on(1)
        first.close()
        second.close()
    trace = capfd.readouterr().out
    assert sim_messages(trace, "dds1") == [
        "control: word 0x0000 [none] dio-out 0x0000 divider 0",
        "control: word 0x0000 [none] dio-out 0x0F0F divider 0",
        "control: word 0x0000 [none] dio-out 0x0F0F divider 7",
        "control: word 0x0000 [none] dio-out 0x0F0F divider 7",
    ]
    assert sim_messages(trace, "dds0") == [
        "control: word 0x0000 [none] dio-out 0x0000 divider 48",
        "length: word 0x0822, 2083 samples in 66 blocks",
        "block 66 of 66: samples 2080-2111, download complete",
        "control: word 0x0000 [none] dio-out 0x1234 divider 48",
        "control: word 0x0004 [single wave] dio-out 0x1234 divider 48",
        "control: word 0x0104 [single wave, dio mode] dio-out 0x1234 divider 48",
        "power-on: store control state, word 0x0104 [single wave, dio mode] dio-out 0x1234 "
        "divider 48",
    ]


def test_an_instrument_that_does_not_answer_holds_up_no_other():
    """No lock across Generators: while one waits out its time limit in
    another thread, the other instrument's calls go on."""
    with velmar_dds.Simulator(count=2, silent=[1]):
        answering, silent = velmar_dds.find()
        silent.timeout_ms = 3000
        failed = []

        def wait_for_silence():
            try:
                silent.read_digital()
            except velmar_dds.NoAnswer as error:
                failed.append(error)

        waiting = threading.Thread(target=wait_for_silence)
        start = time.monotonic()
        waiting.start()
        time.sleep(0.2)
        for word in range(20):
            answering.write_digital(word)
        meanwhile = time.monotonic() - start
        waiting.join(10)
        assert not waiting.is_alive() and len(failed) == 1
        assert meanwhile < 2.0, f"the answering instrument waited {meanwhile:.1f} s"
        assert answering.state().digital_out == 19


@pytest.mark.parametrize(
    "frequency,produced,playback,note",
    [
        (150e6, 50e6, velmar_dds.Playback.ALIAS, "150 MHz plays as 50 MHz: an alias"),
        (1e14, 0.0, velmar_dds.Playback.CONSTANT, "100 THz plays as a constant"),
    ],
)
def test_the_plan_tells_what_the_instrument_plays(frequency, produced, playback, note):
    assert velmar_dds.plan(frequency).produced_hz == produced
    with velmar_dds.Simulator():
        gen = velmar_dds.find()[0]
        for action in (gen.set_frequency, gen.play):
            with pytest.warns(velmar_dds.PlaybackWarning, match=note):
                made = action(frequency)
            assert (made.frequency, made.planned_hz) == (frequency, pytest.approx(frequency))
            assert (made.produced_hz, made.playback) == (produced, playback)
            assert made.note.startswith(note)
        # The meter reads what the plan says plays, not what was asked for.
        assert gen.measure_frequency() == pytest.approx(produced, rel=1e-3)


def test_a_generator_closes_its_connection(peer):
    path = f"{peer.root}/{DDS}"
    with velmar_dds.Generator(path) as gen:
        gen.read_digital()
    assert gen.closed and "(closed)" in repr(gen)
    closing = [lambda g: g.close(), lambda g: None]  # by close(), by being collected
    for close in closing:
        gen = velmar_dds.Generator(path)
        gen.read_digital()
        close(gen)
        del gen
        gc.collect()
    assert [c.closed_by_caller for c in peer.connections(DDS)] == [True, True, True]


def test_the_control_state_outlives_the_process():
    """A new session starts from what the last process sent, not from zero."""
    with velmar_dds.Simulator() as sim:
        result = run_python(
            "import velmar_dds as v\n"
            f"v.Generator({sim.paths[0]!r}).write_digital(0x4321)"
        )
        assert result.returncode == 0, result.stderr
        with velmar_dds.Generator(sim.paths[0]) as gen:
            assert gen.state().digital_out == 0x4321
            gen.set_single_wave(True)
            assert gen.state().digital_out == 0x4321


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


@pytest.mark.parametrize("arguments,expected", sweep_cases())
def test_the_sweeps_frequencies_are_the_tools(arguments, expected):
    assert velmar_dds.sweep_frequencies(**arguments) == pytest.approx(expected, rel=1e-12)


def test_a_sweep_measures_what_it_plays(capfd):
    with velmar_dds.Simulator(trace=True), velmar_dds.Generator(0) as gen:
        rows = gen.sweep(1e3, 10e3, steps=10, measure=True)
        assert [r.requested_hz for r in rows] == [1e3 * k for k in range(1, 11)]
        for row in rows:
            assert row.produced_hz == pytest.approx(row.requested_hz, rel=1e-3)
            assert row.measured_hz == pytest.approx(row.produced_hz, rel=1e-3)
            assert abs(row.deviation_ppm) < 1000
        assert gen.state().divider == rows[-1].plan.divider
        capfd.readouterr()
        # Without measure=True the meter is left alone: one control message
        # (the divider) and one download a frequency.
        down = gen.sweep(2e3, 1e3, steps=2, log=True, dwell=0.05)
        assert [r.requested_hz for r in down] == [2e3, 1e3]
        assert [(r.measured_hz, r.deviation_ppm) for r in down] == [(None, None)] * 2
    sent = [m.split(" ")[0].rstrip(":") for m in sim_messages(capfd.readouterr().out, DDS)]
    assert sent == ["control", "length", "block"] * 2, sent


EXAMPLES = PYTHON_DIR / "examples"


@pytest.mark.parametrize("example", ["sweep", "arbitrary_wave", "digital_ports"])
def test_an_examples_help_is_whole(example):
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / f"{example}.py"), "--help"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    # The description is the docstring's first paragraph, to its full stop.
    description = " ".join(result.stdout.split("\n\n")[1].split())
    assert description.endswith("."), description


def test_the_sweep_example_writes_only_when_asked(tmp_path):
    work = tmp_path / "work"  # beside the state records the fixture keeps in tmp_path
    work.mkdir()

    def run(*options):
        return subprocess.run(
            [sys.executable, str(EXAMPLES / "sweep.py"), "--simulate", "--steps", "3", *options],
            capture_output=True,
            text=True,
            timeout=60,
            cwd=work,
        )

    result = run()
    assert result.returncode == 0, result.stderr
    assert "requested Hz" in result.stdout
    assert list(work.iterdir()) == []
    result = run("--output", "plot.png")
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert result.returncode != 0 and "matplotlib is not installed" in result.stderr
        assert list(work.iterdir()) == []
        return
    assert result.returncode == 0, result.stderr
    assert [p.name for p in work.iterdir()] == ["plot.png"]
