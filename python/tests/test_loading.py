"""Finding the library, the package's version and packaging, the trace switch."""

import os
import re
import shutil
import subprocess
import sys

import pytest
from conftest import PYTHON_DIR, REPO, run_python

import velmar_dds
from velmar_dds import _library


def refusing_loader(winerror=None):
    def load(target):
        error = OSError(f"{target}: cannot open shared object file")
        error.winerror = winerror
        raise error

    return load


def test_a_library_named_by_the_variable_and_missing_is_an_error():
    with pytest.raises(velmar_dds.LibraryNotFound) as raised:
        _library.load(environ={"VELMAR_DDS_LIBRARY": "/nowhere/libVelmarDll.so"})
    assert str(raised.value).startswith(
        "VELMAR_DDS_LIBRARY=/nowhere/libVelmarDll.so cannot be loaded: /nowhere/libVelmarDll.so:"
    )
    assert str(raised.value).endswith("or unset it to use the installed one.")


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
        "the VelmarDll library was not found. Tried:",
        "  VELMAR_DDS_LIBRARY: not set",
        "  the system loader (libVelmarDll.so.1): libVelmarDll.so.1: cannot open shared object "
        "file: No such file or directory",
        "  the system loader (libVelmarDll.so): libVelmarDll.so: cannot open shared object file: "
        "No such file or directory",
        "Install it (cmake --install build, then ldconfig), build it in the checkout (make), or "
        "set VELMAR_DDS_LIBRARY to the full path of libVelmarDll.so.",
    ], result.stderr


def test_a_checkout_falls_back_to_its_build_tree(monkeypatch, tmp_path):
    """The installed library first; the build tree only when the loader has none."""
    monkeypatch.setattr(_library, "checkout_root", lambda: tmp_path)
    built = tmp_path / "build" / "src" / "libVelmarDll.so"
    built.parent.mkdir(parents=True)
    built.touch()
    tried = []

    def loader(target):
        tried.append(target)
        return target if os.path.isabs(target) else refusing_loader()(target)

    assert _library.load(environ={}, loader=loader) == str(built)
    assert tried == ["libVelmarDll.so.1", "libVelmarDll.so", str(built)]


def test_windows_names_a_dll_of_the_wrong_width(monkeypatch):
    monkeypatch.setattr(_library, "checkout_root", lambda: None)
    bits = _library.interpreter_bits()
    with pytest.raises(velmar_dds.LibraryNotFound) as raised:
        _library.load(environ={}, platform="win32", loader=refusing_loader(winerror=193))
    message = str(raised.value)
    assert (
        f"the system loader (VelmarDll.dll): a DLL of the wrong width: this Python is "
        f"{bits}-bit and loads only a {bits}-bit VelmarDll.dll"
    ) in message
    assert message.endswith(
        f"The VelmarDll.dll found is not {bits}-bit. Put the {bits}-bit "
        "VelmarDll.dll on PATH or beside python.exe, or set "
        "VELMAR_DDS_LIBRARY to its full path."
    )


def test_the_version_is_the_librarys_and_pip_installs_it(tmp_path):
    header = (REPO / "include" / "VelmarDll.h").read_text()
    version = re.search(r'#define VELMAR_DLL_VERSION_STRING "([^"]+)"', header).group(1)
    assert velmar_dds.__version__ == version
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
        velmar_dds.find()
        gen.write_digital(1)
    text = log.read_text()
    assert "DDSGetDigitalIn = 1" in text and "DDSSetDigitalOut" not in text
