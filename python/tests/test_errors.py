"""Every failure raises the exception of the library's error code, in the
library's words, and nothing is called to guess at the cause; every caller's
mistake is refused before anything is sent."""

import ctypes
import math

import numpy as np
import pytest
from conftest import DDS, run_python
from peer import HANG_UP, status_report

import velmar_dds
from velmar_dds import ErrorCode
from velmar_dds._library import PlanStruct, library

# Each operation and the library function behind it.
OPERATIONS = [
    (lambda g: g.set_frequency(1000), "velmar_dds_set_frequency"),
    (lambda g: g.download([1, 2, 3]), "velmar_dds_download"),
    (lambda g: g.play(2000, wave="triangle"), "velmar_dds_set_frequency"),
    (lambda g: g.measure_frequency(), "velmar_dds_measure"),
    (lambda g: g.count(), "velmar_dds_measure"),
    (lambda g: g.reset_counter(), "velmar_dds_reset_counter"),
    (lambda g: g.set_divider(100), "velmar_dds_set_divider"),
    (lambda g: g.set_single_wave(True), "velmar_dds_set_single_wave"),
    (lambda g: g.set_trigger(True, option=True), "velmar_dds_set_trigger"),
    (lambda g: g.set_dio_mode(1), "velmar_dds_set_dio_mode"),
    (lambda g: g.read_digital(), "velmar_dds_get_digital_in"),
    (lambda g: g.write_digital(0xBEEF), "velmar_dds_set_digital_out"),
    (lambda g: g.store_power_on(0), "velmar_dds_set_power_on_output"),
]


@pytest.mark.parametrize("operation,function", OPERATIONS)
def test_every_operation_raises_with_the_librarys_words(peer, traced, operation, function):
    """An instrument that hangs up unanswered: Disconnected, named after the
    call and the instrument, ending in what the library said."""
    gen = velmar_dds.find()[0]
    peer.script(DDS, [HANG_UP])
    with pytest.raises(velmar_dds.Disconnected) as raised:
        operation(gen)
    path = f"{peer.root}/{DDS}"
    error = raised.value
    assert (error.code, error.function, error.path) == (ErrorCode.DISCONNECTED, function, path)
    assert error.words.startswith("the instrument hung up without answering")
    assert str(error) == f"{function} on {path}: {error.words}"
    assert traced() == ["velmar_dds_find", "velmar_dds_open", function]


def _twice(action):
    def both(gen):
        action(gen)
        action(gen)

    return both


# Faults of the simulated instrument and what each one raises. `opens`:
# whether find() opens the instrument (else find() itself raises). `calls`:
# the library functions the trace shows after the search, the failing one
# last: nothing is called after a failure to find out more.
FAULTS = [
    (
        {"silent": True},
        lambda g: g.read_digital(),
        velmar_dds.NoAnswer,
        ErrorCode.TIMEOUT,
        "no answer within 1000 ms to the control packet",
        ["velmar_dds_open", "velmar_dds_get_digital_in"],
    ),
    (
        {"delay_ms": 1500},
        lambda g: g.set_single_wave(True),
        velmar_dds.NoAnswer,
        ErrorCode.TIMEOUT,
        "no answer within 1000 ms to the control packet",
        ["velmar_dds_open", "velmar_dds_set_single_wave"],
    ),
    (
        {"ack_limit": 1},
        lambda g: g.download([7] * 64),
        velmar_dds.NoAnswer,
        ErrorCode.TIMEOUT,
        "no answer within 1000 ms to a sample block",
        ["velmar_dds_open", "velmar_dds_download"],
    ),
    (
        {"short_report": True},
        lambda g: g.write_digital(0x00FF),
        velmar_dds.BadAnswer,
        ErrorCode.BAD_ANSWER,
        "a short answer to the control packet: 6 of 10 bytes (00 00 00 00 00 00)",
        ["velmar_dds_open", "velmar_dds_set_digital_out"],
    ),
    (
        {"drop_after": 1},
        _twice(lambda g: g.set_divider(3)),
        velmar_dds.Disconnected,
        ErrorCode.DISCONNECTED,
        # Whether the hang-up is seen sending or receiving is the kernel's timing.
        (
            "the instrument hung up before taking the control packet: Broken pipe",
            "the instrument hung up without answering the control packet",
        ),
        ["velmar_dds_open", "velmar_dds_set_divider", "velmar_dds_set_divider"],
    ),
    (
        {"refuse": True},
        lambda g: g,  # find() raises
        velmar_dds.OpenFailed,
        ErrorCode.OPEN_FAILED,
        "{path} did not open: Connection refused",
        ["velmar_dds_open"],
    ),
]


@pytest.mark.parametrize("options,action,error,code,words,calls", FAULTS)
def test_each_fault_raises_its_error_without_a_probe(
    traced, options, action, error, code, words, calls
):
    with velmar_dds.Simulator(**options) as sim:
        path = sim.paths[0]
        with pytest.raises(velmar_dds.Error) as raised:
            action(velmar_dds.find()[0])
    assert type(raised.value) is error
    assert raised.value.code == code
    expected = [w.format(path=path) for w in (words if isinstance(words, tuple) else (words,))]
    assert raised.value.words in expected
    assert str(raised.value).endswith(": " + raised.value.words)
    assert traced() == ["velmar_dds_find", *calls]


def test_a_disconnected_instrument_is_opened_again_by_the_next_call():
    with velmar_dds.Simulator(drop_after=1) as sim:
        with velmar_dds.Generator(sim.paths[0]) as gen:
            gen.write_digital(1)
            with pytest.raises(velmar_dds.Disconnected):
                gen.write_digital(2)
            gen.write_digital(3)
            assert gen.state().digital_out == 3


def test_what_is_out_of_reach_raises_no_instrument(peer, traced):
    path = f"{peer.root}/{DDS}"
    with pytest.raises(velmar_dds.NoInstrument) as raised:
        velmar_dds.Generator(1)
    assert type(raised.value) is velmar_dds.NoInstrument
    assert str(raised.value) == "velmar_dds_open_position: no instrument at position 1 (1 found)"
    with pytest.raises(velmar_dds.NoInstrument) as raised:
        velmar_dds.Generator(path + "x")
    assert str(raised.value) == (
        f"velmar_dds_open: no instrument at {path}x: No such file or directory"
    )
    peer.stop_listening(DDS)
    with pytest.raises(velmar_dds.OpenFailed) as raised:
        velmar_dds.Generator(path)
    assert raised.value.code == ErrorCode.OPEN_FAILED
    assert isinstance(raised.value, velmar_dds.NoInstrument)
    assert traced() == [
        "velmar_dds_find",
        "velmar_dds_open_position",
        "velmar_dds_open",
        "velmar_dds_open",
    ]


def test_a_report_without_a_period_is_not_a_reading(peer):
    gen = velmar_dds.find()[0]
    peer.set_report(DDS, status_report(count=5, period=0))
    with pytest.raises(velmar_dds.NotAReading) as raised:
        gen.measure_frequency()
    assert raised.value.code == ErrorCode.NOT_A_READING
    # The same report counts: the counter has a reading.
    assert gen.count() == 10


def test_a_directory_that_cannot_be_searched_raises(monkeypatch, tmp_path):
    monkeypatch.setenv("VELMAR_DDS_DEVICE_DIR", str(tmp_path / "none"))
    for search in (velmar_dds.find, velmar_dds.find_paths, lambda: velmar_dds.Generator(0)):
        with pytest.raises(velmar_dds.SearchFailed) as raised:
            search()
        assert raised.value.code == ErrorCode.SEARCH_FAILED
        assert raised.value.path is None
        assert str(tmp_path / "none") in str(raised.value)


def test_what_the_library_refuses_is_a_value_error_in_its_words(peer):
    gen = velmar_dds.find()[0]
    for refused, words in [
        (lambda: setattr(gen, "timeout_ms", 0), "the time limit is not from 1 to 60000 ms"),
        (lambda: setattr(gen, "timeout_ms", 60001), "the time limit is not from 1 to 60000 ms"),
        (lambda: gen.set_frequency(1e15), "the frequency cannot be planned (above about 1e14 Hz)"),
        (lambda: velmar_dds.plan(2e14), "the frequency cannot be planned (above about 1e14 Hz)"),
    ]:
        with pytest.raises(velmar_dds.InvalidArgument) as raised:
            refused()
        assert isinstance(raised.value, ValueError) and isinstance(raised.value, velmar_dds.Error)
        assert (raised.value.code, raised.value.words) == (ErrorCode.INVALID_ARGUMENT, words)
    gen.timeout_ms = 60000
    assert gen.timeout_ms == 60000
    assert peer.messages(DDS) == []


def test_a_closed_generator_refuses_every_call(peer):
    gen = velmar_dds.find()[0]
    gen.close()
    gen.close()  # twice is harmless
    for call in (gen.read_digital, lambda: gen.play(1000), gen.state, lambda: gen.timeout_ms):
        with pytest.raises(ValueError, match="the Generator is closed"):
            call()
    assert peer.messages(DDS) == []


def test_a_position_is_of_a_fresh_search(tmp_path):
    """No search needs to come first: a position opens what a search finds now."""
    empty = tmp_path / "devices"
    empty.mkdir()
    result = run_python(
        "import velmar_dds as v\ntry:\n    v.Generator(0)\n"
        "except v.NoInstrument as e:\n    print(type(e).__name__, e.code.name, e)",
        env=dict(__import__("os").environ, VELMAR_DDS_DEVICE_DIR=str(empty)),
    )
    assert result.stdout == (
        "NoInstrument NO_INSTRUMENT velmar_dds_open_position: no instrument at position 0 "
        "(0 found)\n"
    ), result.stderr


REFUSALS = [
    (lambda g: g.download([0] * 4097), ValueError, "4097 samples"),
    (lambda g: g.download(np.zeros(4097, np.uint16)), ValueError, "4097 samples"),
    (lambda g: g.download([0, 65536]), ValueError, "sample 1 is 65536"),
    (lambda g: g.download(iter([5, -1])), ValueError, "sample 1 is -1"),
    (lambda g: g.download(np.array([3, 70000])), ValueError, "sample 1 is 70000"),
    (lambda g: g.download(np.zeros((2, 2), np.uint16)), ValueError, "one-dimensional"),
    (lambda g: g.download(np.zeros(4)), TypeError, "whole numbers"),
    (lambda g: g.download([0.5]), TypeError, "whole numbers"),
    (lambda g: g.download(b"\x00\x01"), TypeError, "not bytes"),
    (lambda g: g.set_frequency(0), ValueError, "positive finite"),
    (lambda g: g.set_frequency(-1000), ValueError, "positive finite"),
    (lambda g: g.set_frequency(math.nan), ValueError, "positive finite"),
    (lambda g: g.set_frequency(math.inf), ValueError, "positive finite"),
    (lambda g: g.set_frequency(1e15), velmar_dds.InvalidArgument, "cannot be planned"),
    (lambda g: g.set_frequency("1k"), TypeError, "number of hertz"),
    (lambda g: g.play(1000, wave="noise"), ValueError, "unknown wave 'noise'"),
    (lambda g: g.play(1000, wave=[0.5]), ValueError, "at least two values"),
    (lambda g: g.play(1000, wave=[0, "x"]), ValueError, "could not convert"),
    (lambda g: g.play(1000, bits=17), ValueError, "bits must be from 1 to 16"),
    (lambda g: g.play(1000, amplitude=math.nan), ValueError, "amplitude must be a finite"),
    (lambda g: g.play(-3), ValueError, "positive finite"),
    (lambda g: g.play(2e14), velmar_dds.InvalidArgument, "cannot be planned"),
    # The wave function runs before the divider is sent: when it fails,
    # nothing is; also when it fails only half way through the samples.
    (lambda g: g.play(1000, wave=lambda p: 1 / 0), ZeroDivisionError, "division"),
    (lambda g: g.play(1000, wave=lambda p: p if p < 0.5 else 1 / 0), ZeroDivisionError, "division"),
    (lambda g: g.play(1000, wave=lambda p: "high"), ValueError, "could not convert"),
    # A wave beyond the DAC's range, unless clipping is asked for.
    (lambda g: g.play(1000, amplitude=0.6, offset=0.6), ValueError, "clip=True clips them"),
    (lambda g: g.play(1000, wave=[0, 2]), ValueError, "1042 of 2083 samples fall outside"),
    # A sweep is planned and computed whole before its first frequency is sent.
    (lambda g: g.sweep(1e3, 1e6, steps=3, offset=0.01), ValueError, "fall outside"),
    (lambda g: g.sweep(1e3, 2e3, steps=1), ValueError, "from 2 to 1000 points, not 1"),
    (lambda g: g.sweep(1e3, 2e3, steps=1001), ValueError, "from 2 to 1000 points, not 1001"),
    (lambda g: g.sweep(1e3, 2e3, steps=2, step=10), ValueError, "not both"),
    (lambda g: g.sweep(1e3, 2e3, step=10, log=True), ValueError, "a log sweep"),
    (lambda g: g.sweep(1, 1e4, step=1), ValueError, "more than 1000 points"),
    (lambda g: g.sweep(1e3, 2e3, step=0), ValueError, "positive number of hertz"),
    (lambda g: g.sweep(1e3, 2e3, step="10"), TypeError, "number of hertz"),
    (lambda g: g.sweep(0, 2e3), ValueError, "positive finite"),
    (lambda g: g.sweep(1e3, 2e3, steps=2.5), TypeError, "steps must be a whole"),
    (lambda g: g.sweep(1e3, 2e3, dwell=-1), ValueError, "dwell must be from 0 to 3600"),
    (lambda g: g.sweep(1e3, 2e14, steps=2), velmar_dds.InvalidArgument, "cannot be planned"),
    (lambda g: g.set_divider(65536), ValueError, "divider must be from 0 to 65535"),
    (lambda g: g.set_divider(-1), ValueError, "divider must be from 0 to 65535"),
    (lambda g: g.write_digital(0x10000), ValueError, "digital word must be from 0 to 65535"),
    (lambda g: g.set_dio_mode(2**31), ValueError, "digital I/O mode"),
    (lambda g: setattr(g, "timeout_ms", 2**32), ValueError, "timeout_ms must be"),
    (lambda g: setattr(g, "timeout_ms", 1.5), TypeError, "timeout_ms must be a whole"),
    (lambda g: velmar_dds.Generator(-1), ValueError, "position"),
    (lambda g: velmar_dds.Generator(2**32), ValueError, "position"),
    (lambda g: velmar_dds.Generator(1.0), TypeError, "position"),
]


@pytest.mark.parametrize("operation,error,message", REFUSALS)
def test_a_callers_mistake_is_refused_with_nothing_sent(peer, operation, error, message):
    gen = velmar_dds.find()[0]
    with pytest.raises(error, match=message):
        operation(gen)
    assert peer.messages(DDS) == []


_TOP = 2e8 * (2**31 - 1) / 4096  # about the largest frequency the library plans


@pytest.mark.parametrize("frequency", [_TOP * (1 - 1e-15), _TOP, _TOP * (1 + 1e-15)])
def test_the_planning_limit_is_the_librarys(peer, frequency):
    """The package adds no limit of its own: it refuses exactly the
    frequencies that the library cannot plan, and sends nothing then."""
    made = PlanStruct()
    planned = library().velmar_dds_plan_frequency(frequency, ctypes.byref(made)) == 0
    gen = velmar_dds.find()[0]
    try:
        with pytest.warns(velmar_dds.PlaybackWarning):
            gen.set_frequency(frequency)
        refused = False
    except velmar_dds.InvalidArgument:
        refused = True
    assert refused == (not planned)
    assert len(peer.messages(DDS)) == (0 if refused else 1)
