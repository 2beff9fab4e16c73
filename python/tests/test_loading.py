"""Finding the library, the package's version and packaging, the trace switch."""

import ctypes
import os
import re
import shutil
import subprocess
import sys

import pytest
from conftest import PYTHON_DIR, REPO, library_calls, run_python

import velmar_dds
from velmar_dds import _library

WHICH_LIBRARY = "import velmar_dds._library as l\nl.library()\nprint(l._loaded._name)"


def refusing_loader(winerror=None):
    def load(target):
        error = OSError(f"{target}: cannot open shared object file")
        error.winerror = winerror
        raise error

    return load


def built_library_folder():
    """The folder of the session library this suite runs against."""
    return os.path.dirname(_library.library()._name)


def legacy_library():
    """libVelmarDll of the same build: its real file, not a link."""
    names = [n for n in os.listdir(built_library_folder()) if n.startswith("libVelmarDll.so.1.")]
    assert names, built_library_folder()
    return os.path.join(built_library_folder(), names[0])


@pytest.mark.parametrize(
    "named",
    [
        lambda: legacy_library(),  # what users set when the package used VelmarDll
        lambda: os.path.join(built_library_folder(), "libVelmarDll.so"),
        lambda: os.path.join(built_library_folder(), "libvelmardds.so.1"),
        lambda: os.path.join(built_library_folder(), "libvelmardds.so"),
    ],
)
def test_the_variable_names_either_library(named):
    """VELMAR_DDS_LIBRARY may name the session library or the VelmarDll
    library beside it: either way the session library is loaded."""
    result = run_python(WHICH_LIBRARY, env=dict(os.environ, VELMAR_DDS_LIBRARY=named()))
    loaded = result.stdout.strip()
    assert os.path.dirname(loaded) == built_library_folder(), result.stderr
    assert os.path.basename(loaded).startswith("libvelmardds.so"), loaded


def test_beside_velmardll_without_the_session_library_every_file_is_named(tmp_path):
    alone = tmp_path / "libVelmarDll.so.1"
    shutil.copy(legacy_library(), alone)
    with pytest.raises(velmar_dds.LibraryNotFound) as raised:
        _library.load(environ={"VELMAR_DDS_LIBRARY": str(alone)})
    assert str(raised.value).splitlines() == [
        "the session library (velmardds) was not found. Tried:",
        f"  beside VELMAR_DDS_LIBRARY={alone} ({tmp_path}/libvelmardds.so.1): no such file",
        f"  beside VELMAR_DDS_LIBRARY={alone} ({tmp_path}/libvelmardds.so): no such file",
        "Set VELMAR_DDS_LIBRARY to the full path of libvelmardds.so.1, or of a libVelmarDll.so "
        "with it in the same folder, or unset it to use the installed one.",
    ]


def test_a_session_library_named_by_the_variable_and_missing_is_an_error():
    with pytest.raises(velmar_dds.LibraryNotFound) as raised:
        _library.load(environ={"VELMAR_DDS_LIBRARY": "/nowhere/libvelmardds.so.1"})
    assert str(raised.value).splitlines()[1:3] == [
        "  VELMAR_DDS_LIBRARY=/nowhere/libvelmardds.so.1: no such file",
        "Set VELMAR_DDS_LIBRARY to the full path of libvelmardds.so.1, or of a libVelmarDll.so "
        "with it in the same folder, or unset it to use the installed one.",
    ]


def test_a_library_without_the_session_functions_is_refused():
    with pytest.raises(velmar_dds.LibraryNotFound) as raised:
        _library.declare(ctypes.CDLL(legacy_library()), "libVelmarDll.so.1")
    assert str(raised.value).startswith(
        "libVelmarDll.so.1 is not the session library of this package's version: it has no "
        "velmar_dds_version."
    )


def test_without_a_library_every_place_tried_is_named(tmp_path):
    """The package installed away from any checkout, nothing on the loader's path."""
    shutil.copytree(PYTHON_DIR / "velmar_dds", tmp_path / "velmar_dds")
    env = dict(os.environ, PYTHONPATH=str(tmp_path), LD_LIBRARY_PATH="")
    env.pop("VELMAR_DDS_LIBRARY", None)
    result = run_python(
        "import velmar_dds as v\ntry:\n    v.find()\nexcept v.LibraryNotFound as e:\n    print(e)",
        env=env,
        cwd=tmp_path,
    )
    assert result.stdout.splitlines() == [
        "the session library (velmardds) was not found. Tried:",
        "  VELMAR_DDS_LIBRARY: not set",
        "  the system loader (libvelmardds.so.1): libvelmardds.so.1: cannot open shared object "
        "file: No such file or directory",
        "  the system loader (libvelmardds.so): libvelmardds.so: cannot open shared object file: "
        "No such file or directory",
        "Install it (cmake --install build, then ldconfig), build it in the checkout (make), or "
        "set VELMAR_DDS_LIBRARY to the full path of libvelmardds.so.1.",
    ], result.stderr


def test_a_checkout_falls_back_to_its_build_tree(monkeypatch, tmp_path):
    """The installed library first; the build tree only when the loader has none."""
    monkeypatch.setattr(_library, "checkout_root", lambda: tmp_path)
    built = tmp_path / "build" / "src" / "libvelmardds.so"
    built.parent.mkdir(parents=True)
    built.touch()
    tried = []

    def loader(target):
        tried.append(target)
        return target if os.path.isabs(target) else refusing_loader()(target)

    assert _library.load(environ={}, loader=loader) == str(built)
    assert tried == ["libvelmardds.so.1", "libvelmardds.so", str(built)]


def test_windows_loads_velmardds_beside_velmardll(tmp_path):
    for name in ("VelmarDll.dll", "velmardds.dll"):
        (tmp_path / name).touch()
    named = {"VELMAR_DDS_LIBRARY": str(tmp_path / "VelmarDll.dll")}
    loaded = _library.load(environ=named, platform="win32", loader=lambda target: target)
    assert loaded == str(tmp_path / "velmardds.dll")


def test_windows_names_a_dll_of_the_wrong_width(monkeypatch):
    monkeypatch.setattr(_library, "checkout_root", lambda: None)
    bits = _library.interpreter_bits()
    with pytest.raises(velmar_dds.LibraryNotFound) as raised:
        _library.load(environ={}, platform="win32", loader=refusing_loader(winerror=193))
    message = str(raised.value)
    assert (
        f"the system loader (velmardds.dll): a DLL of the wrong width: this Python is "
        f"{bits}-bit and loads only a {bits}-bit velmardds.dll"
    ) in message
    assert message.endswith(
        f"The velmardds.dll found is not {bits}-bit. Put the {bits}-bit "
        "velmardds.dll on PATH or beside python.exe, or set "
        "VELMAR_DDS_LIBRARY to its full path (or to the VelmarDll.dll beside it)."
    )


def test_the_version_is_the_librarys_and_pip_installs_it(tmp_path):
    header = (REPO / "include" / "velmar" / "dds.h").read_text()
    version = re.search(r'#define VELMAR_DDS_VERSION_STRING "([^"]+)"', header).group(1)
    assert velmar_dds.__version__ == version
    assert velmar_dds.library_version().split(".")[0] == version.split(".")[0]
    # Built from a copy: setuptools builds in the source tree.
    shutil.copytree(PYTHON_DIR, tmp_path / "src", ignore=shutil.ignore_patterns("__pycache__"))
    pip = "-m pip install --quiet --no-index --no-build-isolation --no-deps --target".split()
    target = tmp_path / "site"
    subprocess.run([sys.executable, *pip, target, tmp_path / "src"], check=True, timeout=120)
    installed = target / "velmar_dds"
    assert (installed / "py.typed").exists()
    result = run_python(
        "import importlib.metadata as m, velmar_dds as v\n"
        "print(v.__file__, v.__version__, m.version('velmar-dds'))",
        env=dict(os.environ, PYTHONPATH=str(target)),
        cwd=tmp_path,
    )
    expected = [str(installed / "__init__.py"), version, version]
    assert result.stdout.split() == expected, result.stderr


def test_trace_takes_effect_at_the_next_find(monkeypatch, tmp_path):
    monkeypatch.delenv("VELMAR_DDS_TRACE", raising=False)
    log = tmp_path / "trace.log"
    with velmar_dds.Simulator():
        velmar_dds.trace(log)
        gen = velmar_dds.find()[0]
        gen.read_digital()
        velmar_dds.trace(None)
        assert "VELMAR_DDS_TRACE" not in os.environ
        velmar_dds.find_paths()
        gen.write_digital(1)
    text = log.read_text()
    assert "velmar_dds_get_digital_in = ok" in text
    assert "velmar_dds_set_digital_out" not in text


def test_the_trace_on_stderr_shows_no_call_after_a_failure():
    """As a user would look: VELMAR_DDS_TRACE=stderr, an instrument that
    never answers, and nothing after the failed call."""
    with velmar_dds.Simulator(silent=True):
        result = run_python(
            "import velmar_dds as v\ng = v.Generator(0)\ntry:\n    g.measure_frequency()\n"
            "except v.NoAnswer as e:\n    print(e.words)\ng.close()",
            env=dict(os.environ, VELMAR_DDS_TRACE="stderr"),
        )
    assert result.stdout == "no answer within 1000 ms to the control packet\n", result.stderr
    assert library_calls(result.stderr) == [
        "velmar_dds_find",
        "velmar_dds_open",
        "velmar_dds_measure",
    ]
