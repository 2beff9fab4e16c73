#!/usr/bin/env python3
"""What the package adds to the library calls: download of 4096 samples from
a numpy uint16 array and from a list, and play() of a 4096-sample plan with
and without numpy.

    PYTHONPATH=python python3 python/bench_download.py [--runs N]

The library calls are timed against the simulated instrument. The package's
own work is timed with the library's functions replaced by stand-ins that
return at once, so that the instrument's round trips (and the load of a
shared machine) do not blur it. Each figure is the median of N runs.
"""

import argparse
import ctypes
import statistics
import time
from typing import Callable

import numpy as np

import velmar_dds
from velmar_dds import _library, _wave

FREQUENCY = 3.125e6  # plans 4096 samples holding 64 periods


def median_ms(function: Callable[[], object], runs: int) -> float:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e3


class StandIn:
    """The session library answering at once: every frequency plans 4096
    samples holding 64 periods, every other call succeeds."""

    def __init__(self, library):
        self._library = library  # what the package also calls (e.g. last_message)

    def __getattr__(self, name):
        return getattr(self._library, name)

    @staticmethod
    def _plan(plan):
        made = plan._obj
        made.requested_hz = made.planned_hz = made.produced_hz = FREQUENCY
        made.sample_clock_hz, made.length, made.periods = 200e6, 4096, 64
        return 0

    def velmar_dds_plan_frequency(self, hz, plan):
        return self._plan(plan)

    def velmar_dds_set_frequency(self, handle, hz, plan):
        return self._plan(plan)

    velmar_dds_download = staticmethod(lambda handle, address, count: 0)


def without_numpy(call: Callable[[], object]) -> Callable[[], object]:
    def run() -> None:
        _wave._numpy_module = None
        try:
            call()
        finally:
            _wave._numpy_module = np

    return run


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=200)
    runs = parser.parse_args().runs
    words = np.arange(4096, dtype=np.uint16) * 16
    as_list = words.tolist()
    with velmar_dds.Simulator(), velmar_dds.Generator(0) as gen:
        dll = _library.library()
        assert gen.set_frequency(FREQUENCY).length == 4096
        bare = (ctypes.c_uint16 * 4096)(*as_list)
        plan = _library.PlanStruct()
        handle = gen._handle
        download_ms = median_ms(lambda: dll.velmar_dds_download(handle, bare, 4096), runs)
        set_ms = median_ms(
            lambda: dll.velmar_dds_set_frequency(handle, FREQUENCY, ctypes.byref(plan)), runs
        )
        whole_play_ms = median_ms(lambda: gen.play(FREQUENCY), runs)
        print(
            f"library, against the simulator: velmar_dds_download of 4096 samples "
            f"{download_ms:.3f} ms, velmar_dds_set_frequency {set_ms:.3f} ms; play() with "
            f"numpy, all told {whole_play_ms:.3f} ms"
        )

        # The package's own work: the same Generator over the stand-in.
        gen._dll = _library._loaded = StandIn(dll)  # type: ignore[assignment]
        rows = [
            ("download, numpy uint16 array", lambda: gen.download(words), download_ms),
            ("download, list of 4096 ints", lambda: gen.download(as_list), download_ms),
            ("play, with numpy", lambda: gen.play(FREQUENCY), download_ms + set_ms),
            (
                "play, without numpy",
                without_numpy(lambda: gen.play(FREQUENCY)),
                download_ms + set_ms,
            ),
        ]
        for name, call, library_ms in rows:
            work_ms = median_ms(call, runs)
            print(
                f"{name:30s} package's own work {work_ms:7.3f} ms "
                f"({work_ms / library_ms * 100:5.1f} % of the library calls)"
            )
        gen._dll = _library._loaded = dll


if __name__ == "__main__":
    main()
