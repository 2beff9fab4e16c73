"""The front panel in a real browser: headless Chromium driven by Selenium
(Debian: chromium, chromium-driver, python3-selenium), against
velmar-dds-scpi in front of the simulated instrument.

VELMAR_SIM and VELMAR_SCPI name the two programs; VELMAR_ARTIFACTS the
directory the screenshots go to. Where Chromium cannot run, the suite says
NOT RUN with the reason and skips."""

import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.request
import xml.etree.ElementTree as ElementTree

import pytest

CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
LXI = "{http://www.lxistandard.org/InstrumentIdentification/1.0}"


def not_run(reason):
    print(f"\nfront panel browser suite: NOT RUN: {reason}")
    pytest.skip(f"NOT RUN: {reason}")


# How long the page and the server may take for what they are asked: far
# more than they need, as a sanitized server under load may be slow.
SOON = 15


def wait_for(check, seconds, what):
    """Polls `check` until it gives something true, for at most `seconds`."""
    deadline = time.monotonic() + seconds
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"not within {seconds} s: {what}")
        time.sleep(0.05)


def control_words(trace):
    """The control words of dds0 in the simulator's trace."""
    return [int(w, 16) for w in re.findall(r"dds0: control: word 0x([0-9a-fA-F]{4})", trace)]


class Rig:
    """The simulator (dds0, digital input 0x00A5, traced) and the server with
    its front panel on a free port it logs (--http any), which a restart
    keeps."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="velmar-panel-test-")
        self.devices = os.path.join(self.root, "devices")
        self.trace_path = os.path.join(self.root, "trace")
        self.log_path = os.path.join(self.root, "server.log")
        with open(self.trace_path, "w") as trace:
            self.sim = subprocess.Popen(
                [os.environ["VELMAR_SIM"], "--dir", self.devices, "--trace",
                 "--digital-in", "0x00A5"], stdout=trace, stderr=subprocess.STDOUT)
        wait_for(lambda: os.path.exists(os.path.join(self.devices, "dds0")), SOON, "the simulator")
        self.http_port = None
        self.scpi = None
        self.scpi_port = None
        self.start()

    def start(self):
        env = dict(os.environ, VELMAR_DDS_DEVICE_DIR=self.devices)
        earlier = len(self.log()) if os.path.exists(self.log_path) else 0
        with open(self.log_path, "a") as log:
            self.scpi = subprocess.Popen(
                [os.environ["VELMAR_SCPI"], "--port", "0", "--http",
                 str(self.http_port) if self.http_port else "any"], env=env, stderr=log)

        def ports():
            this_run = self.log()[earlier:]
            scpi = re.search(r"instrument 0 on 127\.0\.0\.1:(\d+)", this_run)
            http = re.search(r"on http://127\.0\.0\.1:(\d+)/", this_run)
            return scpi and http and (int(scpi[1]), int(http[1]))
        self.scpi_port, self.http_port = wait_for(ports, SOON, "the server's ports")

    def stop(self):
        self.scpi.send_signal(signal.SIGTERM)
        assert self.scpi.wait(timeout=10) == 0, self.log()

    def log(self):
        with open(self.log_path) as log:
            return log.read()

    def trace(self):
        with open(self.trace_path) as trace:
            return trace.read()

    def query(self, message):
        with socket.create_connection(("127.0.0.1", self.scpi_port), timeout=5) as s:
            s.sendall(message.encode() + b"\n")
            answer = b""
            while not answer.endswith(b"\n"):
                answer += s.recv(4096)
            return answer.decode().strip()

    def close(self):
        if self.scpi and self.scpi.poll() is None:
            self.stop()
        self.sim.terminate()
        self.sim.wait(timeout=10)
        shutil.rmtree(self.root)


@pytest.fixture(scope="module")
def rig():
    rig = Rig()
    yield rig
    rig.close()


@pytest.fixture(scope="module")
def browser(rig):
    if not os.path.exists(CHROMEDRIVER):
        not_run("chromedriver is not installed (Debian: chromium-driver)")
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.options import Options
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        not_run("Selenium is not installed (Debian: python3-selenium)")
    options = Options()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1280,1500",
                     "--user-data-dir=" + os.path.join(rig.root, "chromium")):
        options.add_argument(argument)
    try:
        driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    except Exception as error:  # no display, no sandbox, a broken install: said, not failed
        not_run(f"Chromium does not start: {str(error).splitlines()[0]}")
    driver.set_page_load_timeout(20)
    driver.set_script_timeout(10)
    yield driver
    driver.quit()


@pytest.fixture(scope="module")
def page(rig, browser):
    browser.get(f"http://127.0.0.1:{rig.http_port}/instrument/0")
    wait_for(lambda: browser.find_element("id", "connection").get_attribute("hidden") is not None,
             SOON, "the page connected")
    wait_for(lambda: browser.find_element("id", "meter-reading").text != "–", SOON, "first readings")
    return browser


def text(driver, element_id):
    return driver.find_element("id", element_id).text


def set_field(driver, element_id, value):
    """Types a value over the field's and leaves it, as a person does. (Not
    clear(): that leaves the field, and the page fills it again from the
    instrument before the keys come.)"""
    field = driver.find_element("id", element_id)
    driver.execute_script("arguments[0].focus(); arguments[0].select()", field)
    field.send_keys(value + "\n")
    driver.execute_script("arguments[0].blur()", field)


def test_index_lists_the_instrument(rig, browser):
    browser.get(f"http://127.0.0.1:{rig.http_port}/")
    row = wait_for(lambda: browser.find_elements("css selector", "#instruments tbody tr"), SOON,
                   "the index's rows")
    cells = row[0].text
    assert "Instrument 0" in cells and "dds0" in cells, cells
    assert f"TCPIP::127.0.0.1::{rig.scpi_port}::SOCKET" in cells, cells
    assert "answering" in cells, cells


def test_a_square_wave_at_2500_hz_shows_on_the_live_meter(rig, page):
    from selenium.webdriver.support.ui import Select
    Select(page.find_element("id", "shape")).select_by_value("SQU")
    set_field(page, "frequency", "2500")
    start = time.monotonic()
    reading = wait_for(lambda: re.match(r"250\d\.\d+ Hz", text(page, "meter-reading")), SOON,
                       "the meter reads about 2.5 kHz")
    assert time.monotonic() - start < 2, reading
    assert text(page, "meter-label") == "Frequency"
    assert rig.query("FUNC?") == "SQU"
    assert abs(float(rig.query("READ?")) - 2500) < 2
    # The plan beside it: what FREQ? answers over SCPI.
    wait_for(lambda: text(page, "plan-produced").startswith("250"), SOON, "the produced frequency")
    assert text(page, "output-errors") == ""


def test_the_page_never_switches_the_meter_but_its_control_does(rig, page):
    from selenium.webdriver.support.ui import Select
    # Watching: a second of rounds, and not one control word switches the
    # meter's mode.
    before = len(control_words(rig.trace()))
    time.sleep(1.2)
    words = control_words(rig.trace())[before:]
    assert len(words) >= 3, words
    assert {w & 0x0001 for w in words} == {0}, [hex(w) for w in words]
    # The mode control switches it, and the page shows the counter.
    Select(page.find_element("id", "meter-mode")).select_by_value("TOT")
    wait_for(lambda: text(page, "meter-label") == "Counter", SOON, "the page shows the counter")
    wait_for(lambda: re.match(r"\d+ cycles", text(page, "meter-reading")), SOON, "a count")
    assert rig.query("SENS:FUNC?") == "TOT"
    before = len(control_words(rig.trace()))
    time.sleep(1.2)
    words = control_words(rig.trace())[before:]
    assert len(words) >= 3 and {w & 0x0001 for w in words} == {1}, [hex(w) for w in words]
    page.find_element("id", "counter-clear").click()
    Select(page.find_element("id", "meter-mode")).select_by_value("FREQ")
    wait_for(lambda: text(page, "meter-label") == "Frequency", SOON, "the page shows the meter")
    assert text(page, "meter-errors") == ""


def test_errors_show_where_they_happened(rig, page):
    # Two actions at once: each part shows its own message's errors only.
    page.execute_script("""
        document.getElementById("frequency").value = "1e12";
        document.getElementById("frequency").dispatchEvent(new Event("change"));
        document.getElementById("out-bit-15").click();""")
    wait_for(lambda: "-222" in text(page, "output-errors"), SOON, "the frequency's error")
    assert text(page, "digital-errors") == ""
    rig.query("DIG:OUTP 0;*OPC?")


def test_the_amplitude_is_in_the_units_volt_unit_names(rig, page):
    rig.query("VOLT:UNIT VRMS;*OPC?")
    wait_for(lambda: text(page, "amplitude-unit") == "Vrms", SOON, "the unit follows VOLT:UNIT")
    set_field(page, "amplitude", "0.2")
    wait_for(lambda: abs(float(rig.query("VOLT?")) - 0.2) < 1e-3, SOON, "VOLT? in Vrms")
    rig.query("VOLT:UNIT VPP;*OPC?")
    wait_for(lambda: text(page, "amplitude-unit") == "Vpp", SOON, "back to Vpp")


def test_the_power_on_store_names_what_it_stores(rig, page):
    rig.query("DIG:MODE ON;SENS:FUNC TOT;*OPC?")
    # The confirmation is made from the readings that show the counter.
    wait_for(lambda: text(page, "meter-label") == "Counter", SOON, "the readings of the new modes")
    page.execute_script("window.confirm = (text) => { window.asked = text; return false; }")
    page.find_element("id", "store").click()
    asked = wait_for(lambda: page.execute_script("return window.asked"), SOON, "the confirmation")
    assert "meter counting" in asked and "DIO mode on" in asked, asked
    assert "counter mode" in asked and "dio mode" in asked, asked
    rig.query("DIG:MODE OFF;SENS:FUNC FREQ;*OPC?")


def test_output_bit_3_reaches_the_instrument(rig, page):
    page.find_element("id", "out-bit-3").click()
    wait_for(lambda: re.search(r"dds0: control: .*dio-out 0x0008", rig.trace()), SOON,
             "the simulator's trace shows the output word 0x0008")
    assert rig.query("DIG:OUTP?") == "8"


def test_the_digital_input_word_shows_as_lamps(page):
    lit = wait_for(lambda: {b for b in range(16) if "on" in page.find_element(
        "id", f"in-bit-{b}").get_attribute("class").split()} or None, SOON, "lit lamps")
    assert lit == {0, 2, 5, 7}  # 0x00A5


def test_the_console_answers_as_a_socket_client_is_answered(page):
    console = page.find_element("id", "console-input")
    console.clear()
    console.send_keys("FOO\n")
    wait_for(lambda: "error queue:" in text(page, "console-log"), SOON, "the console's error queue")
    assert '-113,"Undefined header"' in text(page, "console-log")
    console.clear()
    console.send_keys("*IDN?\n")
    wait_for(lambda: "< VELMAR,DDS," in text(page, "console-log"), SOON, "the console's answer")


def test_a_change_through_the_socket_shows_without_a_reload(rig, page):
    rig.query("DIG:OUTP 48;*OPC?")
    wait_for(lambda: page.find_element("id", "out-bit-4").is_selected()
             and page.find_element("id", "out-bit-5").is_selected()
             and not page.find_element("id", "out-bit-3").is_selected(), SOON,
             "the output switches follow DIG:OUTP 48")
    rig.query("FREQ 1234;*OPC?")
    wait_for(lambda: page.find_element("id", "frequency").get_attribute("value").startswith("1234"),
             SOON, "the frequency field follows FREQ 1234")


def shown_choice(driver, element_id):
    """The text a select shows: empty when its value names none of its options."""
    return driver.execute_script(
        "const s = document.getElementById(arguments[0]);"
        "return s.selectedIndex < 0 ? '' : s.options[s.selectedIndex].text", element_id)


# The trace's opaque pixels in a plot (bluer than the grid and the text):
# the rows they span, and how many columns cross the middle fifth of the
# height (a few for steps, a third of the plot for slopes between samples).
TRACE = """
const c = document.getElementById(arguments[0]);
const d = c.getContext("2d").getImageData(0, 0, c.width, c.height).data;
let low = Infinity, high = -Infinity;
const crossing = new Set();
for (let i = 0; i < d.length; i += 4) {
  if (d[i + 3] < 128 || d[i + 2] - d[i] < 60) continue;
  const x = (i / 4) % c.width, y = Math.floor(i / 4 / c.width);
  low = Math.min(low, y);
  high = Math.max(high, y);
  if (Math.abs(y / c.height - 0.45) < 0.1) crossing.add(x);
}
return {low, high, crossing: crossing.size, height: c.height};"""


@pytest.mark.parametrize("message, answer, name", [
    ("FUNC SQU", "SQU", "square"),
    ("DATA:DAC 0,65535,0,65535", "DAC", "raw DAC samples"),
    ("FUNC ARB", "ARB", "arbitrary (named wave)"),
])
def test_the_shape_box_names_what_plays(rig, page, message, answer, name):
    rig.query(message + ";*OPC?")
    assert rig.query("FUNC?") == answer
    wait_for(lambda: shown_choice(page, "shape") == name, SOON, f"the Shape box shows {name!r}")
    assert page.find_element("id", "shape").get_attribute("value") == answer


def test_the_wave_memory_plots_samples_as_held(rig, page):
    # Four samples, low and high in turn: three edges, no slopes.
    rig.query("DATA:DAC 0,65535,0,65535;OUTP ON;*OPC?")
    wait_for(lambda: text(page, "memory-caption") == "4 samples loaded", SOON, "the four samples")
    trace = page.execute_script(TRACE, "memory-plot")
    assert trace["high"] - trace["low"] > trace["height"] / 2, trace
    assert trace["crossing"] <= 12, trace


def test_the_output_off_plays_0_v(rig, page):
    rig.query("FUNC SQU;FREQ 1KHZ;OUTP ON;*OPC?")
    wait_for(lambda: text(page, "output-caption").startswith("Two periods"), SOON, "the output on")
    trace = page.execute_script(TRACE, "output-plot")
    assert trace["high"] - trace["low"] > trace["height"] / 2, trace
    rig.query("OUTP OFF;*OPC?")
    wait_for(lambda: text(page, "output-caption").startswith("Output off"), SOON, "the output off")
    trace = page.execute_script(TRACE, "output-plot")
    # One flat line, mid-scale (0 V), drawn across the plot.
    assert trace["high"] - trace["low"] <= 3, trace
    assert 0.3 < trace["low"] / trace["height"] < 0.6 and trace["crossing"] > 0, trace
    rig.query("OUTP ON;*OPC?")


def test_the_plots_and_a_screenshot(rig, page):
    rig.query("FUNC SIN;FREQ 100KHZ;*OPC?")
    time.sleep(1)  # the plots are drawn from the readings of the next rounds
    artifacts = os.environ.get("VELMAR_ARTIFACTS", rig.root)
    os.makedirs(artifacts, exist_ok=True)
    page.execute_script("document.activeElement.blur(); window.scrollTo(0, 0)")
    page.save_screenshot(os.path.join(artifacts, "front-panel.png"))
    page.set_window_size(390, 1600)  # a phone's width
    time.sleep(0.3)
    page.execute_script("window.scrollTo(0, 0)")
    page.save_screenshot(os.path.join(artifacts, "front-panel-phone.png"))
    page.set_window_size(1280, 1500)


def test_lxi_identification_is_well_formed(rig):
    with urllib.request.urlopen(f"http://127.0.0.1:{rig.http_port}/lxi/identification",
                                timeout=5) as response:
        root = ElementTree.fromstring(response.read())
    assert root.tag == LXI + "LXIDevice"
    assert root.find(LXI + "SerialNumber").text == "dds0"
    addresses = [e.text for e in root.iter(LXI + "InstrumentAddressString")]
    assert addresses == [f"TCPIP::127.0.0.1::{rig.scpi_port}::SOCKET"]


def test_a_page_whose_server_went_away_says_so_and_reconnects(rig, page):
    rig.stop()
    wait_for(lambda: "Not connected" in text(page, "connection"), SOON, "the page says it lost the server")
    rig.start()
    wait_for(lambda: page.find_element("id", "connection").get_attribute("hidden") is not None, SOON,
             "the page reconnected")
    rig.query("DIG:OUTP 1;*OPC?")
    wait_for(lambda: page.find_element("id", "out-bit-0").is_selected(), SOON,
             "readings flow again after the reconnection")
