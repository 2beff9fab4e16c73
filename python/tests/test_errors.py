"""Every failure raises, with a message naming the instrument and the call;
every caller's mistake is refused before anything is sent."""

import ctypes
import math

import numpy as np
import pytest
from conftest import DDS, run_python
from peer import HANG_UP

import velmar_dds
from velmar_dds._library import library

# Each operation, the library function behind it and what the message says was asked.
OPERATIONS = [
    (lambda g: g.set_frequency(1000), "DDSSetFrequency (1000 Hz)"),
    (lambda g: g.download([1, 2, 3]), "DDSDownload (3 samples)"),
    (lambda g: g.play(2000, wave="triangle"), "DDSSetFrequency (2000 Hz)"),
    (lambda g: g.measure_frequency(), "DDSGetMeasure (frequency, mode 0)"),
    (lambda g: g.count(), "DDSGetMeasure (counter, mode 1)"),
    (lambda g: g.reset_counter(), "DDSResetCounter"),
    (lambda g: g.set_divider(100), "DDSSetDivNum (divider 100)"),
    (lambda g: g.set_single_wave(True), "DDSSetSingleWave (on)"),
    (lambda g: g.set_trigger(True, option=True), "DDSSetTrigger (on with the option)"),
    (lambda g: g.set_dio_mode(1), "DDSSetDIOMode (mode 1)"),
    (lambda g: g.read_digital(), "DDSGetDigitalIn"),
    (lambda g: g.write_digital(0xBEEF), "DDSSetDigitalOut (0xBEEF)"),
    (lambda g: g.store_power_on(0), "DDSSetPowerOnOutput (mode 0)"),
]


@pytest.mark.parametrize("operation,asked", OPERATIONS)
def test_an_unanswered_call_raises_no_answer(peer, operation, asked):
    peer.script(DDS, [HANG_UP])
    gen = velmar_dds.find()[0]
    with pytest.raises(velmar_dds.NoAnswer) as raised:
        operation(gen)
    path = f"{peer.root}/{DDS}"
    assert str(raised.value) == f"instrument 0 ({path}) did not answer {asked}"
    assert (raised.value.index, raised.value.path) == (0, path)
    assert raised.value.function == asked.split()[0]


def test_an_instrument_out_of_reach_raises_no_instrument(peer):
    path = f"{peer.root}/{DDS}"
    with pytest.raises(velmar_dds.NoInstrument) as raised:
        velmar_dds.Generator(1).read_digital()
    assert str(raised.value) == (
        f"instrument 1 is not in the last search's list (1 instrument found in {peer.root}); "
        "DDSGetDigitalIn was not sent"
    )
    peer.stop_listening(DDS)
    with pytest.raises(velmar_dds.NoInstrument) as raised:
        velmar_dds.Generator(0).set_divider(7)
    assert str(raised.value) == (
        f"instrument 0 ({path}) could not be opened; DDSSetDivNum (divider 7) was not sent"
    )
    assert isinstance(raised.value, velmar_dds.Error)


def test_no_search_yet_says_to_search():
    result = run_python(
        "import velmar_dds as v\ntry:\n    v.Generator(0).reset_counter()\n"
        "except v.NoInstrument as e:\n    print(e)"
    )
    assert result.stdout == (
        "instrument 0 cannot be reached: no search has been made yet (call velmar_dds.find() "
        "first); DDSResetCounter was not sent\n"
    ), result.stderr


# The largest frequency the library plans, found from its own period count.
_TOP = 2e8 * (2**31 - 1) / 4096

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
    (lambda g: g.set_frequency(1e15), ValueError, "beyond what the library plans"),
    (lambda g: g.set_frequency("1k"), TypeError, "number of hertz"),
    (lambda g: g.play(1000, wave="noise"), ValueError, "unknown wave 'noise'"),
    (lambda g: g.play(1000, wave=[0.5]), ValueError, "at least two values"),
    (lambda g: g.play(1000, wave=[0, math.inf]), ValueError, "must be finite"),
    (lambda g: g.play(1000, bits=17), ValueError, "bits must be from 1 to 16"),
    (lambda g: g.play(1000, amplitude=math.nan), ValueError, "amplitude must be a finite"),
    (lambda g: g.play(-3), ValueError, "positive finite"),
    (lambda g: g.set_divider(65536), ValueError, "divider must be from 0 to 65535"),
    (lambda g: g.set_divider(-1), ValueError, "divider must be from 0 to 65535"),
    (lambda g: g.write_digital(0x10000), ValueError, "digital word must be from 0 to 65535"),
    (lambda g: g.set_dio_mode(2**31), ValueError, "digital I/O mode"),
    (lambda g: velmar_dds.Generator(-1), ValueError, "device index"),
    (lambda g: velmar_dds.Generator(2**32), ValueError, "device index"),
]


@pytest.mark.parametrize("operation,error,message", REFUSALS)
def test_a_callers_mistake_is_refused_with_nothing_sent(peer, operation, error, message):
    with pytest.raises(error, match=message):
        operation(velmar_dds.Generator(0))
    assert peer.connections(DDS) == []


@pytest.mark.parametrize("frequency", [_TOP * (1 - 1e-15), _TOP, _TOP * (1 + 1e-15)])
def test_the_planning_limit_is_the_librarys(peer, frequency):
    """The package refuses exactly the frequencies that the library refuses."""
    length = ctypes.c_int32(-7)
    planned = library().DDSSetFrequency(0, frequency, ctypes.byref(length), ctypes.byref(length))
    assert (planned == 1) == (length.value != -7)
    try:
        velmar_dds.Generator(0).set_frequency(frequency)
        refused = False
    except ValueError:
        refused = True
    assert refused == (planned == 0)
