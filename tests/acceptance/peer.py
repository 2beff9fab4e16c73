"""A scripted instrument on the far side of the socket transport: a thread
serving SOCK_SEQPACKET sockets in a temporary device directory. It records
every message of every connection and answers as the test scripted it."""

import collections
import os
import select
import shutil
import socket
import struct
import tempfile
import threading
import time

CONTROL = 0xA0
LENGTH = 0xA1
POWER_ON = 0xA2
ACK = b"\x5a"  # any value: the caller must not look at it

# Replies to one message.
NORMAL = ("normal",)  # a report after a 7-byte control packet, an ack after anything else
NOTHING = ("nothing",)  # no answer: the caller's read has to time out
HANG_UP = ("hang_up",)  # close the connection without answering


def answer(data):
    """Exactly these bytes as one message (may be short or empty)."""
    return ("bytes", bytes(data))


def control_packet(word=0, digital_out=0, divider=0):
    return struct.pack("<BHHH", CONTROL, word, digital_out, divider)


def length_header(word):
    return struct.pack("<BH", LENGTH, word)


def status_report(digital_in=0, count=0, period=0):
    return struct.pack("<HII", digital_in, count, period)


def control_word(packet):
    assert len(packet) == 7 and packet[0] == CONTROL, packet.hex()
    return struct.unpack_from("<H", packet, 1)[0]


class Connection:
    def __init__(self):
        self.messages = []  # (bytes, monotonic time, arrival number)
        self.closed_by_caller = False
        self.hung_up = False


class Instrument:
    def __init__(self, path, sock):
        self.path = path
        self.sock = sock
        self.report = bytes(10)
        self.script = collections.deque()
        self.hang_up_on_accept = False
        self.connections = []


class Peer:
    POLL_MS = 5

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="velmar-acc-")
        self._cv = threading.Condition()
        self._instruments = {}
        self._open = {}  # fd -> (socket, instrument, Connection)
        self._idle = 0
        self._seq = 0
        self._stop = False
        self._wake_r, self._wake_w = os.pipe()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def close(self):
        with self._cv:
            self._stop = True
        os.write(self._wake_w, b"x")
        self._thread.join()
        for sock, _, _ in self._open.values():
            sock.close()
        for ins in self._instruments.values():
            if ins.sock is not None:
                ins.sock.close()
        os.close(self._wake_r)
        os.close(self._wake_w)
        shutil.rmtree(self.root, ignore_errors=True)

    def add(self, name):
        """Serves an instrument at root/name; sub-directories are created.
        Paths too long for a socket address are bound relative to their
        directory."""
        path = os.path.join(self.root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        if len(path.encode()) >= 108:
            cwd = os.getcwd()
            os.chdir(os.path.dirname(path))
            try:
                sock.bind(os.path.basename(path))
            finally:
                os.chdir(cwd)
        else:
            sock.bind(path)
        sock.listen(64)
        sock.setblocking(False)
        with self._cv:
            self._instruments[name] = Instrument(path, sock)
        os.write(self._wake_w, b"x")

    def remove_socket_file(self, name):
        os.unlink(self._instruments[name].path)

    def stop_listening(self, name):
        with self._cv:
            ins = self._instruments[name]
            sock, ins.sock = ins.sock, None
            target = self._idle + 2
            os.write(self._wake_w, b"x")
            self._cv.wait_for(lambda: self._idle >= target, 5)
        sock.close()

    def set_report(self, name, report):
        with self._cv:
            self._instruments[name].report = bytes(report)

    def script(self, name, replies):
        with self._cv:
            self._instruments[name].script = collections.deque(replies)

    def hang_up_on_accept(self, name, on=True):
        with self._cv:
            self._instruments[name].hang_up_on_accept = on

    def settle(self):
        """Waits until everything the caller did so far has been handled: a
        poll that began after this call and found nothing to do."""
        with self._cv:
            target = self._idle + 2
            self._cv.wait_for(lambda: self._idle >= target, 10)

    def connections(self, name):
        self.settle()
        with self._cv:
            return list(self._instruments[name].connections)

    def messages(self, name):
        return [m[0] for c in self.connections(name) for m in c.messages]

    def timed_messages(self, name):
        return [m for c in self.connections(name) for m in c.messages]

    def _serve(self):
        while True:
            poller = select.poll()
            listeners = {}
            with self._cv:
                if self._stop:
                    return
                poller.register(self._wake_r, select.POLLIN)
                for ins in self._instruments.values():
                    if ins.sock is not None:
                        listeners[ins.sock.fileno()] = ins
                        poller.register(ins.sock, select.POLLIN)
                for fd in self._open:
                    poller.register(fd, select.POLLIN)
            events = poller.poll(self.POLL_MS)
            with self._cv:
                if not events:
                    self._idle += 1
                    self._cv.notify_all()
                    continue
                for fd, _ in events:
                    if fd == self._wake_r:
                        os.read(self._wake_r, 4096)
                    elif fd in listeners:
                        if listeners[fd].sock is not None:
                            self._accept(listeners[fd])
                    elif fd in self._open:
                        self._receive(fd)

    def _accept(self, ins):
        while True:
            try:
                conn_sock, _ = ins.sock.accept()
            except (BlockingIOError, InterruptedError):
                return
            conn = Connection()
            ins.connections.append(conn)
            if ins.hang_up_on_accept:
                conn.hung_up = True
                conn_sock.close()
                continue
            conn_sock.setblocking(False)
            self._open[conn_sock.fileno()] = (conn_sock, ins, conn)

    def _receive(self, fd):
        sock, ins, conn = self._open[fd]
        try:
            data = sock.recv(65536)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            data = b""
        if not data:
            conn.closed_by_caller = True
            del self._open[fd]
            sock.close()
            return
        conn.messages.append((data, time.monotonic(), self._seq))
        self._seq += 1
        reply = ins.script.popleft() if ins.script else NORMAL
        if reply[0] == "normal":
            out = ins.report if (len(data) == 7 and data[0] == CONTROL) else ACK
        elif reply[0] == "bytes":
            out = reply[1]
        elif reply[0] == "nothing":
            return
        else:
            conn.hung_up = True
            del self._open[fd]
            sock.close()
            return
        try:
            sock.send(out)
        except OSError:
            pass
