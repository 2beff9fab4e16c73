"""The lab's own generator drivers, unchanged: pymeasure's Agilent33220A and
Agilent33500 on PyVISA's socket resource, against the simulated instrument
behind velmar-dds-scpi with a full scale of 10 Vpp (conftest.py's `server`).

Each test starts from *RST on a connection of its own, so from an empty
error queue, and ends with that queue still empty."""

import re

import pytest

pytest.importorskip("pyvisa_py")
agilent = pytest.importorskip("pymeasure.instruments.agilent",
                              reason="python3-pymeasure is not installed")
A33220, A33500 = agilent.Agilent33220A, agilent.Agilent33500
BOTH = (A33220, A33500)

SERVER_OPTIONS = ["--full-scale-vpp", "10"]
NR3 = re.compile(r"[+-]\d\.\d+E[+-]\d+")


@pytest.fixture
def open_driver(server):
    """Opens a driver on instrument 0 (33220A) or 1 (33500) after *RST; the
    raw answers it reads are kept in `driver.answers`."""
    opened = []

    def open_(cls):
        port = server[0 if cls is A33220 else 1]
        driver = cls(f"TCPIP0::127.0.0.1::{port}::SOCKET", visa_library="@py",
                     read_termination="\n", write_termination="\n", timeout=5000)
        opened.append(driver)
        adapter, answers = driver.adapter, []
        ask, read = adapter.ask, adapter.read

        def keep(answer):
            answers.append(answer)
            return answer
        adapter.ask = lambda command: keep(ask(command))
        adapter.read = lambda: keep(read())
        driver.answers = answers
        driver.write("*RST")
        return driver

    yield open_
    for driver in opened:
        driver.adapter.connection.close()


def apply(driver, steps):
    """Sets each property in turn; a step naming a method calls it."""
    for name, value in steps:
        if isinstance(getattr(type(driver), name), property):
            setattr(driver, name, value)
        else:
            getattr(driver, name)(value)


def check_answer(label, answer, want, rel=1e-6):
    """A string is the exact answer (counts and switches answer NR1); a
    number is an NR3 answer of that value."""
    if isinstance(want, str):
        assert answer == want, label
    else:
        assert NR3.fullmatch(answer), (label, answer)
        assert float(answer) == pytest.approx(want, rel=rel, abs=1e-9), label


def check_reads(driver, expected, rel=1e-6):
    for name, want in expected.items():
        getattr(driver, name)  # parsed as the driver parses it
        check_answer(name, driver.answers[-1], want, rel)


def metered(driver):
    return float(driver.ask("MEAS:FREQ?"))


def test_33220a_documented_session(open_driver):
    wfg = open_driver(A33220)
    wfg.shape = "SINUSOID"
    wfg.frequency = 4.7e3
    wfg.amplitude = 1
    wfg.offset = 0
    wfg.burst_state = True  # the docstring's `wfg.burst` is no property: it sends nothing
    wfg.burst_ncycles = 10  # not its 10e3: see the refusals
    wfg.burst_mode = "TRIGGERED"
    wfg.trigger_source = "BUS"
    wfg.output = True
    wfg.trigger()
    wfg.wait_for_trigger(timeout=5)
    # It reads once and returns even on a time-out: *OPC? must have answered.
    assert wfg.answers == ["1"]
    wfg.beep()
    assert wfg.check_errors() == []
    check_reads(wfg, {"shape": "SIN", "amplitude": 1.0, "offset": 0.0, "burst_state": "1",
                      "burst_ncycles": "10", "burst_mode": "TRIG", "trigger_source": "BUS",
                      "output": "1"})
    # Ten periods of 4.7 kHz in the wave memory: the meter reads them, and
    # FREQ? answers what plays, to one tick of the meter's 200 MHz clock.
    measured = metered(wfg)
    assert measured == pytest.approx(4.7e3, rel=1e-3)
    assert wfg.frequency == pytest.approx(measured, rel=4.7e3 / 200e6)
    assert wfg.check_errors() == []


def test_33500_documented_session(open_driver):
    generator = open_driver(A33500)
    generator.shape = "SIN"
    generator.frequency = 1e3
    generator.amplitude = 5
    generator.output = "on"
    assert generator.check_errors() == []
    check_reads(generator, {"shape": "SIN", "amplitude": 5.0, "output": "1"})
    assert metered(generator) == pytest.approx(1e3, rel=1e-3)

    generator.shape = "ARB"
    generator.arb_srate = 1e6
    generator.data_volatile_clear()
    generator.data_arb("test", range(-10000, 10000, +20), data_format="DAC")
    generator.arb_file = "test"
    assert generator.check_errors() == []
    check_reads(generator, {"shape": "ARB", "arb_file": '"test"', "amplitude": 5.0, "output": "1"})
    assert generator.arb_srate == 1e6
    assert generator.values("DATA:DAC:POIN?") == [1000]
    # One ramp in 1000 samples at 1 MSa/s.
    assert metered(generator) == pytest.approx(1e3, rel=1e-3)
    assert generator.check_errors() == []


SHAPES = [(A33220, "SINUSOID", "SIN"), (A33220, "SQUARE", "SQU"), (A33220, "RAMP", "RAMP"),
          (A33220, "PULSE", "PULS"), (A33220, "NOISE", "NOIS"), (A33220, "DC", "DC"),
          (A33500, "TRI", "TRI"), (A33500, "ARB", "ARB")]

# (drivers, settings made in this order after *RST, what then reads back).
READBACK = [((cls,), [("shape", name)], {"shape": short}) for cls, name, short in SHAPES] + [
    ((A33220,), [("write", "DATA:USER 0,1,0,-1"), ("shape", "USER")], {"shape": "USER"}),
    # *RST: the generators' defaults, with 50 ohm assumed for dBm.
    (BOTH, [], {"shape": "SIN", "amplitude": 0.1, "offset": 0.0, "amplitude_unit": "VPP",
                "output": "0", "burst_state": "0", "trigger_source": "IMM"}),
    ((A33500,), [], {"output_load": 50.0}),
    (BOTH, [("shape", "SQU"), ("square_dutycycle", 25)],
     {"shape": "SQU", "square_dutycycle": 25.0}),
    (BOTH, [("shape", "RAMP"), ("ramp_symmetry", 30)], {"shape": "RAMP", "ramp_symmetry": 30.0}),
    (BOTH, [("amplitude", 2), ("offset", -1.5)],
     {"amplitude": 2.0, "offset": -1.5, "voltage_high": -0.5, "voltage_low": -2.5}),
    (BOTH, [("voltage_high", 2), ("voltage_low", -1)],
     {"voltage_high": 2.0, "voltage_low": -1.0, "amplitude": 3.0, "offset": 0.5}),
    # A sine of 2 Vpp is 0.707 Vrms, 10 mW into 50 ohm: 10 dBm.
    (BOTH, [("amplitude", 2), ("amplitude_unit", "VRMS")],
     {"amplitude_unit": "VRMS", "amplitude": 0.5 ** 0.5}),
    (BOTH, [("amplitude", 2), ("amplitude_unit", "DBM")],
     {"amplitude_unit": "DBM", "amplitude": 10.0}),
    (BOTH, [("amplitude_unit", "DBM"), ("amplitude", 10), ("amplitude_unit", "VPP")],
     {"amplitude_unit": "VPP", "amplitude": 2.0}),
    ((A33220,), [("output", True)], {"output": "1"}),
    ((A33500,), [("output", "on")], {"output": "1"}),
    (BOTH, [("burst_state", True), ("burst_ncycles", 10), ("burst_mode", "TRIG"),
            ("trigger_source", "EXT")],
     {"burst_state": "1", "burst_ncycles": "10", "burst_mode": "TRIG", "trigger_source": "EXT"}),
    # The divider of the nearest rate: 100 MHz / 33, and 200 MHz (divider 0).
    ((A33500,), [("shape", "ARB"), ("arb_srate", 3e6)], {"arb_srate": 100e6 / 33}),
    ((A33500,), [("shape", "ARB"), ("arb_srate", 160e6)], {"arb_srate": 200e6}),
]


@pytest.mark.parametrize("cls, steps, expected", [
    pytest.param(cls, steps, expected,
                 id=f"{cls.__name__}-{'-'.join(str(v) for _, v in steps) or 'RST'}")
    for classes, steps, expected in READBACK for cls in classes])
def test_property_reads_back_as_set(open_driver, cls, steps, expected):
    driver = open_driver(cls)
    apply(driver, steps)
    check_reads(driver, expected)
    assert driver.check_errors() == []


@pytest.mark.parametrize("cls, hz", [(A33220, 4.7e3), (A33220, 1234.5678), (A33500, 1e3),
                                     (A33500, 12345.6)])
def test_frequency_reads_back_as_set_and_as_played(open_driver, cls, hz):
    driver = open_driver(cls)
    driver.output = True
    driver.frequency = hz
    # FREQ? answers what plays: the library's plan for hz, within a few
    # parts in 10^4 of it (1 kHz plays 1000.16 Hz).
    check_reads(driver, {"frequency": hz}, rel=5e-4)
    # What FREQ? answers is what the meter reads, to one tick of its clock.
    assert metered(driver) == pytest.approx(driver.frequency, rel=hz / 200e6)
    assert driver.check_errors() == []


def test_output_off_holds_zero_volts_and_on_restores_the_wave(open_driver):
    generator = open_driver(A33500)
    generator.frequency = 1e3
    generator.output = "on"
    generator.output = "off"
    assert generator.values("MEAS:FREQ?") == [0.0]  # flat: the meter counts nothing
    generator.output = "on"
    assert metered(generator) == pytest.approx(1e3, rel=1e-3)
    assert generator.check_errors() == []


# (setting made first, the command refused, its error, a query, its answer unchanged)
REFUSALS = [
    # 10000 cycles take at least 20000 samples: the wave memory holds 4096.
    ("BURS:STAT 1;BURS:NCYC 10", "BURS:NCYC 10000", -221, "BURS:NCYC?", "10"),
    ("BURS:STAT 1;BURS:MODE TRIG", "BURS:MODE GAT", -221, "BURS:MODE?", "TRIG"),
    # 8 Vpp about 2 V would reach 6 V of a 5 V swing.
    ("VOLT 8", "VOLT:OFFS 2", -222, "VOLT:OFFS?", 0.0),
    ("VOLT 2", "VOLT 10.5", -222, "VOLT?", 2.0),
    # dBm needs a load.
    ("OUTP:LOAD INF", "VOLT:UNIT DBM", -221, "VOLT:UNIT?", "VPP"),
]


@pytest.mark.parametrize("setup, command, error, query, answer", REFUSALS,
                         ids=[command for _, command, *_ in REFUSALS])
def test_refused_setting_is_queued_and_changes_nothing(open_driver, setup, command, error,
                                                       query, answer):
    driver = open_driver(A33220)
    driver.write(setup)
    driver.write(command)
    assert int(driver.values("SYST:ERR?")[0]) == error
    check_answer(query, driver.ask(query), answer)
    assert driver.check_errors() == []
    driver.write("OUTP:LOAD 50")  # the default again, whatever *RST does
