"""libVelmarDll.so as a ctypes caller sees it: loaded by path, every function
looked up by name with its exact argument and result types."""

import ctypes
import os
import shutil
import tempfile

i32 = ctypes.c_int32
u16 = ctypes.c_uint16
dbl = ctypes.c_double

SIGNATURES = {
    "DDSSearch": (i32, []),
    "DDSCheck": (i32, [i32]),
    "DDSSetFrequency": (i32, [i32, dbl, ctypes.POINTER(i32), ctypes.POINTER(i32)]),
    "DDSGetCLK": (dbl, []),
    "DDSGetDivNum": (i32, []),
    "DDSSetDivNum": (i32, [i32, u16]),
    "DDSDownload": (i32, [i32, ctypes.POINTER(u16), i32]),
    "DDSGetMeasure": (i32, [i32, i32, ctypes.POINTER(dbl)]),
    "DDSResetCounter": (i32, [i32]),
    "DDSSetSingleWave": (i32, [i32, i32]),
    "DDSSetTrigger": (i32, [i32, i32, i32]),
    "DDSSetDIOMode": (i32, [i32, i32]),
    "DDSGetDigitalIn": (i32, [i32, ctypes.POINTER(u16)]),
    "DDSSetDigitalOut": (i32, [i32, u16]),
    "DDSSetPowerOnOutput": (i32, [i32, i32]),
}

# What out-arguments hold before a call, to see whether it wrote them.
UNTOUCHED = 0x5EED


def library_path():
    path = os.environ.get("VELMAR_LIBRARY")
    if not path:
        raise RuntimeError("VELMAR_LIBRARY must name the built libVelmarDll.so")
    return path


class Velmar:
    """One load of the library. A private copy of the file is loaded, because
    the loader keeps one instance per file and every test wants the
    process-wide state at its load-time values."""

    def __init__(self, path=None):
        fd, self._copy = tempfile.mkstemp(prefix="velmar-acc-lib-", suffix=".so")
        os.close(fd)
        try:
            shutil.copyfile(path or library_path(), self._copy)
            self.dll = ctypes.CDLL(self._copy)
        except Exception:
            os.unlink(self._copy)
            raise
        for name, (restype, argtypes) in SIGNATURES.items():
            fn = getattr(self.dll, name)
            fn.restype = restype
            fn.argtypes = argtypes

    def unload(self):
        handle = self.dll._handle
        self.dll = None
        try:
            import _ctypes

            _ctypes.dlclose(handle)
        except (ImportError, AttributeError):
            pass
        os.unlink(self._copy)

    # Thin wrappers that hand back what the caller gets: the result and the
    # out-arguments, which start at UNTOUCHED.
    def search(self):
        return self.dll.DDSSearch()

    def check(self, index):
        return self.dll.DDSCheck(index)

    def set_frequency(self, index, frequency):
        length, periods = i32(UNTOUCHED), i32(UNTOUCHED)
        result = self.dll.DDSSetFrequency(index, frequency, ctypes.byref(length), ctypes.byref(periods))
        return result, length.value, periods.value

    def get_clk(self):
        return self.dll.DDSGetCLK()

    def get_div_num(self):
        return self.dll.DDSGetDivNum()

    def set_div_num(self, index, divider):
        return self.dll.DDSSetDivNum(index, divider)

    def download(self, index, samples, count=None):
        buf = (u16 * max(len(samples), 1))(*samples)
        return self.dll.DDSDownload(index, buf, len(samples) if count is None else count)

    def get_measure(self, index, mode):
        reading = dbl(UNTOUCHED)
        result = self.dll.DDSGetMeasure(index, mode, ctypes.byref(reading))
        return result, reading.value

    def reset_counter(self, index):
        return self.dll.DDSResetCounter(index)

    def set_single_wave(self, index, enable):
        return self.dll.DDSSetSingleWave(index, enable)

    def set_trigger(self, index, enable, option):
        return self.dll.DDSSetTrigger(index, enable, option)

    def set_dio_mode(self, index, mode):
        return self.dll.DDSSetDIOMode(index, mode)

    def get_digital_in(self, index):
        value = u16(UNTOUCHED)
        result = self.dll.DDSGetDigitalIn(index, ctypes.byref(value))
        return result, value.value

    def set_digital_out(self, index, value):
        return self.dll.DDSSetDigitalOut(index, value)

    def set_power_on_output(self, index, mode):
        return self.dll.DDSSetPowerOnOutput(index, mode)
