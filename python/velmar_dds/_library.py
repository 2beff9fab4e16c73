"""Loading the session library (velmardds) and declaring its functions.

The library is loaded once per process, at the first call that needs it, so
that `import velmar_dds` works (waves, the simulator) where it is missing.
This file is the one ctypes declaration of the session API: the package and
its tests take every signature and structure from here.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import struct
import sys
import threading
from pathlib import Path
from typing import Callable, Dict, List, Mapping, Optional, Tuple

from ._errors import LibraryNotFound, error_for

LIBRARY_VARIABLE = "VELMAR_DDS_LIBRARY"
TRACE_VARIABLE = "VELMAR_DDS_TRACE"
# The major version this package is written against; any minor of it will do.
MAJOR_VERSION = 1


class PlanStruct(ctypes.Structure):
    """struct velmar_dds_plan."""

    _fields_ = [
        ("requested_hz", ctypes.c_double),
        ("planned_hz", ctypes.c_double),
        ("produced_hz", ctypes.c_double),
        ("sample_clock_hz", ctypes.c_double),
        ("divider", ctypes.c_uint16),
        ("length", ctypes.c_int32),
        ("periods", ctypes.c_int32),
        ("playback", ctypes.c_int),
    ]


class StateStruct(ctypes.Structure):
    """struct velmar_dds_state."""

    _fields_ = [
        ("control_word", ctypes.c_uint16),
        ("digital_out", ctypes.c_uint16),
        ("divider", ctypes.c_uint16),
        ("last_wave_length", ctypes.c_int32),
        ("last_divider", ctypes.c_int32),
        ("reported_clock_hz", ctypes.c_double),
        ("sample_clock_hz", ctypes.c_double),
    ]


LOG_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p)

_int = ctypes.c_int
_u16 = ctypes.c_uint16
_ptr = ctypes.c_void_p  # a handle or a list: opaque, passed back as it came
_out_ptr = ctypes.POINTER(ctypes.c_void_p)
_int_ptr = ctypes.POINTER(ctypes.c_int)
# The samples are passed as a plain address, so that a numpy array or an
# array.array is handed over without a copy.
SIGNATURES: Dict[str, Tuple[Optional[type], List[type]]] = {
    "velmar_dds_version": (ctypes.c_char_p, [_int_ptr, _int_ptr, _int_ptr]),
    "velmar_dds_strerror": (ctypes.c_char_p, [_int]),
    "velmar_dds_last_message": (ctypes.c_char_p, []),
    "velmar_dds_set_log_callback": (None, [LOG_CALLBACK, ctypes.c_void_p]),
    "velmar_dds_find": (_int, [_out_ptr]),
    "velmar_dds_list_count": (ctypes.c_size_t, [_ptr]),
    "velmar_dds_list_path": (ctypes.c_char_p, [_ptr, ctypes.c_size_t]),
    "velmar_dds_list_free": (None, [_ptr]),
    "velmar_dds_open": (_int, [ctypes.c_char_p, _out_ptr]),
    "velmar_dds_open_position": (_int, [_int, _out_ptr]),
    "velmar_dds_close": (None, [_ptr]),
    "velmar_dds_path": (ctypes.c_char_p, [_ptr]),
    "velmar_dds_set_timeout": (_int, [_ptr, ctypes.c_uint]),
    "velmar_dds_timeout": (ctypes.c_uint, [_ptr]),
    "velmar_dds_check": (_int, [_ptr]),
    "velmar_dds_plan_frequency": (_int, [ctypes.c_double, ctypes.POINTER(PlanStruct)]),
    "velmar_dds_set_frequency": (_int, [_ptr, ctypes.c_double, ctypes.POINTER(PlanStruct)]),
    "velmar_dds_set_divider": (_int, [_ptr, _u16]),
    "velmar_dds_get_state": (_int, [_ptr, ctypes.POINTER(StateStruct)]),
    "velmar_dds_download": (_int, [_ptr, ctypes.c_void_p, _int]),
    "velmar_dds_measure": (_int, [_ptr, _int, ctypes.POINTER(ctypes.c_double)]),
    "velmar_dds_reset_counter": (_int, [_ptr]),
    "velmar_dds_set_single_wave": (_int, [_ptr, _int]),
    "velmar_dds_set_trigger": (_int, [_ptr, _int, _int]),
    "velmar_dds_set_dio_mode": (_int, [_ptr, _int]),
    "velmar_dds_set_digital_out": (_int, [_ptr, _u16]),
    "velmar_dds_get_digital_in": (_int, [_ptr, ctypes.POINTER(_u16)]),
    "velmar_dds_set_power_on_output": (_int, [_ptr, _int]),
}

_loaded: Optional[ctypes.CDLL] = None
_loading = threading.Lock()


def checkout_root() -> Optional[Path]:
    """The source tree this package lies in when it is used from a checkout
    (python/velmar_dds/ inside it), else None."""
    root = Path(__file__).resolve().parents[2]
    return root if (root / "include" / "velmar" / "dds.h").is_file() else None


def interpreter_bits() -> int:
    return struct.calcsize("P") * 8


def session_names(platform: str) -> Tuple[str, ...]:
    """The session library's file names, the run-time name first: a system
    without the -dev files has only it."""
    return ("velmardds.dll",) if platform == "win32" else ("libvelmardds.so.1", "libvelmardds.so")


def _names_the_session_library(path: str) -> bool:
    return "velmardds" in os.path.basename(path).lower()


def _reason(error: OSError, bits: int) -> str:
    # ERROR_BAD_EXE_FORMAT: the DLL is of the other width.
    if getattr(error, "winerror", None) == 193:
        return (
            f"a DLL of the wrong width: this Python is {bits}-bit and loads only a "
            f"{bits}-bit velmardds.dll"
        )
    return str(error)


def _candidates(environ: Mapping[str, str], platform: str) -> List[Tuple[str, str]]:
    """(description, what to load) for each place, in the order tried.

    $VELMAR_DDS_LIBRARY names the session library itself, or (as it did when
    the package used VelmarDll) the VelmarDll library, beside which the
    session library is installed and built; when it is set nothing else is
    tried. Else the system loader, then the checkout's build tree."""
    explicit = environ.get(LIBRARY_VARIABLE)
    if explicit:
        path = os.path.abspath(explicit)
        if _names_the_session_library(path):
            return [(f"{LIBRARY_VARIABLE}={explicit}", path)]
        beside = [os.path.join(os.path.dirname(path), n) for n in session_names(platform)]
        return [(f"beside {LIBRARY_VARIABLE}={explicit} ({b})", b) for b in beside]
    places: List[Tuple[str, str]] = []
    if platform == "win32":
        on_path = ctypes.util.find_library("velmardds")
        if on_path:
            places.append((f"PATH ({on_path})", on_path))
    for name in session_names(platform):
        places.append((f"the system loader ({name})", name))
    root = checkout_root()
    if root is not None:
        if platform == "win32":
            built = root / f"build-win{interpreter_bits()}" / "src" / "velmardds.dll"
        else:
            built = root / "build" / "src" / "libvelmardds.so"
        places.append((f"the build tree ({built})", str(built)))
    return places


def _fix(environ: Mapping[str, str], platform: str, width_mismatch: bool) -> str:
    bits = interpreter_bits()
    if platform == "win32":
        fix = (
            f"Put the {bits}-bit velmardds.dll on PATH or beside python.exe, or set "
            f"{LIBRARY_VARIABLE} to its full path (or to the VelmarDll.dll beside it)."
        )
        return (f"The velmardds.dll found is not {bits}-bit. " + fix) if width_mismatch else fix
    if environ.get(LIBRARY_VARIABLE):
        return (
            f"Set {LIBRARY_VARIABLE} to the full path of libvelmardds.so.1, or of a "
            "libVelmarDll.so with it in the same folder, or unset it to use the installed one."
        )
    return (
        "Install it (cmake --install build, then ldconfig), build it in the checkout "
        f"(make), or set {LIBRARY_VARIABLE} to the full path of libvelmardds.so.1."
    )


def load(
    environ: Mapping[str, str] = os.environ,
    platform: str = sys.platform,
    loader: Optional[Callable[[str], ctypes.CDLL]] = None,
) -> ctypes.CDLL:
    """Loads the session library from the first place that has it (see
    _candidates). The library uses the C calling convention on both Windows
    widths. Raises LibraryNotFound naming every place tried."""
    if loader is None:
        loader = ctypes.CDLL
    bits = interpreter_bits()
    tried = [] if environ.get(LIBRARY_VARIABLE) else [f"  {LIBRARY_VARIABLE}: not set"]
    width_mismatch = False
    for place, target in _candidates(environ, platform):
        if os.path.isabs(target) and not os.path.exists(target):
            tried.append(f"  {place}: no such file")
            continue
        try:
            return loader(target)
        except OSError as error:
            width_mismatch = width_mismatch or getattr(error, "winerror", None) == 193
            tried.append(f"  {place}: {_reason(error, bits)}")
    raise LibraryNotFound(
        "the session library (velmardds) was not found. Tried:\n"
        + "\n".join(tried)
        + "\n"
        + _fix(environ, platform, width_mismatch)
    )


def declare(dll: ctypes.CDLL, where: str = "the library") -> ctypes.CDLL:
    """Types every function of the session API on `dll`; LibraryNotFound when
    it lacks one or is of another major version."""
    for name, (restype, argtypes) in SIGNATURES.items():
        try:
            function = getattr(dll, name)
        except AttributeError:
            raise LibraryNotFound(
                f"{where} is not the session library of this package's version: it has no "
                f"{name}. Set {LIBRARY_VARIABLE} to libvelmardds.so.1 (velmardds.dll) "
                f"{MAJOR_VERSION}.x."
            ) from None
        function.restype = restype
        function.argtypes = argtypes
    major = ctypes.c_int()
    version = dll.velmar_dds_version(ctypes.byref(major), None, None).decode()
    if major.value != MAJOR_VERSION:
        raise LibraryNotFound(
            f"{where} is version {version}; this package needs {MAJOR_VERSION}.x"
        )
    return dll


def library() -> ctypes.CDLL:
    """The process's session library, loaded at the first call, its
    functions typed."""
    global _loaded
    if _loaded is None:
        with _loading:
            if _loaded is None:
                dll = load()
                _loaded = declare(dll, getattr(dll, "_name", "the library"))
    return _loaded


def last_message(dll: ctypes.CDLL) -> str:
    """The calling thread's last failure in the library's words."""
    words = dll.velmar_dds_last_message()
    return os.fsdecode(words) if words else ""


def raise_failure(dll: ctypes.CDLL, code: int, function: str, path: Optional[str]) -> None:
    """Raises the exception for `code`, which `function` just returned on
    this thread. Makes no other call into the library: what the library
    said is all there is to say."""
    words = last_message(dll) or dll.velmar_dds_strerror(code).decode()
    raise error_for(code, function, path, words)


def version() -> str:
    """The session library's version, e.g. "1.1.0"."""
    return str(library().velmar_dds_version(None, None, None).decode())


def trace(destination: Optional[str | os.PathLike[str]]) -> None:
    """Sets the library's trace for this process: "stderr", a file path,
    "debug" (Windows: the debugger output), or None or "" to switch it off.

    It only sets (or clears) $VELMAR_DDS_TRACE in os.environ; the library
    reads it when it is loaded and at every search, so it takes effect at the
    next find() (or Generator opened by position).
    """
    if destination is None or destination == "":
        os.environ.pop(TRACE_VARIABLE, None)
        return
    if not isinstance(destination, (str, os.PathLike)):
        raise TypeError(f"trace destination must be a string or a path, not {destination!r}")
    os.environ[TRACE_VARIABLE] = os.fspath(destination)
