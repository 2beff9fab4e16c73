"""Loading the VelmarDll library and declaring its fifteen functions.

The library is loaded once per process, at the first call that needs it, so
that `import velmar_dds` works (waves, the simulator) where it is missing.
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

from ._errors import LibraryNotFound

LIBRARY_VARIABLE = "VELMAR_DDS_LIBRARY"
TRACE_VARIABLE = "VELMAR_DDS_TRACE"

# One lock around each operation of this package. The library serialises
# each call, but several operations are more than one call (a frequency
# setting and the divider it chose, a plan and its download), and no other
# thread's call may come between them.
LOCK = threading.RLock()

_i32 = ctypes.c_int32
_u16 = ctypes.c_uint16
_f64 = ctypes.c_double
# The samples of DDSDownload are passed as a plain address, so that a numpy
# array or an array.array is handed over without a copy.
SIGNATURES: Dict[str, Tuple[type, List[type]]] = {
    "DDSSearch": (_i32, []),
    "DDSCheck": (_i32, [_i32]),
    "DDSSetFrequency": (_i32, [_i32, _f64, ctypes.POINTER(_i32), ctypes.POINTER(_i32)]),
    "DDSGetCLK": (_f64, []),
    "DDSGetDivNum": (_i32, []),
    "DDSSetDivNum": (_i32, [_i32, _u16]),
    "DDSDownload": (_i32, [_i32, ctypes.c_void_p, _i32]),
    "DDSGetMeasure": (_i32, [_i32, _i32, ctypes.POINTER(_f64)]),
    "DDSResetCounter": (_i32, [_i32]),
    "DDSSetSingleWave": (_i32, [_i32, _i32]),
    "DDSSetTrigger": (_i32, [_i32, _i32, _i32]),
    "DDSSetDIOMode": (_i32, [_i32, _i32]),
    "DDSGetDigitalIn": (_i32, [_i32, ctypes.POINTER(_u16)]),
    "DDSSetDigitalOut": (_i32, [_i32, _u16]),
    "DDSSetPowerOnOutput": (_i32, [_i32, _i32]),
}

_loaded: Optional[ctypes.CDLL] = None


def checkout_root() -> Optional[Path]:
    """The source tree this package lies in when it is used from a checkout
    (python/velmar_dds/ inside it), else None."""
    root = Path(__file__).resolve().parents[2]
    return root if (root / "include" / "VelmarDll.h").is_file() else None


def interpreter_bits() -> int:
    return struct.calcsize("P") * 8


def _windows_width_note(error: OSError, bits: int) -> str:
    # ERROR_BAD_EXE_FORMAT: the DLL is of the other width.
    if getattr(error, "winerror", None) == 193:
        return (
            f"a DLL of the wrong width: this Python is {bits}-bit and loads only a "
            f"{bits}-bit VelmarDll.dll"
        )
    return str(error)


def _candidates(environ: Mapping[str, str], platform: str) -> List[Tuple[str, str]]:
    """(description, what to load) for each place, in the order tried."""
    windows = platform == "win32"
    places: List[Tuple[str, str]] = []
    if windows:
        on_path = ctypes.util.find_library("VelmarDll")
        if on_path:
            places.append((f"PATH ({on_path})", on_path))
        places.append(("the system loader (VelmarDll.dll)", "VelmarDll.dll"))
    else:
        # The run-time name first: a system without the -dev files has only it.
        for name in ("libVelmarDll.so.1", "libVelmarDll.so"):
            places.append((f"the system loader ({name})", name))
    root = checkout_root()
    if root is not None:
        if windows:
            built = root / f"build-win{interpreter_bits()}" / "src" / "VelmarDll.dll"
        else:
            built = root / "build" / "src" / "libVelmarDll.so"
        places.append((f"the build tree ({built})", str(built)))
    return places


def load(
    environ: Mapping[str, str] = os.environ,
    platform: str = sys.platform,
    loader: Optional[Callable[[str], ctypes.CDLL]] = None,
) -> ctypes.CDLL:
    """Loads the library from the first place that has it:
    $VELMAR_DDS_LIBRARY (a full path; when set, nothing else is tried), then
    the installed library through the system loader, then the build tree of
    the checkout this package lies in. Raises LibraryNotFound naming every
    place tried."""
    windows = platform == "win32"
    if loader is None:
        loader = ctypes.WinDLL if windows else ctypes.CDLL  # type: ignore[attr-defined]
    bits = interpreter_bits()
    explicit = environ.get(LIBRARY_VARIABLE)
    if explicit:
        path = os.path.abspath(explicit)
        try:
            return loader(path)
        except OSError as error:
            reason = _windows_width_note(error, bits) if windows else str(error)
            raise LibraryNotFound(
                f"{LIBRARY_VARIABLE}={explicit} cannot be loaded: {reason}. Set it to the full "
                f"path of the library, or unset it to use the installed one."
            ) from None
    tried = [f"  {LIBRARY_VARIABLE}: not set"]
    width_mismatch = False
    for place, target in _candidates(environ, platform):
        if os.path.isabs(target) and not os.path.exists(target):
            tried.append(f"  {place}: no such file")
            continue
        try:
            return loader(target)
        except OSError as error:
            width_mismatch = width_mismatch or getattr(error, "winerror", None) == 193
            tried.append(f"  {place}: {_windows_width_note(error, bits) if windows else error}")
    if windows:
        fix = (
            f"Put the {bits}-bit VelmarDll.dll on PATH or beside python.exe, or set "
            f"{LIBRARY_VARIABLE} to its full path."
        )
        if width_mismatch:
            fix = f"The VelmarDll.dll found is not {bits}-bit. " + fix
    else:
        fix = (
            "Install it (cmake --install build, then ldconfig), build it in the checkout "
            f"(make), or set {LIBRARY_VARIABLE} to the full path of libVelmarDll.so."
        )
    raise LibraryNotFound(
        "the VelmarDll library was not found. Tried:\n" + "\n".join(tried) + "\n" + fix
    )


def library() -> ctypes.CDLL:
    """The process's library, loaded at the first call, its functions typed."""
    global _loaded
    with LOCK:
        if _loaded is None:
            dll = load()
            for name, (restype, argtypes) in SIGNATURES.items():
                function = getattr(dll, name)
                function.restype = restype
                function.argtypes = argtypes
            _loaded = dll
        return _loaded


def trace(destination: Optional[str | os.PathLike[str]]) -> None:
    """Sets the library's trace for this process: "stderr", a file path,
    "debug" (Windows: the debugger output), or None or "" to switch it off.

    It only sets (or clears) $VELMAR_DDS_TRACE in os.environ; the library
    reads it when it is loaded and at every search, so it takes effect at the
    next find(). A library without a trace ignores it.
    """
    if destination is None or destination == "":
        os.environ.pop(TRACE_VARIABLE, None)
        return
    if not isinstance(destination, (str, os.PathLike)):
        raise TypeError(f"trace destination must be a string or a path, not {destination!r}")
    os.environ[TRACE_VARIABLE] = os.fspath(destination)
