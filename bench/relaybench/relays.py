"""The relays compared, and one fresh relay process per run with its own ports and log."""
import dataclasses
import os
import signal
import subprocess
import sys
import time

from .build import QORVAND
from .procfs import children_of, free_ports, is_listening, socket_count


@dataclasses.dataclass(frozen=True)
class RelayKind:
    """How to start one relay: its command with {log}, {pcap}, {sink} and {listen} standing for its log file, its
    capture file and its ports."""
    name: str
    command: tuple = ()  # none for direct: the client connects to the sink itself
    log_on_stderr: bool = False  # socat -v writes its log to standard error
    slow: bool = False  # logs so slowly that bulk workloads send it less and real peers skip it
    is_qorvand: bool = False  # gets ratio columns against the others and goal lines
    checks_log: bool = False  # its log must hold every bulk text line


def qorvand(name, *arguments, checks_log=False):
    """qorvand with extra arguments ahead of the usual ones."""
    return RelayKind(name, (QORVAND, *arguments, "-f", "{log}", "127.0.0.1", "{sink}", "{listen}"), is_qorvand=True,
                     checks_log=checks_log)


SOCAT_ADDRESSES = ("TCP-LISTEN:{listen},fork,reuseaddr", "TCP:127.0.0.1:{sink}")
# A qorvand variant is one more line here, e.g. qorvand("qorvand -a", "-a").
RELAYS = [
    RelayKind("direct"),
    RelayKind("socat", ("socat", *SOCAT_ADDRESSES)),
    RelayKind("socat -v", ("socat", "-v", *SOCAT_ADDRESSES), log_on_stderr=True, slow=True),
    qorvand("qorvand", checks_log=True),
    qorvand("qorvand -a", "-a"),
    qorvand("qorvand -x", "-x"),
    qorvand("qorvand --pcap", "--pcap", "{pcap}"),
]


class Relay:
    """One fresh relay process (or none, for direct) with its own ports and log."""

    def __init__(self, kind, workdir, pinned):
        self.kind = kind
        self.sink_port, self.listen_port = free_ports(2)
        self.log_path = os.path.join(workdir, "relay.log")
        self.capture_path = os.path.join(workdir, "relay.pcapng")
        self.process = None
        if not kind.command:
            self.listen_port = self.sink_port
            return
        prefix = ["taskset", "-c", "0"] if pinned else []
        places = {"log": self.log_path, "pcap": self.capture_path, "sink": self.sink_port, "listen": self.listen_port}
        command = [part.format(**places) for part in kind.command]
        err = open(self.log_path, "wb") if kind.log_on_stderr else subprocess.DEVNULL
        self.process = subprocess.Popen(prefix + command, stdout=subprocess.DEVNULL, stderr=err,
                                        start_new_session=True)
        deadline = time.time() + 10
        while not is_listening(self.listen_port):
            if time.time() > deadline or self.process.poll() is not None:
                self.stop()
                raise RuntimeError(f"{kind.name} did not start listening on {self.listen_port}")
            time.sleep(0.01)
        self.idle_sockets = socket_count(self.pid)

    @property
    def pid(self):
        return self.process.pid if self.process else None

    def settle(self, timeout):
        """Waits until the relay has let go of finished connections: no children, and no more sockets than it held
        before its first client (qorvand keeps threads waiting for the next connection: threads tell nothing)."""
        if not self.process:
            return
        deadline = time.time() + timeout
        while time.time() < deadline:
            if socket_count(self.pid) <= self.idle_sockets and not children_of(self.pid):
                return
            time.sleep(0.1)

    def stop(self):
        """Ends the relay; returns its CPU seconds over its life, its threads and reaped children included."""
        if not self.process or self.process.returncode is not None:
            return None
        try:
            os.killpg(self.process.pid, signal.SIGKILL)  # the relay and any forked children still alive
        except ProcessLookupError:
            pass
        _, status, usage = os.wait4(self.process.pid, 0)
        self.process.returncode = -signal.SIGKILL
        return usage.ru_utime + usage.ru_stime



def start_relay(kind, workdir, pinned):
    """A free port can be taken between choosing and binding it: then try other ports."""
    for attempt in range(5):
        try:
            return Relay(kind, workdir, pinned)
        except RuntimeError as error:
            print(f"{error}; trying other ports", file=sys.stderr)
    raise RuntimeError(f"{kind.name} could not be started")
