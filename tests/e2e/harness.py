"""Shared helpers for the end-to-end tests: start the real qorvand binary on
loopback, wait for it to listen, read its log, stop it by its process id.

Every wait here is bounded in time; every process started is killed by pid.
"""
import ctypes
import errno
import glob
import grp
import json
import os
import pwd
import re
import shutil
import signal
import socket
import socketserver
import struct
import subprocess
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
QORVAND = os.environ.get("QORVAND_BIN", os.path.join(os.path.dirname(__file__), "../../build/qorvand"))
LOOPBACK = "127.0.0.1"
# Sanitized builds run far slower; scale every deadline by this factor.
SLOWDOWN = float(os.environ.get("QORVAND_TEST_SLOWDOWN", "1"))
# A line of the log with -a: the local time with microseconds, the connection's number (none for lines
# of no connection), the line as it reads without -a.
ANNOTATED = re.compile(r"^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{6} (?:#(\d+) )?(.*)$")
SUMMARY = re.compile(r"^Summary: C->S (\d+) bytes, S->C (\d+) bytes in \d+\.\d{6} s, ([a-z ]+)$")


def tls_built():
    """Whether the binary under test has TLS interception: as CTest says (QORVAND_TLS, what CMake built), or
    else as its usage text says."""
    configured = os.environ.get("QORVAND_TLS")
    if configured is not None:
        return configured == "ON"
    usage = subprocess.run([QORVAND, "-h"], capture_output=True, text=True, timeout=10 * SLOWDOWN).stdout
    return "--tls:" in usage


def deadline(seconds):
    return time.monotonic() + seconds * SLOWDOWN


def free_port(avoid=None):
    """A TCP port that nothing listens on right now (and not the one to avoid)."""
    for _ in range(100):
        with socket.socket() as probe:
            probe.bind((LOOPBACK, 0))
            port = probe.getsockname()[1]
        if port != avoid:
            return port
    raise RuntimeError("no free port")


def address_in_use(said):
    """Whether a program's standard error says it could not listen because its port was taken."""
    return "address already in use" in said.lower()


def wait_until(predicate, seconds=5.0, interval=0.01):
    """Polls predicate until it is true or the time runs out; returns its last value."""
    end = deadline(seconds)
    while True:
        value = predicate()
        if value or time.monotonic() > end:
            return value
        time.sleep(interval)


class StartedProcess:
    """A process started by a test, with its temporary folder and standard error file; stopped by its pid."""

    # A server with child processes of its own is asked to end first (by this signal), so that they end too.
    SHUTDOWN_SIGNAL = None

    def start_listening(self, spawn, lost_port, port=None, avoid=None, seconds=10.0, listening=None):
        """Starts spawn(port) (a Popen writing its standard error to self.stderr_path) and waits until it
        listens on port (or until listening(port)); returns the port. Without a port given it is one found
        free; another process may take that port before this one listens on it (lost_port(stderr) then
        tells), and another is tried."""
        listening = listening or (lambda chosen: is_listening(chosen, self.pid))
        for _ in range(5):
            chosen = port or free_port(avoid=avoid)
            self._stderr = open(self.stderr_path, "wb")
            self.process = spawn(chosen)
            self.pid = self.process.pid
            wait_until(lambda: listening(chosen) or self.process.poll() is not None, seconds)
            if self.process.poll() is None and listening(chosen):
                return chosen
            if port is not None or self.process.poll() is None or not lost_port(self.stderr()):
                break
            self._stderr.close()
        said = self.stderr()
        self.stop()
        raise RuntimeError(f"{type(self).__name__} did not start listening: {said}")

    def stderr(self):
        with open(self.stderr_path, "r", errors="replace") as err:
            return err.read()

    def stop(self):
        """Sends SHUTDOWN_SIGNAL and waits for the end; kills the process when it overstays."""
        if self.SHUTDOWN_SIGNAL and self.process.poll() is None:
            os.kill(self.pid, self.SHUTDOWN_SIGNAL)
            try:
                self.process.wait(timeout=20 * SLOWDOWN)
            except subprocess.TimeoutExpired:
                pass
        if self.process.poll() is None:
            os.kill(self.pid, signal.SIGKILL)
        self.process.wait(timeout=10)
        self._stderr.close()
        self.folder.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class Qorvand(StartedProcess):
    """One running qorvand with its own log file in a temporary folder."""

    def __init__(self, target_port, listen_port=None, target=LOOPBACK, extra_args=(), log_to_stdout=False,
                 stdout=subprocess.DEVNULL, preexec_fn=None, log_path=None, env=None):
        """env: variables set for qorvand on top of the test's own."""
        self.folder = tempfile.TemporaryDirectory(prefix="qorvand-e2e-")
        self.log_path = "-" if log_to_stdout else log_path or os.path.join(self.folder.name, "qorvand.log")
        self.stderr_path = os.path.join(self.folder.name, "stderr.txt")

        def spawn(port):
            args = [QORVAND, "-f", self.log_path, *extra_args, target, str(target_port), str(port)]
            return subprocess.Popen(args, stdout=stdout, stderr=self._stderr, cwd=self.folder.name,
                                    preexec_fn=preexec_fn, env=dict(os.environ, **env) if env else None)

        own_log = None if log_to_stdout or log_path else (lambda port: "Listening...\n" in self.log())
        self.listen_port = self.start_listening(spawn, lambda said: "Can't listen on port " in said, listen_port,
                                                avoid=target_port, listening=own_log)

    def log(self):
        try:
            with open(self.log_path, "r", encoding="ascii", errors="strict") as log_file:
                return log_file.read()
        except (FileNotFoundError, OSError):
            return ""

    def log_lines(self):
        return self.log().splitlines()

    def closing_line_count(self):
        return len(closing_lines(self.log_lines()))

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
        return self._status_kib("VmRSS:")

    def vm_size_kib(self):
        return self._status_kib("VmSize:")

    def _status_kib(self, key):
        with open(f"/proc/{self.pid}/status") as status:
            for line in status:
                if line.startswith(key):
                    return int(line.split()[1])
        return 0


def receive_all(sock, seconds=30.0, reset_ends=False):
    """Reads until end of stream (bounded in time). With reset_ends, a reset by the peer ends the
    reading as end of stream would, and what came before it is returned."""
    end = deadline(seconds)
    chunks = []
    while time.monotonic() < end:
        sock.settimeout(max(0.01, end - time.monotonic()))
        try:
            data = sock.recv(65536)
        except ConnectionResetError:
            if not reset_ends:
                raise
            break
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


def is_listening(port, pid=None):
    """True when a TCP socket listens at port on loopback or a wildcard address, IPv4 or IPv6 (read from
    /proc/net/tcp and tcp6); with pid, a socket of that process (another may listen there by chance)."""
    wanted = {f"0100007F:{port:04X}", f"00000000:{port:04X}", f"{'0' * 32}:{port:04X}",
              f"{'0' * 24}01000000:{port:04X}"}
    for table_path in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table_path) as table:
            for row in table.readlines()[1:]:
                fields = row.split()
                if fields[1] in wanted and fields[3] == "0A" and (pid is None or holds_socket(pid, fields[9])):
                    return True
    return False


def holds_socket(pid, inode):
    """Whether process pid has the socket of that inode open."""
    try:
        return any(os.readlink(f"/proc/{pid}/fd/{fd}") == f"socket:[{inode}]"
                   for fd in os.listdir(f"/proc/{pid}/fd"))
    except OSError:  # the process or one of its descriptors is gone
        return False


def nagle_is_off(pids, local_port, peer_port):
    """Whether Nagle's algorithm is off (TCP_NODELAY) on the TCP socket from local_port to peer_port that one
    of these processes holds, read on a duplicate of its descriptor (pidfd_getfd: Linux 5.6 and the right
    to trace the process). Under Wine the wineserver holds a program's sockets."""
    libc = ctypes.CDLL(None, use_errno=True)
    pidfd_getfd = 438
    for pid in pids:
        pidfd = os.pidfd_open(pid)
        try:
            for name in os.listdir(f"/proc/{pid}/fd"):
                try:
                    if not os.readlink(f"/proc/{pid}/fd/{name}").startswith("socket:"):
                        continue
                except FileNotFoundError:
                    continue
                descriptor = libc.syscall(pidfd_getfd, pidfd, int(name), 0)
                if descriptor < 0:
                    error = ctypes.get_errno()
                    if error in (errno.EPERM, errno.ENOSYS):
                        raise unittest.SkipTest(f"no duplicate of another process's socket here ({os.strerror(error)})")
                    continue
                with socket.socket(fileno=descriptor) as duplicate:
                    if duplicate.family not in (socket.AF_INET, socket.AF_INET6):
                        continue
                    try:
                        ends = (duplicate.getsockname()[1], duplicate.getpeername()[1])
                    except OSError:
                        continue
                    if duplicate.type == socket.SOCK_STREAM and ends == (local_port, peer_port):
                        return duplicate.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY) != 0
        finally:
            os.close(pidfd)
    raise AssertionError(f"no socket from port {local_port} to {peer_port} in processes {pids}")


def own_interface_address(family=4, every=False):
    """An address of one of this host's interfaces other than loopback (IPv4 or IPv6, not link-local), or
    None; with every, all of them as a list."""
    try:
        listing = subprocess.run(["ip", f"-{family}", "-o", "addr"], capture_output=True, text=True,
                                 timeout=10).stdout
    except (OSError, subprocess.TimeoutExpired):
        listing = ""
    pattern = r"\binet (\d+\.\d+\.\d+\.\d+)/" if family == 4 else r"\binet6 ([0-9a-f:]+)/"
    found = [address for address in re.findall(pattern, listing)
             if not address.startswith(("127.", "fe80")) and address != "::1"]
    return found if every else (found[0] if found else None)


def transcript(lines, number):
    """One connection's lines of an annotated log, picked as grep ' #N ' would, without the annotation."""
    picked = [ANNOTATED.match(line) for line in lines if f" #{number} " in line]
    return [match.group(2) for match in picked if match and match.group(1) == str(number)]


def self_signed_certificate(folder, name):
    """A certificate for name and its key, made by openssl req in folder; returns their paths."""
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", f"/CN={name}",
                    "-keyout", key, "-out", cert], check=True, capture_output=True, timeout=60)
    return cert, key


def ca_signed_certificate(folder, name):
    """A certificate authority of the test's own and a certificate for name (DNS and, for an address, IP)
    signed by it, made by openssl in folder; returns the paths of the authority's certificate, the
    certificate with its chain, and its key."""
    ca_cert, ca_key = os.path.join(folder, "ca.pem"), os.path.join(folder, "ca-key.pem")
    cert, key, request = (os.path.join(folder, file) for file in ("server.pem", "server-key.pem", "server.csr"))
    extensions = os.path.join(folder, "server.ext")
    kind = "IP" if re.fullmatch(r"[\d.]+|[0-9a-f:]+", name) else "DNS"
    with open(extensions, "w") as ext:
        ext.write(f"subjectAltName={kind}:{name}\n")
    for command in (
            ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=Test CA",
             "-keyout", ca_key, "-out", ca_cert],
            ["openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", f"/CN={name}", "-keyout", key,
             "-out", request],
            ["openssl", "x509", "-req", "-in", request, "-CA", ca_cert, "-CAkey", ca_key, "-CAcreateserial",
             "-days", "1", "-extfile", extensions, "-out", cert]):
        subprocess.run(command, check=True, capture_output=True, timeout=60)
    return ca_cert, cert, key


def run_bounded(args, seconds=60, **options):
    """Runs a client to its end (killed by its pid when it overstays); returns the CompletedProcess."""
    process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               stdin=subprocess.PIPE if "input" in options else subprocess.DEVNULL,
                               env=options.get("env"))
    try:
        stdout, stderr = process.communicate(options.get("input"), timeout=seconds * SLOWDOWN)
    finally:
        if process.poll() is None:
            os.kill(process.pid, signal.SIGKILL)
            process.wait(10)
    return subprocess.CompletedProcess(args, process.returncode, stdout, stderr)


def send_then_shutdown(sock, data):
    """Sends all of data, then shuts down the sending side (the peer reads end of stream)."""
    sock.sendall(data)
    sock.shutdown(socket.SHUT_WR)


def reset(sock):
    """Closes with SO_LINGER 0, so the peer gets a reset instead of an orderly close."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


class EchoServer:
    """A loopback server that echoes every connection until its end of stream, then closes it."""

    class _Handler(socketserver.BaseRequestHandler):
        def handle(self):
            self.request.settimeout(60 * SLOWDOWN)
            try:
                while True:
                    data = self.request.recv(65536)
                    if not data:
                        break
                    self.request.sendall(data)
            except OSError:
                pass

    class _Server(socketserver.ThreadingTCPServer):
        daemon_threads = True
        allow_reuse_address = True
        request_queue_size = 256

    def __init__(self):
        self.server = self._Server((LOOPBACK, 0), self._Handler)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(10)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class TlsEchoServer(EchoServer):
    """An EchoServer that speaks TLS with the given certificate: every connection is echoed inside TLS."""

    def __init__(self, cert, key):
        import ssl
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)

        class Handler(EchoServer._Handler):
            def setup(self):
                self.request.settimeout(60 * SLOWDOWN)
                self.request = context.wrap_socket(self.request, server_side=True)

            def handle(self):
                try:
                    super().handle()
                    self.request.unwrap()
                except OSError:
                    pass

            def finish(self):
                self.request.close()

        self.server = self._Server((LOOPBACK, 0), Handler)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
        self.thread.start()


class MailFolder:
    """aiosmtpd handler (python3 -m aiosmtpd -c harness.MailFolder FOLDER): keeps every accepted mail as
    FOLDER/mail-N.json with its envelope and its content exactly as received."""

    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    @classmethod
    def from_cli(cls, parser, *args):
        return cls(args[0])

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        record = {"mail_from": envelope.mail_from, "rcpt_tos": envelope.rcpt_tos,
                  "content": envelope.original_content.decode("latin-1")}
        final_path = os.path.join(self.folder, f"mail-{self.count}.json")
        with open(final_path + ".part", "w") as part:
            json.dump(record, part)
        os.replace(final_path + ".part", final_path)
        return "250 Message accepted for delivery"


class SmtpServer(StartedProcess):
    """python3-aiosmtpd on a free loopback port, keeping the mails it accepts (see MailFolder)."""

    def __init__(self, tls=None):
        """tls: (certificate, key) paths; the server then offers STARTTLS and requires it."""
        self.folder = tempfile.TemporaryDirectory(prefix="qorvand-smtp-")
        self.stderr_path = os.path.join(self.folder.name, "stderr.txt")
        mails = os.path.join(self.folder.name, "mails")
        os.mkdir(mails)
        self.mail_folder = mails
        tls_args = ["--tlscert", tls[0], "--tlskey", tls[1]] if tls else []
        self.port = self.start_listening(lambda port: subprocess.Popen(
            ["/usr/bin/python3", "-m", "aiosmtpd", "-n", "-l", f"{LOOPBACK}:{port}", *tls_args,
             "-c", "harness.MailFolder", mails],
            stdout=subprocess.DEVNULL, stderr=self._stderr, env=dict(os.environ, PYTHONPATH=HERE)),
            address_in_use, seconds=15)

    def mails(self):
        """The mails accepted so far, in the order they came."""
        names = sorted((n for n in os.listdir(self.mail_folder) if n.endswith(".json")),
                       key=lambda n: int(n[5:-5]))
        records = []
        for name in names:
            with open(os.path.join(self.mail_folder, name)) as record:
                records.append(json.load(record))
        return records


class HttpServer(StartedProcess):
    """Python's own HTTP server on a free loopback port, serving the files of its folder (self.root)."""

    def __init__(self, bind=LOOPBACK):
        self.folder = tempfile.TemporaryDirectory(prefix="qorvand-http-")
        self.root = os.path.join(self.folder.name, "www")
        os.mkdir(self.root)
        self.stderr_path = os.path.join(self.folder.name, "stderr.txt")
        self.port = self.start_listening(lambda port: subprocess.Popen(
            ["/usr/bin/python3", "-m", "http.server", "--bind", bind, "--directory", self.root, str(port)],
            stdout=subprocess.DEVNULL, stderr=self._stderr), address_in_use, seconds=15)


class OpensslServer(StartedProcess):
    """openssl s_server on a free loopback port with the given certificate, answering each line it is sent
    with the line reversed (or, with mode "-www", each HTTP request with a page)."""

    def __init__(self, cert, key, mode="-rev", extra_args=()):
        self.folder = tempfile.TemporaryDirectory(prefix="qorvand-tls-server-")
        self.stderr_path = os.path.join(self.folder.name, "stderr.txt")
        self.port = self.start_listening(lambda port: subprocess.Popen(
            ["openssl", "s_server", "-accept", f"{LOOPBACK}:{port}", "-cert", cert, "-key", key, mode, *extra_args],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self._stderr),
            address_in_use, seconds=15)


class PostgresServer(StartedProcess):
    """A PostgreSQL server of its own (initdb in a temporary folder) on a free loopback port, trusting local
    users; run as the postgres user when the test runs as root, as PostgreSQL requires."""

    BIN = sorted(glob.glob("/usr/lib/postgresql/*/bin"))
    SHUTDOWN_SIGNAL = signal.SIGINT  # a fast shutdown

    def __init__(self, tls=None):
        """tls: (certificate, key) paths; the server then takes SSL requests (ssl=on)."""
        self.folder = tempfile.TemporaryDirectory(prefix="qorvand-pg-")
        self.port = free_port()
        data = os.path.join(self.folder.name, "data")
        as_owner = {"user": "postgres", "group": "postgres", "extra_groups": []} if os.geteuid() == 0 else {}
        if as_owner:
            shutil.chown(self.folder.name, "postgres")
        self._stderr = open(os.path.join(self.folder.name, "stderr.txt"), "wb")
        subprocess.run([os.path.join(self.BIN[-1], "initdb"), "-D", data, "-A", "trust", "-U", "postgres", "--no-sync"],
                       check=True, stdout=subprocess.DEVNULL, stderr=self._stderr, timeout=120, **as_owner)
        ssl_args = []
        if tls:
            # The key must belong to the server's user and be readable by it alone.
            for source, name in zip(tls, ("server.crt", "server.key")):
                shutil.copy(source, os.path.join(data, name))
                os.chmod(os.path.join(data, name), 0o600)
                if as_owner:
                    shutil.chown(os.path.join(data, name), "postgres", "postgres")
            ssl_args = ["-c", "ssl=on"]
        self.process = subprocess.Popen(
            [os.path.join(self.BIN[-1], "postgres"), "-D", data, "-h", LOOPBACK, "-p", str(self.port),
             "-k", self.folder.name, "-c", "fsync=off", *ssl_args],
            stdout=subprocess.DEVNULL, stderr=self._stderr, **as_owner)
        self.pid = self.process.pid
        if not wait_until(lambda: is_listening(self.port) or self.process.poll() is not None, 30):
            self.stop()
            raise RuntimeError("postgres did not start listening")


class DovecotServer(StartedProcess):
    """dovecot in the foreground with a config of its own in a temporary folder, serving one protocol (imap or
    pop3) on a free loopback port with STARTTLS (STLS) and the given certificate; it knows no users, which
    is enough for a client that only upgrades and leaves. As root its processes run as the users its package
    made (dovecot, dovenull); otherwise all of them run as the test's own user."""

    BIN = shutil.which("dovecot", path=os.environ.get("PATH", "") + ":/usr/sbin")
    SHUTDOWN_SIGNAL = signal.SIGTERM

    def __init__(self, protocol, tls):
        self.folder = tempfile.TemporaryDirectory(prefix="qorvand-dovecot-")
        self.stderr_path = os.path.join(self.folder.name, "stderr.txt")
        self.log_path = os.path.join(self.folder.name, "dovecot.log")
        config = os.path.join(self.folder.name, "dovecot.conf")
        open(os.path.join(self.folder.name, "users"), "w").close()

        def spawn(port):
            with open(config, "w") as out:
                out.write(self.config(protocol, port, tls))
            if os.path.exists(self.log_path):
                os.remove(self.log_path)
            return subprocess.Popen([self.BIN, "-F", "-c", config], stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=self._stderr)

        self.port = self.start_listening(spawn, lambda said: address_in_use(said + read_text(self.log_path)),
                                         seconds=30)

    def config(self, protocol, port, tls):
        """dovecot's auth process does not start without a user database: an empty one. Only root may
        chroot, and the login processes and anvil do by default: they do not here."""
        folder = self.folder.name
        users = os.path.join(folder, "users")
        user, group = pwd.getpwuid(os.geteuid()).pw_name, grp.getgrgid(os.getegid()).gr_name
        own_user = "" if os.geteuid() == 0 else (f"default_internal_user = {user}\ndefault_login_user = {user}\n"
                                                 f"default_internal_group = {group}\n")
        return own_user + f"""base_dir = {folder}/run
state_dir = {folder}/state
log_path = {self.log_path}
protocols = {protocol}
listen = {LOOPBACK}
ssl = yes
ssl_cert = <{tls[0]}
ssl_key = <{tls[1]}
passdb {{
  driver = passwd-file
  args = {users}
}}
userdb {{
  driver = passwd-file
  args = {users}
}}
service anvil {{
  chroot =
}}
service {protocol}-login {{
  chroot =
  inet_listener {protocol} {{
    port = {port}
  }}
  inet_listener {protocol}s {{
    port = 0
  }}
}}
"""


CLOSED = "Connection closed"


def closing_lines(lines):
    """The closing lines among a log's lines: "Connection closed" or its unsent-data form."""
    return [line for line in lines if line.startswith(CLOSED)]


class Run(StartedProcess):
    """qorvand started by hand with the given arguments in its own folder (or cwd), its standard output
    and standard error kept in files; nothing is waited for."""

    def __init__(self, args, cwd=None):
        self.folder = tempfile.TemporaryDirectory(prefix="qorvand-run-")
        self.cwd = cwd or self.folder.name
        self.stdout_path = os.path.join(self.folder.name, "stdout.txt")
        self.stderr_path = os.path.join(self.folder.name, "stderr.txt")
        self._stderr = open(self.stderr_path, "wb")
        with open(self.stdout_path, "wb") as out:
            self.process = subprocess.Popen([QORVAND, *args], stdout=out, stderr=self._stderr, cwd=self.cwd)
        self.pid = self.process.pid

    def exit_status(self, seconds=10.0):
        """The exit status, or None when it still runs after the wait."""
        try:
            return self.process.wait(timeout=seconds * SLOWDOWN)
        except subprocess.TimeoutExpired:
            return None

    def running(self):
        return self.process.poll() is None

    def stdout(self):
        return read_text(self.stdout_path)

    def stderr(self):
        return read_text(self.stderr_path)


# Several comments on one packet are joined by this (a comment has commas of its own).
AGGREGATOR = "|"


def tshark(path, *args):
    """tshark's standard output reading the capture at path; a reader that fails fails the test."""
    done = subprocess.run(["tshark", "-r", path, *args], capture_output=True, timeout=300 * SLOWDOWN)
    if done.returncode != 0:
        raise AssertionError(f"tshark {' '.join(args)} failed: {done.stderr.decode(errors='replace')}")
    return done.stdout.decode("utf-8", errors="replace")


def packet_fields(path, *fields, display_filter=None, decode_as=()):
    """One list of field texts per packet (a field's occurrences joined by AGGREGATOR)."""
    args = [arg for rule in decode_as for arg in ("-d", rule)]
    if display_filter:
        args += ["-Y", display_filter]
    args += ["-T", "fields", "-E", f"aggregator={AGGREGATOR}", "-E", "occurrence=a"]
    args += [arg for field in fields for arg in ("-e", field)]
    return [line.split("\t") for line in tshark(path, *args).splitlines()]


def read_text(path):
    try:
        with open(path, "r", encoding="ascii") as source:
            return source.read()
    except FileNotFoundError:
        return ""


class QorvandTestCase(unittest.TestCase):
    """The base of every end-to-end test: a qorvand it starts must still run, with nothing reported by a
    sanitizer, when the test ends; and the checks the tests share."""

    SANITIZER_REPORT = re.compile(r"Sanitizer|runtime error:")
    # An idle process uses next to no CPU; a spinning thread takes 100 ticks a second.
    IDLE_TICKS_PER_SECOND = 5

    def start_qorvand(self, target_port, *args, extra_args=(), **options):
        qorvand = Qorvand(target_port, extra_args=(*args, *extra_args), **options)
        self.addCleanup(self.stop_and_check, qorvand)
        return qorvand

    def stop_and_check(self, qorvand):
        if qorvand.process.returncode is not None:
            return  # already stopped and checked
        running = qorvand.process.poll() is None
        reports = [line for line in qorvand.stderr().splitlines() if self.SANITIZER_REPORT.search(line)]
        qorvand.stop()
        if qorvand.process.stdout is not None:
            qorvand.process.stdout.close()
        self.assertEqual(reports, [])
        self.assertTrue(running, f"qorvand ended by itself with status {qorvand.process.returncode}")

    def relay_pair(self, qorvand=None, server=None):
        """A client connected through qorvand and the server side of that same connection."""
        if server is None:
            server = ListeningServer()
            self.addCleanup(server.close)
        if qorvand is None:
            qorvand = self.start_qorvand(server.port)
        relayed_before = qorvand.log().count("Outgoing: ")
        client = qorvand.connect()
        self.addCleanup(client.close)
        server_side = server.accept()
        self.addCleanup(server_side.close)
        # The server has its side once the handshake is done, maybe before qorvand has seen its connect
        # complete: a reset then would end a connect, not a relayed connection. (A log on standard output
        # cannot be read here.)
        if qorvand.log_path != "-":
            self.assertTrue(qorvand.wait_for_log("Outgoing: ", relayed_before + 1), qorvand.log())
        return qorvand, server, client, server_side

    def wait_for_closing_line(self, qorvand, count=1):
        wait_until(lambda: qorvand.closing_line_count() >= count, 60)
        lines = qorvand.log_lines()
        self.assertEqual(len(closing_lines(lines)), count, qorvand.log())
        return lines

    def assert_in_order(self, lines, expected_starts):
        """Each expected start begins some line, after the line that matched the one before it."""
        position = 0
        for expected in expected_starts:
            while position < len(lines) and not lines[position].startswith(expected):
                position += 1
            self.assertLess(position, len(lines), f"{expected!r} missing or out of order in:\n" + "\n".join(lines))
            position += 1

    def assert_logged_once_at_most(self, lines, texts):
        for text in texts:
            self.assertLessEqual(sum(line.startswith(text) for line in lines), 1, f"{text!r} repeated")

    def assert_idle(self, qorvand, seconds=1.0, ticks_allowed=None, what="nothing to do"):
        """qorvand uses next to no CPU for a while (a stray tick may be charged; a spinning thread takes
        about 100 a second)."""
        allowed = self.IDLE_TICKS_PER_SECOND * seconds if ticks_allowed is None else ticks_allowed
        before = qorvand.cpu_ticks()
        time.sleep(seconds)
        ticks = qorvand.cpu_ticks() - before
        self.assertLessEqual(ticks, allowed, f"qorvand spins: {ticks} CPU ticks in {seconds} s with {what}")

    def assert_echoes(self, qorvand, payload=b"still relaying\r\n"):
        with qorvand.connect() as client:
            client.sendall(payload)
            self.assertEqual(receive_exactly(client, len(payload), 20), payload)

    def assert_relays_through(self, qorvand, server):
        """A fresh client still gets through to a scripted server and back."""
        with qorvand.connect() as client, server.accept() as conn:
            client.sendall(b"HELO again\r\n")
            self.assertEqual(receive_exactly(conn, 12, 20), b"HELO again\r\n")
            conn.sendall(b"250 hello\r\n")
            self.assertEqual(receive_exactly(client, 11, 20), b"250 hello\r\n")

    def assert_reset_seen(self, sock, what, streamer=None):
        """The peer reads what it was sent, then a reset: never a clean end of stream. A peer that was
        sending may have met the reset in a send already (streamer.error)."""
        if streamer is not None and isinstance(streamer.error, ConnectionResetError):
            return
        sock.settimeout(20 * SLOWDOWN)
        with self.assertRaises(ConnectionResetError, msg=f"{what} saw a clean end instead of a reset"):
            for _ in range(100000):
                if not sock.recv(65536):
                    break
