"""The relays compared, and one fresh relay process per run with its own ports and log."""
import dataclasses
import os
import re
import signal
import subprocess
import sys
import time

from .build import CA_PEM, SERVER_PEM
from .procfs import children_of, free_ports, is_listening, socket_count


@dataclasses.dataclass(frozen=True)
class RelayKind:
    """How to start one relay: its command with {log}, {pcap}, {sink} and {listen} standing for its log file, its
    capture file and its ports, {qorvand} for qorvand's binary, {config} for its config file, {cert} for the server
    certificate and key of the TLS peers, {ca} for qorvand's CA; {threads} for the CPUs it may run on."""
    name: str
    command: tuple = ()  # none for direct: the client connects to the sink itself
    config: str = ""  # written to {config} before the start, with the same places filled in
    log_on_stderr: bool = False  # socat -v writes its log to standard error
    slow: bool = False  # logs so slowly that bulk workloads send it less and real peers skip it
    is_qorvand: bool = False  # gets ratio columns against the others and goal lines
    checks_log: bool = False  # its log must hold every bulk text line
    tls: bool = False  # TLS on both legs: it runs the TLS workloads (the load generator's client and sink speak TLS)
    packages: tuple = ()  # (program, Debian package) pairs it needs

    @property
    def is_direct(self):
        return not self.command


def qorvand(name, *arguments, checks_log=False, tls=False):
    """qorvand with extra arguments ahead of the usual ones."""
    return RelayKind(name, ("{qorvand}", *arguments, "-f", "{log}", "127.0.0.1", "{sink}", "{listen}"),
                     is_qorvand=True, checks_log=checks_log, tls=tls)


# haproxy as a TCP relay: no logging (no log line), a thread per CPU, and idle timeouts longer than any workload.
HAPROXY_CONFIG = """global
    nbthread {threads}
defaults
    mode tcp
    timeout connect 10s
    timeout client 10m
    timeout server 10m
frontend relay
    bind 127.0.0.1:{listen}%s
    default_backend sink
backend sink
    server sink 127.0.0.1:{sink}%s
"""


def haproxy(name, tls=False):
    """haproxy in the foreground; with tls, TLS on both legs: its own certificate to clients, no check of the
    server's."""
    config = HAPROXY_CONFIG % ((" ssl crt {cert}", " ssl verify none") if tls else ("", ""))
    return RelayKind(name, ("haproxy", "-db", "-f", "{config}"), config=config, tls=tls,
                     packages=(("haproxy", "haproxy"),))


SOCAT_ADDRESSES = ("TCP-LISTEN:{listen},fork,reuseaddr", "TCP:127.0.0.1:{sink}")
SOCAT_TLS_ADDRESSES = ("OPENSSL-LISTEN:{listen},fork,reuseaddr,cert={cert},verify=0",
                       "OPENSSL:127.0.0.1:{sink},verify=0")
# A qorvand variant is one more line here, e.g. qorvand("qorvand -a", "-a").
RELAYS = [
    RelayKind("direct"),
    RelayKind("socat", ("socat", *SOCAT_ADDRESSES)),
    RelayKind("socat -v", ("socat", "-v", *SOCAT_ADDRESSES), log_on_stderr=True, slow=True),
    haproxy("haproxy"),
    qorvand("qorvand", checks_log=True),
    qorvand("qorvand -a", "-a"),
    qorvand("qorvand -x", "-x"),
    qorvand("qorvand --pcap", "--pcap", "{pcap}"),
    RelayKind("socat openssl", ("socat", *SOCAT_TLS_ADDRESSES), tls=True),
    haproxy("haproxy ssl", tls=True),
    qorvand("qorvand --tls", "--tls", "--cert", "{ca}", checks_log=True, tls=True),
]


def missing_options(kind, usage):
    """The options of a qorvand variant that the binary's usage text does not list (an older build, or one
    without OpenSSL for --tls)."""
    if not kind.is_qorvand:
        return []
    options = [part for part in kind.command if part.startswith("-") and part != "-f"]
    return [option for option in options if not re.search(rf"(?<!\S){re.escape(option)}(?![\w-])", usage)]


class Relay:
    """One fresh relay process (or none, for direct) with its own ports and log."""

    def __init__(self, kind, workdir, pinned, qorvand):
        self.kind = kind
        self.sink_port, self.listen_port = free_ports(2)
        self.log_path = os.path.join(workdir, "relay.log")
        self.capture_path = os.path.join(workdir, "relay.pcapng")
        self.process = None
        if kind.is_direct:
            self.listen_port = self.sink_port
            return
        prefix = ["taskset", "-c", "0"] if pinned else []
        places = {"log": self.log_path, "pcap": self.capture_path, "sink": self.sink_port, "listen": self.listen_port,
                  "qorvand": qorvand, "config": os.path.join(workdir, "relay.cfg"), "cert": SERVER_PEM, "ca": CA_PEM,
                  "threads": 1 if pinned else len(os.sched_getaffinity(0))}
        if kind.config:
            with open(places["config"], "w") as out:
                out.write(kind.config.format(**places))
        command = [part.format(**places) for part in kind.command]
        err = open(self.log_path, "wb") if kind.log_on_stderr else subprocess.DEVNULL
        self.process = subprocess.Popen(prefix + command, stdout=subprocess.DEVNULL, stderr=err, cwd=workdir,
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

    def stop(self, grace=5):
        """Ends the relay as a user would (SIGTERM: qorvand writes what its log still holds first), and whatever is
        left of it after grace seconds for good; returns its CPU seconds over its life, its threads and reaped
        children included."""
        if not self.process or self.process.returncode is not None:
            return None
        signal_group(self.process.pid, signal.SIGTERM)
        deadline = time.time() + grace
        pid, status, usage = os.wait4(self.process.pid, os.WNOHANG)
        while pid == 0 and time.time() < deadline:
            time.sleep(0.01)
            pid, status, usage = os.wait4(self.process.pid, os.WNOHANG)
        signal_group(self.process.pid, signal.SIGKILL)  # the relay and any forked children still alive
        if pid == 0:
            _, status, usage = os.wait4(self.process.pid, 0)
        self.process.returncode = os.waitstatus_to_exitcode(status)
        return usage.ru_utime + usage.ru_stime


def signal_group(pid, number):
    try:
        os.killpg(pid, number)
    except ProcessLookupError:
        pass


def start_relay(kind, workdir, pinned, qorvand):
    """A free port can be taken between choosing and binding it: then try other ports."""
    for attempt in range(5):
        try:
            return Relay(kind, workdir, pinned, qorvand)
        except RuntimeError as error:
            print(f"{error}; trying other ports", file=sys.stderr)
    raise RuntimeError(f"{kind.name} could not be started")
