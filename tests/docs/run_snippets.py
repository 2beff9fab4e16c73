#!/usr/bin/python3
"""Runs the code blocks of a Markdown file that are marked as runnable, in order.

A block is runnable when the line before its opening fence is a marker:

    <!-- run -->
    ```sh
    velmar-dds freq 1000 + measure
    ```

The comment does not show where Markdown is rendered, so readers see an
ordinary block. Words after "run:" change how it runs:

    own-sim        no simulator is started for it: the block starts its own, in
                   the library's default device directory (empty here)
    installed      the build is installed under ~/velmar first, as the README's
                   build step does (cmake --install build --prefix ~/velmar)
    file=NAME      the block is only written to NAME, for the blocks after it
    pyvisa         a Python block that talks to velmar-dds-scpi on port 5025,
                   which the runner starts for the simulated instruments
    needs=A,B      programs that must be on PATH, else the block is NOT RUN
    timeout=N      seconds the block may take (default 60)

Languages: sh, bash, shell (run with bash -e -o pipefail), c (compiled with
the build's header and libraries, then run), python (run with
/usr/bin/python3). Unmarked blocks (output, fragments, commands that build or
install) are left alone.

Every block of a file runs in one scratch directory outside the checkout,
with PATH starting at the build's programs, PYTHONPATH at the package,
HOME, TMPDIR and XDG_RUNTIME_DIR in the scratch directory, and, unless the
block says own-sim, VELMAR_DDS_DEVICE_DIR pointing at two simulated
instruments (dds0, dds1) that keep running from block to block.

Exit status: 0 when every block that ran passed, 1 when one failed or the
markers are wrong, 77 when nothing could run.
"""

import argparse
import ctypes
import fcntl
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field

SHELLS = {"sh", "bash", "shell"}
LANGUAGES = SHELLS | {"c", "python"}
OPTIONS = {"own-sim", "installed", "file", "pyvisa", "needs", "timeout"}
MARKER = re.compile(r"^\s*<!--\s*run(?::(?P<options>[^>]*?))?\s*-->\s*$")
FENCE = re.compile(r"^(?P<indent>\s*)(?P<fence>`{3,}|~{3,})(?P<info>[^`]*)$")
SCPI_PORTS = (5025, 5026)
SKIPPED = 77


class MarkerError(Exception):
    pass


@dataclass
class Block:
    path: str
    line: int  # of the opening fence, from 1
    language: str
    code: str
    options: dict = field(default_factory=dict)

    @property
    def where(self):
        return f"{os.path.basename(self.path)}:{self.line}"


def parse_options(text, where):
    options = {}
    for word in (text or "").split():
        name, _, value = word.partition("=")
        if name not in OPTIONS:
            raise MarkerError(f"{where}: unknown option '{name}' in the run marker")
        if name == "timeout":
            if not value.isdigit() or int(value) == 0:
                raise MarkerError(f"{where}: timeout wants whole seconds, not '{value}'")
            options[name] = int(value)
        elif name == "needs":
            if not value:
                raise MarkerError(f"{where}: needs wants program names")
            options[name] = value.split(",")
        elif name == "file":
            if not value or "/" in value:
                raise MarkerError(f"{where}: file wants a name, not '{value}'")
            options[name] = value
        else:
            options[name] = True
    return options


def extract(path, text):
    """The marked blocks of one Markdown text, in order."""
    lines = text.splitlines()
    blocks = []
    pending = None  # (line, options) of a marker waiting for its fence
    i = 0
    while i < len(lines):
        line = lines[i]
        marker = MARKER.match(line)
        opening = FENCE.match(line)
        if marker:
            if pending:
                raise MarkerError(f"{path}:{pending[0]}: run marker not followed by a code block")
            pending = (i + 1, parse_options(marker.group("options"), f"{path}:{i + 1}"))
            i += 1
            continue
        if opening:
            start = i + 1
            indent, fence = opening.group("indent"), opening.group("fence")
            info = opening.group("info").strip()
            closing = re.compile(r"^\s*" + re.escape(fence[0]) + "{" + str(len(fence)) + r",}\s*$")
            body = []
            i += 1
            while i < len(lines) and not closing.match(lines[i]):
                # A block inside a list item is indented with it.
                body.append(lines[i][len(indent):] if lines[i].startswith(indent) else lines[i])
                i += 1
            if i == len(lines):
                raise MarkerError(f"{path}:{start}: code block never closed")
            if pending:
                language = info.split()[0].lower() if info else ""
                if language not in LANGUAGES and "file" not in pending[1]:
                    raise MarkerError(f"{path}:{start}: a block in '{language or 'no language'}'"
                                      f" cannot run (languages: {', '.join(sorted(LANGUAGES))})")
                if pending[1].get("pyvisa") and language != "python":
                    raise MarkerError(f"{path}:{start}: pyvisa marks a python block")
                blocks.append(Block(path, start, language, "\n".join(body) + "\n", pending[1]))
                pending = None
            i += 1
            continue
        if pending and line.strip():
            raise MarkerError(f"{path}:{pending[0]}: run marker not followed by a code block")
        i += 1
    if pending:
        raise MarkerError(f"{path}:{pending[0]}: run marker not followed by a code block")
    return blocks


def bring_loopback_up():
    """Moves this process into a network namespace of its own, with only a
    loopback interface, so that ports 5025 and 111 are free whatever else
    runs on the machine, and into a mount namespace where the machine's
    rpcbind, whose socket is a file, cannot be reached: the server then
    answers VXI-11's portmapper itself. Returns whether the namespaces were
    made (not as root: no), and whether port 111 is the server's to answer."""
    clone_newnet, clone_newns = 0x40000000, 0x00020000
    ms_bind, ms_rec, ms_private = 0x1000, 0x4000, 0x40000
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(clone_newnet | clone_newns) != 0:
        return False, False
    # Only in a namespace whose mounts are private does the bind stay in it;
    # where it cannot be made, INSTR blocks do not run.
    own_portmapper = not os.path.exists("/run/rpcbind.sock") or (
        libc.mount(None, b"/", None, ms_rec | ms_private, None) == 0
        and libc.mount(b"/dev/null", b"/run/rpcbind.sock", None, ms_bind, None) == 0)
    siocgifflags, siocsifflags, iff_up = 0x8913, 0x8914, 0x1
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        request = struct.pack("16sh14x", b"lo", 0)
        flags = struct.unpack("16sh14x", fcntl.ioctl(s, siocgifflags, request))[1]
        # Without loopback up the namespace has no network at all; a failure
        # here is a fault of the runner, not of a snippet.
        fcntl.ioctl(s, siocsifflags, struct.pack("16sh14x", b"lo", flags | iff_up))
    return True, own_portmapper


def port_taken(port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return True
    return False


class Runner:
    def __init__(self, args):
        self.args = args
        self.scratch = tempfile.mkdtemp(prefix="velmar-docs-")
        self.dirs = {}
        for name in ("bin", "home", "tmp", "run", "work", "devices", "state"):
            self.dirs[name] = os.path.join(self.scratch, name)
            os.mkdir(self.dirs[name], 0o700)  # the library keeps state only in a private folder
        for program in (args.tool, args.sim, args.scpi):
            if program:
                os.symlink(program, os.path.join(self.dirs["bin"], os.path.basename(program)))
        self.sim = None
        self.installed = False
        self.counter = 0

    def environment(self, block):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("VELMAR_") and k not in ("PYTHONPATH", "LD_PRELOAD")}
        env.update(
            PATH=self.dirs["bin"] + os.pathsep + env.get("PATH", "/usr/bin:/bin"),
            HOME=self.dirs["home"],
            TMPDIR=self.dirs["tmp"],
            XDG_RUNTIME_DIR=self.dirs["run"],
            PYTHONPATH=self.args.python_path,
            PYTHONDONTWRITEBYTECODE="1",
            VELMAR_DDS_STATE_DIR=self.dirs["state"],
            VELMAR_DDS_LIBRARY=self.args.session_library,
        )
        if not block.options.get("own-sim"):
            env["VELMAR_DDS_DEVICE_DIR"] = self.dirs["devices"]
        return env

    def start_sim(self):
        if self.sim:
            return
        with open(os.path.join(self.scratch, "sim.log"), "w") as log:
            self.sim = subprocess.Popen(
                [self.args.sim, "--dir", self.dirs["devices"], "--count", "2"],
                stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        sockets = [os.path.join(self.dirs["devices"], f"dds{i}") for i in (0, 1)]
        if not wait_until(lambda: all(os.path.exists(s) for s in sockets), 10):
            raise RuntimeError("the simulator did not come up: " + read(log.name))

    def stop(self):
        if self.sim:
            stop_process(self.sim)
        shutil.rmtree(self.scratch, ignore_errors=True)

    def why_not(self, block):
        for program in block.options.get("needs", []):
            if not shutil.which(program, path=self.environment(block)["PATH"]):
                return f"needs {program}, which is not installed"
        if (block.options.get("pyvisa") or "velmar-dds-scpi" in block.code) and not self.args.scpi:
            return "velmar-dds-scpi was not built (Debian: libasio-dev)"
        if block.options.get("pyvisa"):
            probe = subprocess.run([self.args.python, "-c", "import pyvisa, pyvisa_py"],
                                   capture_output=True)
            if probe.returncode != 0:
                return "pyvisa missing (Debian: python3-pyvisa python3-pyvisa-py)"
        if block.options.get("pyvisa") and "::INSTR" in block.code and not self.own_portmapper:
            return "VISA's INSTR needs port 111 and no rpcbind, which the runner has only in" \
                " namespaces of its own"
        if block.options.get("pyvisa") or "velmar-dds-scpi" in block.code:
            taken = [str(p) for p in SCPI_PORTS if port_taken(p)]
            if taken:
                return f"port {', '.join(taken)} is taken by another program on this machine"
        return None

    def run(self, block):
        """Returns (verdict, detail): verdict is passed, FAILED, NOT RUN or written."""
        if "file" in block.options:
            write(os.path.join(self.dirs["work"], block.options["file"]), block.code)
            return "written", block.options["file"]
        reason = self.why_not(block)
        if reason:
            return "NOT RUN", reason
        if block.options.get("installed"):
            self.install()
        if not block.options.get("own-sim"):
            self.start_sim()
        self.counter += 1
        stem = os.path.join(self.dirs["work"], f"block{self.counter}")
        env = self.environment(block)
        limit = block.options.get("timeout", self.args.timeout)
        if block.language in SHELLS:
            write(stem + ".sh", block.code)
            command = ["bash", "-e", "-o", "pipefail", stem + ".sh"]
        elif block.language == "python":
            write(stem + ".py", block.code)
            command = [self.args.python, stem + ".py"]
        else:
            write(stem + ".c", block.code)
            compiled = subprocess.run(
                [self.args.cc, "-Wall", "-Wextra", "-Werror", "-I", self.args.include,
                 "-o", stem, stem + ".c", "-L", self.args.library_dir,
                 "-Wl,-rpath," + self.args.library_dir, "-lvelmardds", "-lVelmarDll", "-lm"],
                capture_output=True, text=True, timeout=limit)
            if compiled.returncode != 0:
                return "FAILED", "does not compile:\n" + compiled.stdout + compiled.stderr
            command = [stem]
        server = self.start_scpi(env) if block.options.get("pyvisa") else None
        try:
            return run_limited(command, self.dirs["work"], env, limit, stem)
        finally:
            if server:
                stop_process(server)

    def install(self):
        if self.installed:
            return
        if not self.args.build_dir:
            raise RuntimeError("a block wants the build installed: give --build-dir")
        prefix = os.path.join(self.dirs["home"], "velmar")
        done = subprocess.run([self.args.cmake, "--install", self.args.build_dir, "--prefix", prefix],
                              capture_output=True, text=True, timeout=120)
        if done.returncode != 0:
            raise RuntimeError("cmake --install failed:\n" + tail(done.stdout + done.stderr))
        self.installed = True

    def start_scpi(self, env):
        log_path = os.path.join(self.scratch, "scpi.log")
        log = open(log_path, "w")
        server = subprocess.Popen([self.args.scpi], env=env, stdout=log, stderr=subprocess.STDOUT,
                                  start_new_session=True)
        listening = f"instrument 1 on 127.0.0.1:{SCPI_PORTS[1]}"
        up = wait_until(lambda: listening in read(log_path) or server.poll() is not None, 10)
        log.close()
        if not up or server.poll() is not None:
            stop_process(server)
            raise RuntimeError("velmar-dds-scpi did not come up: " + read(log_path))
        return server


def run_limited(command, cwd, env, limit, stem):
    """Runs a block's program in a process group of its own, so that whatever
    it left running (a simulator started with &) ends with it."""
    with open(stem + ".out", "w") as out:
        process = subprocess.Popen(command, cwd=cwd, env=env, stdout=out, stderr=subprocess.STDOUT,
                                   stdin=subprocess.DEVNULL, start_new_session=True)
        started = time.monotonic()
        try:
            status = process.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            status = None
        kill_group(process)
    seconds = time.monotonic() - started
    output = read(stem + ".out")
    if status is None:
        return "FAILED", f"still running after {limit} s, stopped\n{output}"
    if status != 0:
        return "FAILED", f"exit status {status} ({seconds:.1f} s)\n{output}"
    return "passed", f"{seconds:.1f} s\n" + "".join("    " + line for line in output.splitlines(True))


def kill_group(process):
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    process.wait()


def stop_process(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            pass
    kill_group(process)


def wait_until(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


def tail(text, lines=40):
    kept = text.splitlines()
    if len(kept) <= lines:
        return text
    return f"[{len(kept) - lines} lines left out]\n" + "\n".join(kept[-lines:])


def read(path):
    with open(path, errors="replace") as f:
        return f.read()


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("markdown", nargs="+")
    parser.add_argument("--list", action="store_true", help="only list the marked blocks")
    parser.add_argument("--tool", help="velmar-dds")
    parser.add_argument("--sim", help="velmar-dds-sim")
    parser.add_argument("--scpi", help="velmar-dds-scpi (optional)")
    parser.add_argument("--library-dir", help="where libvelmardds and libVelmarDll are")
    parser.add_argument("--session-library", help="libvelmardds, for the Python package")
    parser.add_argument("--include", help="the public headers")
    parser.add_argument("--python-path", help="the folder holding velmar_dds")
    parser.add_argument("--build-dir", help="the build tree, installed for blocks that say so")
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--python", default="/usr/bin/python3")
    parser.add_argument("--cc", default=os.environ.get("CC", "cc"))
    parser.add_argument("--timeout", type=int, default=60, help="seconds per block (default 60)")
    args = parser.parse_args()

    try:
        blocks = [b for path in args.markdown for b in extract(path, read(path))]
    except MarkerError as error:
        print(f"run_snippets: {error}")
        return 1
    if not blocks:
        print("run_snippets: no block marked <!-- run --> in " + ", ".join(args.markdown))
        return 1
    if args.list:
        for block in blocks:
            options = " ".join(sorted(block.options))
            print(f"{block.where} {block.language}{' ' + options if options else ''}")
        return 0
    missing = [name for name in ("tool", "sim", "library_dir", "session_library", "include",
                                 "python_path") if not getattr(args, name)]
    if missing:
        parser.error("running blocks needs --" + ", --".join(m.replace("_", "-") for m in missing))

    isolated, own_portmapper = bring_loopback_up()
    if not isolated:
        print("run_snippets: no network namespace of our own (not root): SCPI blocks use this"
              " machine's ports 5025 and 5026")
    runner = Runner(args)
    runner.own_portmapper = own_portmapper
    counts = {"passed": 0, "FAILED": 0, "NOT RUN": 0, "written": 0}
    try:
        for block in blocks:
            try:
                verdict, detail = runner.run(block)
            except (RuntimeError, OSError, subprocess.SubprocessError) as error:
                verdict, detail = "FAILED", str(error)
            counts[verdict] += 1
            print(f"{block.where} ({block.language}): {verdict}: {tail(detail)}".rstrip(), flush=True)
            if verdict == "FAILED":
                print("---- the block:\n" + block.code + "----", flush=True)
    finally:
        runner.stop()
    print(f"{counts['passed']} passed, {counts['FAILED']} failed, {counts['NOT RUN']} skipped")
    if counts["FAILED"]:
        return 1
    return SKIPPED if not counts["passed"] else 0


if __name__ == "__main__":
    sys.exit(main())
