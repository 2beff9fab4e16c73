"""Acceptance: libVelmarDll.so loaded with ctypes, instruments served as
SOCK_SEQPACKET sockets in the directory named by VELMAR_DDS_DEVICE_DIR.
Every byte on the wire, every result and every out-argument a caller can see."""

import ctypes
import math
import os
import time
import unittest

from peer import (HANG_UP, NORMAL, NOTHING, POWER_ON, Peer, answer, control_packet,
                  control_word, length_header, status_report)
from velmar import UNTOUCHED, Velmar, i32, u16

MEASURE_MODE = 0x0001
COUNTER_RESET = 0x0002
SINGLE_WAVE = 0x0004
TRIGGER_OPTION = 0x0008
TRIGGER_ENABLE = 0x0010
TRIGGER_PULSE = 0x0020
DIO_MODE = 0x0100

DDS = "dds0"
INF = float("inf")


def written_plan(f):
    """Divider, length and periods as the planning is written, period loop
    and all. Python floats are IEEE doubles and int() truncates toward zero."""
    if abs(f) < 1.0 or f != f:
        f = 1.0
    p = 1.0 / f
    if f > 100000:
        x = 200000000.0 / f
        m, k = 1, 2
        while k * x <= 4096.0:
            m += 1
            k += 1
        return 0, min(int(m * x), 4096), m
    d = int(p * 48828.125) & 0xFFFF
    length = int(p * 200000000.0) if d == 0 else int((p * 100000000.0) / d)
    return d, min(length, 4096), 1


def wave(count):
    """Distinct samples whose two bytes differ, so order and position show."""
    return [(0x1234 + 0x0101 * i) & 0xFFFF for i in range(count)]


def blocks(samples, padded):
    padded_samples = samples + [samples[-1]] * (padded - len(samples))
    data = b"".join(s.to_bytes(2, "little") for s in padded_samples)
    return [data[at:at + 64] for at in range(0, len(data), 64)]


def power_on_sequence(length):
    return [length_header(0xFFFF), bytes([POWER_ON]), length_header(length)]


class Case(unittest.TestCase):
    """A fresh load of the library (load-time state) and a peer serving its
    own temporary device directory."""

    def setUp(self):
        self.start()

    def tearDown(self):
        self.stop()

    def start(self):
        os.environ.pop("XDG_RUNTIME_DIR", None)
        self.peer = Peer()
        self.point_at(self.peer.root)
        try:
            self.lib = Velmar()
        except Exception:
            self.peer.close()
            raise

    def stop(self):
        self.lib.unload()
        self.peer.close()
        os.environ.pop("VELMAR_DDS_DEVICE_DIR", None)

    def restart(self):
        self.stop()
        self.start()

    def point_at(self, directory):
        os.environ["VELMAR_DDS_DEVICE_DIR"] = directory

    def serve(self, *names):
        names = names or (DDS,)
        for name in names:
            self.peer.add(name)
        self.assertEqual(self.lib.search(), len(names))

    def sent(self, name=DDS):
        return self.peer.messages(name)

    def last_control(self, name=DDS):
        packets = [m for m in self.sent(name) if len(m) == 7 and m[0] == 0xA0]
        self.assertTrue(packets, "no control packet was sent")
        return packets[-1]

    def shadow_word(self):
        """The control word the next control packet restates (costs one exchange)."""
        self.assertEqual(self.lib.get_digital_in(0)[0], 1)
        return control_word(self.last_control())

    def opened(self, *names):
        """Names that got a connection, each connection closed and silent."""
        got = []
        for name in names:
            for conn in self.peer.connections(name):
                self.assertEqual(conn.messages, [], name)
                self.assertTrue(conn.closed_by_caller, name)
                got.append(name)
        return got


class Discovery(Case):
    def test_indices_follow_byte_order_of_socket_names_and_skip_other_entries(self):
        for name in ["b", "a1", "\u00e9t\u00e9", "B", "_x", ".dot", "a b", "a"]:
            self.peer.add(name)
        with open(os.path.join(self.peer.root, "A-file"), "w") as f:
            f.write("not an instrument")
        os.mkdir(os.path.join(self.peer.root, "A-dir"))
        os.mkfifo(os.path.join(self.peer.root, "A-fifo"))
        self.assertEqual(self.lib.search(), 8)
        order = [".dot", "B", "_x", "a", "a b", "a1", "b", "\u00e9t\u00e9"]  # by unsigned byte
        for index, name in enumerate(order):
            self.assertEqual(self.lib.check(index), 1)
            self.assertEqual(self.opened(name), [name], f"index {index}")
        self.assertEqual(self.lib.check(8), 0)

    def test_two_instruments_open_at_their_indices_only(self):
        self.serve("a", "b")
        for index, want in [(0, 1), (1, 1), (2, 0), (-1, 0), (2**31 - 1, 0), (-2**31, 0)]:
            with self.subTest(index=index):
                self.assertEqual(self.lib.check(index), want)
        self.assertEqual(self.opened("a", "b"), ["a", "b"])

    def test_a_second_search_replaces_the_list(self):
        self.serve("a", "b")
        self.assertEqual(self.lib.search(), 2)
        self.assertEqual(self.lib.check(1), 1)
        self.assertEqual(self.lib.check(2), 0)

    def test_empty_directory_finds_nothing_and_resets_the_control_state(self):
        self.peer.add("old/dds")
        self.point_at(os.path.join(self.peer.root, "old"))
        self.assertEqual(self.lib.search(), 1)
        self.assertEqual(self.lib.set_div_num(0, 9), 1)
        os.mkdir(os.path.join(self.peer.root, "empty"))
        self.point_at(os.path.join(self.peer.root, "empty"))
        self.assertEqual(self.lib.search(), 0)
        self.assertEqual(self.lib.get_clk(), 200000000.0)
        self.assertEqual(self.lib.check(0), 0)

    def test_unreadable_directory_finds_nothing_and_leaves_the_control_state(self):
        with open(os.path.join(self.peer.root, "plain-file"), "w"):
            pass
        for where in ["does-not-exist", "plain-file"]:
            with self.subTest(directory=where):
                self.restart()
                self.serve()
                self.assertEqual(self.lib.set_div_num(0, 9), 1)
                self.point_at(os.path.join(self.peer.root, where))
                self.assertEqual(self.lib.search(), 0)
                self.assertEqual(self.lib.get_clk(), 20000000.0)
                self.assertEqual(self.lib.check(0), 0, "the old list survived")

    def test_the_directory_is_read_afresh_by_every_search(self):
        for name in ["one/a", "one/b", "two/c"]:
            self.peer.add(name)
        self.point_at(os.path.join(self.peer.root, "one"))
        self.assertEqual(self.lib.search(), 2)
        self.point_at(os.path.join(self.peer.root, "two"))
        self.assertEqual(self.lib.search(), 1)
        self.assertEqual(self.lib.check(0), 1)
        self.assertEqual(self.lib.check(1), 0)
        self.assertEqual(self.opened("one/a", "one/b", "two/c"), ["two/c"])

    def test_without_the_variable_the_directory_is_under_xdg_runtime_dir(self):
        self.peer.add("xdg/velmar-dds/a")
        os.environ["XDG_RUNTIME_DIR"] = os.path.join(self.peer.root, "xdg")
        del os.environ["VELMAR_DDS_DEVICE_DIR"]
        self.assertEqual(self.lib.search(), 1)
        self.assertEqual(self.lib.check(0), 1)
        self.assertEqual(self.opened("xdg/velmar-dds/a"), ["xdg/velmar-dds/a"])

    def test_an_unplugged_instrument_fails_its_check(self):
        self.serve("a", "b", "c")
        self.peer.remove_socket_file("a")
        self.peer.stop_listening("b")
        self.assertEqual(self.lib.check(0), 0)
        self.assertEqual(self.lib.check(1), 0)
        self.assertEqual(self.lib.check(2), 1)
        self.assertEqual(self.lib.get_digital_in(0), (0, UNTOUCHED))

    def test_before_the_first_search_every_operation_returns_zero(self):
        self.peer.add(DDS)
        lib = self.lib
        self.assertEqual(lib.check(0), 0)
        self.assertEqual(lib.set_frequency(0, 1000.0), (0, UNTOUCHED, UNTOUCHED))
        self.assertEqual(lib.set_div_num(0, 9), 0)
        self.assertEqual(lib.download(0, [1, 2]), 0)
        self.assertEqual(lib.get_measure(0, 0), (0, UNTOUCHED))
        self.assertEqual(lib.reset_counter(0), 0)
        self.assertEqual(lib.set_single_wave(0, 1), 0)
        self.assertEqual(lib.set_trigger(0, 1, 1), 0)
        self.assertEqual(lib.set_dio_mode(0, 1), 0)
        self.assertEqual(lib.get_digital_in(0), (0, UNTOUCHED))
        self.assertEqual(lib.set_digital_out(0, 1), 0)
        self.assertEqual(lib.set_power_on_output(0, 0), 0)
        self.assertEqual(lib.get_div_num(), 0)
        self.assertEqual(lib.get_clk(), 200000000.0)
        self.assertEqual(self.peer.connections(DDS), [])

    def test_an_index_that_does_not_open_changes_no_state(self):
        self.serve()
        lib = self.lib
        for index in [1, -1]:
            with self.subTest(index=index):
                self.assertEqual(lib.set_frequency(index, 1000.0), (0, UNTOUCHED, UNTOUCHED))
                self.assertEqual(lib.set_div_num(index, 9), 0)
                self.assertEqual(lib.download(index, wave(64)), 0)
                self.assertEqual(lib.get_measure(index, 1), (0, UNTOUCHED))
                self.assertEqual(lib.reset_counter(index), 0)
                self.assertEqual(lib.set_single_wave(index, 1), 0)
                self.assertEqual(lib.set_trigger(index, 1, 1), 0)
                self.assertEqual(lib.set_dio_mode(index, 1), 0)
                self.assertEqual(lib.set_digital_out(index, 0x1234), 0)
                self.assertEqual(lib.set_power_on_output(index, 0), 0)
        self.assertEqual((lib.get_div_num(), lib.get_clk()), (0, 200000000.0))
        self.assertEqual(self.sent(), [])
        self.assertEqual(lib.get_digital_in(0)[0], 1)
        self.assertEqual(lib.set_power_on_output(0, 0), 1)
        self.assertEqual(self.sent(), [control_packet()] + power_on_sequence(4095))

    def test_a_path_too_long_for_a_socket_address_is_never_opened_under_a_cut_name(self):
        root = self.peer.root
        long_name = "z" + "q" * 99
        # Decoys where a cut to 107 or 108 characters would lead.
        decoys = [long_name[:cut - len(root) - 1] for cut in (107, 108)]
        self.serve("a", *decoys, long_name)
        self.assertEqual(self.lib.check(3), 0)
        self.assertEqual(self.lib.get_measure(3, 0), (0, UNTOUCHED))
        for decoy in decoys:
            self.assertEqual(self.peer.connections(decoy), [], f"opened {len(root) + 1 + len(decoy)} characters")
        self.assertEqual(self.peer.connections(long_name), [])
        self.assertEqual(self.lib.check(1), 1)  # 107 characters and the terminator fit

    def test_every_call_opens_once_and_closes_before_it_returns(self):
        self.serve()
        self.assertEqual(self.lib.check(0), 1)
        self.assertEqual(self.lib.set_div_num(0, 3), 1)
        conns = self.peer.connections(DDS)
        self.assertEqual([len(c.messages) for c in conns], [0, 1])
        self.assertTrue(all(c.closed_by_caller for c in conns))

    def test_one_control_state_for_all_instruments(self):
        self.serve("a", "b")
        self.assertEqual(self.lib.set_digital_out(0, 0x0102), 1)
        self.assertEqual(self.lib.get_digital_in(1)[0], 1)
        self.assertEqual(self.sent("b"), [control_packet(0, 0x0102, 0)])


class Packets(Case):
    def test_after_a_search_the_control_packet_is_all_zero(self):
        self.serve()
        self.assertEqual(self.lib.set_single_wave(0, 1), 1)
        self.assertEqual(self.lib.search(), 1)
        self.assertEqual(self.lib.get_digital_in(0)[0], 1)
        self.assertEqual(self.last_control(), bytes.fromhex("A0 00 00 00 00 00 00"))

    def test_every_field_of_the_control_packet(self):
        self.serve()
        self.assertEqual(self.lib.set_single_wave(0, 1), 1)
        self.assertEqual(self.lib.set_dio_mode(0, 1), 1)
        self.assertEqual(self.lib.set_digital_out(0, 258), 1)
        self.assertEqual(self.lib.set_frequency(0, 1000.0)[0], 1)
        self.assertEqual(self.last_control(), bytes.fromhex("A0 04 01 02 01 30 00"))

    def test_a_length_header_of_99(self):
        self.serve()
        self.assertEqual(self.lib.download(0, wave(100)), 1)
        self.assertEqual(self.sent()[0], bytes.fromhex("A1 63 00"))

    def test_the_fields_of_a_status_report(self):
        self.serve()
        self.peer.set_report(DDS, bytes.fromhex("34 12 31 75 00 00 A0 0F 00 00"))
        self.assertEqual(self.lib.get_digital_in(0), (1, 4660))
        self.assertEqual(self.lib.get_measure(0, 0), (1, 60002.0))  # count 30001
        self.peer.set_report(DDS, bytes.fromhex("34 12 30 75 00 00 A0 0F 00 00"))
        self.assertEqual(self.lib.get_measure(0, 0), (1, 50000.0))  # period 4000


class Frequency(Case):
    TABLE = [  # frequency, divider, length, periods
        (1000.0, 48, 2083, 1),
        (1.0, 48828, 2048, 1),
        (0.5, 48828, 2048, 1),
        (-0.5, 48828, 2048, 1),
        (float("nan"), 48828, 2048, 1),
        (-float("nan"), 48828, 2048, 1),
        (5e-324, 48828, 2048, 1),
        (32000.0, 1, 3125, 1),
        (48828.125, 1, 2048, 1),
        (48828.126, 0, 4095, 1),
        (100000.0, 0, 2000, 1),
        (100001.0, 0, 3999, 2),
        (1e6, 0, 4000, 20),
        (3e6, 0, 4066, 61),
        (5e7, 0, 4096, 1024),
        (1e8, 0, 4096, 2048),
        (19140625.0, 0, 4095, 392),
        (1.5e8, 0, 4096, 3072),
        (-1000.0, 65488, -1, 1),
        (-100000.0, 0, -2000, 1),
        (-INF, 0, 0, 1),
    ]

    def test_plans_of_the_edge_values(self):
        self.serve()
        for f, divider, length, periods in self.TABLE:
            with self.subTest(frequency=f):
                self.assertEqual(self.lib.set_frequency(0, f), (1, length, periods))
                self.assertEqual(self.last_control(), control_packet(0, 0, divider))
                self.assertEqual(self.lib.get_div_num(), divider)
                self.assertEqual(self.lib.get_clk(), 200000000.0 / (divider + 1))

    def test_1000_hz_clock_and_48828_125_hz_clock(self):
        self.serve()
        self.lib.set_frequency(0, 1000.0)
        self.assertEqual(self.lib.get_clk(), 200000000.0 / 49)
        self.lib.set_frequency(0, 48828.125)
        self.assertEqual(self.lib.get_clk(), 100000000.0)

    def test_refused_frequencies_send_nothing_and_write_nothing(self):
        self.serve()
        self.assertEqual(self.lib.set_frequency(0, 1000.0)[0], 1)
        for f in [INF, 1e300, 1e15, 2e14, 1.0497e14]:
            with self.subTest(frequency=f):
                started = time.monotonic()
                self.assertEqual(self.lib.set_frequency(0, f), (0, UNTOUCHED, UNTOUCHED))
                self.assertLess(time.monotonic() - started, 0.2)
                self.assertEqual(self.lib.get_div_num(), 48)
                self.assertEqual(self.lib.get_clk(), 200000000.0 / 49)
                self.assertEqual(len(self.peer.connections(DDS)), 1, "the device was opened")

    def test_plans_agree_with_the_written_loop(self):
        self.serve()
        sweep = [10 ** (i / 20) for i in range(181)]  # 1 Hz to 1 GHz
        for edge in [1.0, 1000.0, 32000.0, 48828.125, 100000.0, 100001.0, 3e6, 5e7, 1e8,
                     19140625.0, 1.5e8]:
            for f in (edge, -edge):
                sweep += [math.nextafter(f, -INF), f, math.nextafter(f, INF)]
        for f in sweep:
            divider, length, periods = written_plan(f)
            self.assertEqual(self.lib.set_frequency(0, f), (1, length, periods), f.hex())
            self.assertEqual(self.lib.get_div_num(), divider, f.hex())

    def test_very_high_frequencies_below_the_period_count_limit_are_still_planned(self):
        self.serve()
        for f in [1e13, 1e14, 1.0475e14]:
            with self.subTest(frequency=f):
                # The end of the written loop, found from its own condition.
                x = 200000000.0 / f
                k = int(4096.0 / x)
                while (k + 1) * x <= 4096.0:
                    k += 1
                while k * x > 4096.0:
                    k -= 1
                self.assertLess(k, 2**31 - 1)
                self.assertEqual(self.lib.set_frequency(0, f), (1, min(int(k * x), 4096), k))

    def test_when_both_out_arguments_are_one_integer_the_length_wins(self):
        self.serve()
        both = i32(UNTOUCHED)
        self.assertEqual(self.lib.dll.DDSSetFrequency(0, 1e6, ctypes.byref(both), ctypes.byref(both)), 1)
        self.assertEqual(both.value, 4000)

    def test_a_null_out_argument_returns_zero_with_nothing_sent(self):
        self.serve()
        other = i32(UNTOUCHED)
        self.assertEqual(self.lib.dll.DDSSetFrequency(0, 1000.0, None, ctypes.byref(other)), 0)
        self.assertEqual(self.lib.dll.DDSSetFrequency(0, 1000.0, ctypes.byref(other), None), 0)
        self.assertEqual(other.value, UNTOUCHED)
        self.assertEqual(self.sent(), [])

    def test_an_unanswered_frequency_still_hands_back_the_plan(self):
        self.serve()
        self.peer.script(DDS, [answer(b"\x01\x02\x03")])
        self.assertEqual(self.lib.set_frequency(0, 1000.0), (0, 2083, 1))
        self.assertEqual(self.lib.get_div_num(), 48)
        self.assertEqual(self.lib.get_clk(), 200000000.0 / 49)

    def test_set_div_num_sends_the_divider_but_get_div_num_keeps_the_planned_one(self):
        self.serve()
        self.assertEqual(self.lib.set_frequency(0, 1000.0)[0], 1)
        self.assertEqual(self.lib.set_div_num(0, 9), 1)
        self.assertEqual(self.lib.get_clk(), 20000000.0)
        self.assertEqual(self.lib.get_div_num(), 48)
        self.assertEqual(self.lib.set_div_num(0, 0xFFFF), 1)
        self.assertEqual(self.sent()[1:], [control_packet(0, 0, 9), control_packet(0, 0, 0xFFFF)])

    def test_an_unanswered_divider_is_kept(self):
        self.serve()
        self.peer.script(DDS, [HANG_UP])
        self.assertEqual(self.lib.set_div_num(0, 9), 0)
        self.assertEqual(self.lib.get_clk(), 20000000.0)

    def test_a_search_resets_the_clock_but_not_the_last_planned_divider(self):
        self.serve()
        self.lib.set_frequency(0, 1000.0)
        self.assertEqual(self.lib.search(), 1)
        self.assertEqual(self.lib.get_clk(), 200000000.0)
        self.assertEqual(self.lib.get_div_num(), 48)


class Download(Case):
    TABLE = [(64, 63, 64), (65, 64, 128), (4096, 4095, 4096), (1, 0, 64), (0, 0xFFFF, 0),
             (100, 99, 128)]  # count, header word, padded count

    def test_counts(self):
        for count, header, padded in self.TABLE:
            with self.subTest(count=count):
                self.restart()
                self.serve()
                samples = wave(count)
                self.assertEqual(self.lib.download(0, samples), 1)
                want = [length_header(header)] + (blocks(samples, padded) if count else [])
                self.assertEqual(self.sent(), want)
                self.assertEqual(len(want) - 1, padded // 32)
                self.assertEqual(self.lib.set_power_on_output(0, 0), 1)
                self.assertEqual(self.sent()[-1], length_header(padded))

    def test_an_instrument_that_stops_acknowledging_after_the_third_block(self):
        self.serve()
        self.assertEqual(self.lib.set_single_wave(0, 1), 1)
        samples = wave(256)
        self.peer.script(DDS, [NORMAL] * 4 + [answer(b"")])
        self.assertEqual(self.lib.download(0, samples), 0)
        self.assertEqual(self.sent()[1:], [length_header(255)] + blocks(samples, 256)[:4])
        self.assertEqual(self.shadow_word(), SINGLE_WAVE)
        self.lib.set_power_on_output(0, 0)
        self.assertEqual(self.sent()[-1], length_header(4095))

    def test_an_unacknowledged_header_ends_before_the_first_block(self):
        self.serve()
        self.assertEqual(self.lib.set_dio_mode(0, 1), 1)
        self.peer.script(DDS, [answer(b"")])
        self.assertEqual(self.lib.download(0, wave(64)), 0)
        self.assertEqual(self.sent()[1:], [length_header(63)])
        self.assertEqual(self.shadow_word(), DIO_MODE)
        self.lib.set_power_on_output(0, 0)
        self.assertEqual(self.sent()[-1], length_header(4095))

    def test_counts_outside_0_to_4096_and_null_samples_are_refused(self):
        self.serve()
        samples = (u16 * 4097)(*wave(4097))
        for count, buf in [(-1, samples), (4097, samples), (-2**31, samples), (2**31 - 1, samples),
                           (1, None)]:
            with self.subTest(count=count, null=buf is None):
                self.assertEqual(self.lib.dll.DDSDownload(0, buf, count), 0)
                self.assertEqual(self.sent(), [])
        self.assertEqual(self.lib.dll.DDSDownload(0, None, 0), 1)
        self.assertEqual(self.sent(), [length_header(0xFFFF)])


class Measure(Case):
    TABLE = [  # mode, count, period, reading
        (0, 0, 4000, 0.0),
        (0, 30000, 4000, 50000.0),
        (0, 30001, 4000, 60002.0),
        (0, 30001, 0, 60002.0),
        (1, 5, 0, 10.0),
        (2, 5, 0, 10.0),
        (-1, 5, 0, 10.0),
        (1, 2**31, 0, 0.0),
        (1, 2**31 + 1, 0, 2.0),
        (1, 2**32 - 1, 0, 4294967294.0),
        (0, 1, 0, INF),
        (0, 30000, 0, INF),
        (0, 1, 2**32 - 1, 200000000.0 / 4294967295.0),
    ]

    def test_readings(self):
        self.serve()
        for mode, count, period, reading in self.TABLE:
            with self.subTest(mode=mode, count=count, period=period):
                self.peer.set_report(DDS, status_report(0, count, period))
                # A count with no period gives no frequency: 0, nothing written.
                expected = (0, UNTOUCHED) if reading == INF else (1, reading)
                self.assertEqual(self.lib.get_measure(0, mode), expected)
                self.assertEqual(self.last_control(),
                                 control_packet(MEASURE_MODE if mode == 1 else 0, 0, 0))
        self.peer.set_report(DDS, status_report(0, 1, 2**32 - 1))
        result, reading = self.lib.get_measure(0, 0)
        self.assertEqual(result, 1)
        self.assertAlmostEqual(reading, 0.0466, places=4)  # the period is unsigned

    def test_the_mode_bit_stays_until_the_next_measure_or_search(self):
        self.serve()
        self.lib.get_measure(0, 1)
        self.assertEqual(self.shadow_word(), MEASURE_MODE)
        self.assertEqual(self.lib.search(), 1)
        self.assertEqual(self.shadow_word(), 0)

    def test_reset_counter_pulses_the_bit_over_two_packets(self):
        self.serve()
        self.assertEqual(self.lib.reset_counter(0), 1)
        self.assertEqual(self.sent(), [control_packet(COUNTER_RESET), control_packet(0)])
        self.assertEqual(self.shadow_word(), 0)

    def test_reset_counter_failures(self):
        for failing, packets in [(0, [control_packet(COUNTER_RESET)]),
                                 (1, [control_packet(COUNTER_RESET), control_packet(0)])]:
            with self.subTest(failing_exchange=failing):
                self.restart()
                self.serve()
                script = [NORMAL, NORMAL]
                script[failing] = answer(b"\x00")
                self.peer.script(DDS, script)
                self.assertEqual(self.lib.reset_counter(0), 0)
                self.assertEqual(self.sent(), packets)
                self.assertEqual(self.shadow_word(), 0, "the reset bit stuck")

    def test_short_reports_count_as_unanswered(self):
        self.serve()
        self.peer.set_report(DDS, status_report(0x1234, 40000, 5))
        self.assertEqual(self.lib.get_measure(0, 0), (1, 80000.0))
        for short in [b"", b"\x34", bytes(9)]:
            with self.subTest(answer=short.hex()):
                self.peer.script(DDS, [answer(short), answer(short)])
                self.assertEqual(self.lib.get_measure(0, 0), (0, UNTOUCHED))
                self.assertEqual(self.lib.get_digital_in(0), (0, UNTOUCHED))

    def test_null_out_arguments_return_zero_with_nothing_sent(self):
        self.serve()
        self.assertEqual(self.lib.dll.DDSGetMeasure(0, 0, None), 0)
        self.assertEqual(self.lib.dll.DDSGetDigitalIn(0, None), 0)
        self.assertEqual(self.sent(), [])


class Modes(Case):
    def test_trigger_pulses_for_100_ms_then_sets_the_trigger_bits(self):
        self.serve()
        self.assertEqual(self.lib.set_trigger(0, 1, 1), 1)
        sent = self.peer.timed_messages(DDS)
        self.assertEqual([m[0] for m in sent],
                         [control_packet(0x0020), control_packet(0), control_packet(0x0018)])
        self.assertGreaterEqual(sent[1][1] - sent[0][1], 0.1)

    def test_trigger_bits_after_enable_with_option(self):
        for enable, option, word in [(0, 0, TRIGGER_OPTION), (0, 1, TRIGGER_OPTION),
                                     (1, 0, TRIGGER_ENABLE), (3, -1, TRIGGER_ENABLE | TRIGGER_OPTION)]:
            with self.subTest(enable=enable, option=option):
                self.restart()
                self.serve()
                self.lib.set_trigger(0, 1, 1)
                self.assertEqual(self.lib.set_trigger(0, enable, option), 1)
                self.assertEqual(self.sent()[-1], control_packet(word))

    def test_trigger_unanswered_exchanges(self):
        for failing in range(3):
            with self.subTest(failing_exchange=failing):
                self.restart()
                self.serve()
                script = [NORMAL] * 3
                script[failing] = answer(b"\x00\x00")
                self.peer.script(DDS, script)
                self.assertEqual(self.lib.set_trigger(0, 1, 0), 0)
                want = [control_packet(TRIGGER_PULSE)]
                if failing:
                    want.append(control_packet(0))
                want.append(control_packet(TRIGGER_ENABLE))
                self.assertEqual(self.sent(), want)
                self.assertEqual(self.shadow_word(), TRIGGER_ENABLE, "the pulse bit stuck")

    def test_single_wave_and_dio_mode_take_any_non_zero_as_on(self):
        self.serve()
        for setter, bit in [(self.lib.set_single_wave, SINGLE_WAVE), (self.lib.set_dio_mode, DIO_MODE)]:
            for arg in [1, 5, -1, 0]:
                with self.subTest(bit=bit, arg=arg):
                    self.assertEqual(setter(0, arg), 1)
                    self.assertEqual(control_word(self.last_control()), bit if arg else 0)

    def test_setters_unanswered_return_zero_and_keep_the_change(self):
        cases = [(lambda l: l.set_single_wave(0, 1), SINGLE_WAVE, 0),
                 (lambda l: l.set_dio_mode(0, 1), DIO_MODE, 0),
                 (lambda l: l.set_digital_out(0, 0xBEEF), 0, 0xBEEF)]
        for call, word, out in cases:
            with self.subTest(word=word, out=out):
                self.restart()
                self.serve()
                self.peer.script(DDS, [answer(b"")])
                self.assertEqual(call(self.lib), 0)
                self.assertEqual(self.lib.get_digital_in(0)[0], 1)
                self.assertEqual(self.last_control(), control_packet(word, out, 0))

    def test_digital_in_is_the_first_two_report_bytes_low_first(self):
        self.serve()
        for report, value in [(bytes.fromhex("34 12") + bytes(8), 0x1234),
                              (bytes.fromhex("FF 80 01 02 03 04 05 06 07 08"), 0x80FF)]:
            with self.subTest(report=report.hex()):
                self.peer.set_report(DDS, report)
                self.assertEqual(self.lib.get_digital_in(0), (1, value))

    def test_digital_out_goes_low_byte_first(self):
        self.serve()
        self.assertEqual(self.lib.set_digital_out(0, 0xA55A), 1)
        self.assertEqual(self.last_control(), bytes.fromhex("A0 00 00 5A A5 00 00"))


class PowerOn(Case):
    def test_mode_1_sends_the_whole_control_state_once(self):
        self.serve()
        self.lib.set_frequency(0, 1000.0)
        self.lib.set_single_wave(0, 1)
        before = len(self.sent())
        self.assertEqual(self.lib.set_power_on_output(0, 1), 1)
        self.assertEqual(self.sent()[before:], [bytes.fromhex("A2 04 00 00 00 30 00")])

    def test_other_modes_before_any_download(self):
        for mode in [0, 2, -1]:
            with self.subTest(mode=mode):
                self.restart()
                self.serve()
                self.assertEqual(self.lib.set_power_on_output(0, mode), 1)
                self.assertEqual(self.sent(), [bytes.fromhex("A1 FF FF"), bytes.fromhex("A2"),
                                               bytes.fromhex("A1 FF 0F")])

    def test_mode_0_after_a_download_of_100_samples(self):
        self.serve()
        self.assertEqual(self.lib.download(0, wave(100)), 1)
        self.assertEqual(self.lib.set_power_on_output(0, 0), 1)
        self.assertEqual(self.sent()[-1], bytes.fromhex("A1 80 00"))

    def test_a_search_keeps_the_length_of_the_last_download(self):
        self.serve()
        self.assertEqual(self.lib.download(0, wave(4096)), 1)
        self.assertEqual(self.lib.search(), 1)
        self.assertEqual(self.lib.set_power_on_output(0, 2), 1)
        self.assertEqual(self.sent()[-1], bytes.fromhex("A1 00 10"))

    def test_the_control_word_survives_mode_0(self):
        self.serve()
        self.lib.set_single_wave(0, 1)
        self.lib.set_dio_mode(0, 1)
        self.lib.set_power_on_output(0, 0)
        self.assertEqual(self.shadow_word(), SINGLE_WAVE | DIO_MODE)

    def test_a_missing_acknowledgement_still_sends_everything_but_returns_0(self):
        for failing in range(3):
            with self.subTest(failing_ack=failing):
                self.restart()
                self.serve()
                script = [NORMAL] * 3
                script[failing] = answer(b"")
                self.peer.script(DDS, script)
                self.assertEqual(self.lib.set_power_on_output(0, 0), 0)
                self.assertEqual(self.sent(), power_on_sequence(4095))


class Timing(Case):
    def test_an_instrument_that_never_answers_times_out_after_a_second(self):
        self.serve()
        self.peer.script(DDS, [NOTHING])
        started = time.monotonic()
        self.assertEqual(self.lib.set_div_num(0, 9), 0)
        took = time.monotonic() - started
        self.assertGreaterEqual(took, 1.0)
        self.assertLess(took, 3.0)
        self.assertEqual(self.lib.get_clk(), 20000000.0)

    def test_a_hung_up_instrument_fails_at_once(self):
        self.serve()
        self.peer.hang_up_on_accept(DDS)
        calls = [lambda: self.lib.set_div_num(0, 1), lambda: self.lib.get_measure(0, 0)[0],
                 lambda: self.lib.download(0, wave(128)), lambda: self.lib.set_power_on_output(0, 0),
                 lambda: self.lib.get_digital_in(0)[0], lambda: self.lib.set_trigger(0, 1, 1)]
        for number, call in enumerate(calls):
            with self.subTest(call=number):
                started = time.monotonic()
                self.assertEqual(call(), 0)
                self.assertLess(time.monotonic() - started, 0.5)


if __name__ == "__main__":
    unittest.main()
