"""Shared helpers for the end-to-end tests: start the real qorvand binary on
loopback, wait for it to listen, read its log, stop it by its process id.

Every wait here is bounded in time; every process started is killed by pid.
"""
import os
import signal
import socket
import subprocess
import tempfile
import time

QORVAND = os.environ.get("QORVAND_BIN", os.path.join(os.path.dirname(__file__), "../../build/qorvand"))
LOOPBACK = "127.0.0.1"
# Sanitized builds run far slower; scale every deadline by this factor.
SLOWDOWN = float(os.environ.get("QORVAND_TEST_SLOWDOWN", "1"))


def deadline(seconds):
    return time.monotonic() + seconds * SLOWDOWN


def free_port():
    """A TCP port that nothing listens on right now."""
    with socket.socket() as probe:
        probe.bind((LOOPBACK, 0))
        return probe.getsockname()[1]


def wait_until(predicate, seconds=5.0, interval=0.01):
    """Polls predicate until it is true or the time runs out; returns its last value."""
    end = deadline(seconds)
    while True:
        value = predicate()
        if value or time.monotonic() > end:
            return value
        time.sleep(interval)


class Qorvand:
    """One running qorvand with its own log file in a temporary folder."""

    def __init__(self, target_port, listen_port=None, target=LOOPBACK, extra_args=(), log_to_stdout=False,
                 stdout=subprocess.DEVNULL, preexec_fn=None):
        self.folder = tempfile.TemporaryDirectory(prefix="qorvand-e2e-")
        self.listen_port = listen_port or free_port()
        self.log_path = "-" if log_to_stdout else os.path.join(self.folder.name, "qorvand.log")
        args = [QORVAND, "-f", self.log_path, *extra_args, target, str(target_port), str(self.listen_port)]
        self.stderr_path = os.path.join(self.folder.name, "stderr.txt")
        self._stderr = open(self.stderr_path, "wb")
        self.process = subprocess.Popen(args, stdout=stdout, stderr=self._stderr, cwd=self.folder.name,
                                        preexec_fn=preexec_fn)
        self.pid = self.process.pid
        if not log_to_stdout and not wait_until(lambda: "Listening...\n" in self.log(), 10):
            self.stop()
            raise RuntimeError("qorvand did not start listening: " + self.stderr())

    def log(self):
        try:
            with open(self.log_path, "r", encoding="ascii", errors="strict") as log_file:
                return log_file.read()
        except FileNotFoundError:
            return ""

    def log_lines(self):
        return self.log().splitlines()

    def stderr(self):
        with open(self.stderr_path, "r", errors="replace") as err:
            return err.read()

    def wait_for_log(self, text, count=1, seconds=10.0):
        """Waits until text stands in the log at least count times."""
        return wait_until(lambda: self.log().count(text) >= count, seconds)

    def connect(self, timeout=10.0):
        return socket.create_connection((LOOPBACK, self.listen_port), timeout=timeout * SLOWDOWN)

    def descriptor_count(self):
        return len(os.listdir(f"/proc/{self.pid}/fd"))

    def thread_count(self):
        return len(os.listdir(f"/proc/{self.pid}/task"))

    def cpu_ticks(self):
        """User plus system CPU time of the whole process, in clock ticks."""
        with open(f"/proc/{self.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])

    def rss_kib(self):
        with open(f"/proc/{self.pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def stop(self):
        if self.process.poll() is None:
            os.kill(self.pid, signal.SIGKILL)
        self.process.wait(timeout=10)
        self._stderr.close()
        self.folder.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def receive_all(sock, seconds=30.0):
    """Reads until end of stream (bounded in time)."""
    end = deadline(seconds)
    chunks = []
    while time.monotonic() < end:
        sock.settimeout(max(0.01, end - time.monotonic()))
        data = sock.recv(65536)
        if not data:
            break
        chunks.append(data)
    return b"".join(chunks)


def receive_exactly(sock, count, seconds=30.0):
    end = deadline(seconds)
    chunks = []
    got = 0
    while got < count and time.monotonic() < end:
        sock.settimeout(max(0.01, end - time.monotonic()))
        data = sock.recv(min(65536, count - got))
        if not data:
            break
        chunks.append(data)
        got += len(data)
    return b"".join(chunks)


class ListeningServer:
    """A plain loopback listener for tests that script the server side by hand."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((LOOPBACK, 0))
        self.sock.listen(128)
        self.port = self.sock.getsockname()[1]

    def accept(self, seconds=10.0):
        self.sock.settimeout(seconds * SLOWDOWN)
        conn, _ = self.sock.accept()
        conn.settimeout(30 * SLOWDOWN)
        return conn

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
