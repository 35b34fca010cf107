"""The Windows build under Wine: its unit tests, and qorvand.exe relaying on
loopback, started through the end-to-end harness.

scripts/test-windows builds first and names the build folder in
QORVAND_WINDOWS_BUILD. Wine runs in a prefix of its own in a temporary folder
with one wineserver started here; both are ended and removed at the end.
"""
import hashlib
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.abspath(os.environ.get("QORVAND_WINDOWS_BUILD", os.path.join(HERE, "../../build-windows")))
EXE = os.path.join(BUILD, "qorvand.exe")
UNIT_TESTS = os.path.join(BUILD, "tests", "qorvand_unit_tests.exe")


def first_program(*candidates):
    for candidate in candidates:
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    raise RuntimeError("not installed: " + ", ".join(c for c in candidates if c))


WINE = first_program(shutil.which("wine64"), "/usr/lib/wine/wine64", shutil.which("wine"))
WINESERVER = first_program(shutil.which("wineserver"), "/usr/lib/wine/wineserver")

# Wine starts slower than a native process; scale the harness's deadlines.
os.environ.setdefault("QORVAND_TEST_SLOWDOWN", "3")
os.environ["QORVAND_BIN"] = os.path.join(HERE, "qorvand-wine")
os.environ["QORVAND_EXE"] = EXE
os.environ["QORVAND_WINE"] = WINE
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import harness  # noqa: E402  (needs the environment above)

WSAECONNREFUSED = 10061
WSAECONNRESET = 10054
WSAETIMEDOUT = 10060
WSAECANCELLED = 10103
# What a console program stopped by Ctrl-C ends with; Wine hands a Linux
# parent its low byte.
STATUS_CONTROL_C_EXIT = 0xC000013A
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")

prefix_folder = None
wineserver = None


def setUpModule():
    global prefix_folder, wineserver
    prefix_folder = tempfile.TemporaryDirectory(prefix="qorvand-wine-")
    prefix = os.path.join(prefix_folder.name, "prefix")
    os.makedirs(prefix)
    os.environ["WINEPREFIX"] = prefix
    os.environ["WINEDEBUG"] = "-all"
    # No Mono or Gecko installer prompts while the prefix is made.
    os.environ["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    # One server for the whole run, so that each program starts fast and its
    # process id is the program's own.
    wineserver = subprocess.Popen([WINESERVER, "--foreground", "--persistent"], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
    subprocess.run([WINE, "wineboot", "--init"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=300, check=True)


def tearDownModule():
    # Ends every process of this prefix (the services wineboot started too).
    subprocess.run([WINESERVER, "--kill"], timeout=60)
    try:
        wineserver.wait(timeout=30)
    except subprocess.TimeoutExpired:
        wineserver.kill()
        wineserver.wait(timeout=30)
    prefix_folder.cleanup()


def cpu_ticks_of(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def project_version():
    """The version that the build's project() set, from its CMake cache."""
    with open(os.path.join(BUILD, "CMakeCache.txt")) as cache:
        for line in cache:
            if line.startswith("CMAKE_PROJECT_VERSION:"):
                return line.strip().split("=", 1)[1]
    raise RuntimeError("no CMAKE_PROJECT_VERSION in the build's CMake cache")


def crlf_lines(raw):
    """The lines of a text written in Windows text mode; every line must end in CR LF."""
    text = raw.decode("ascii")
    assert text.endswith("\r\n") and text.count("\n") == text.count("\r\n"), repr(text)
    return text[:-2].split("\r\n")


class Background(threading.Thread):
    """Runs a function in a thread and keeps its result or its exception."""

    def __init__(self, function):
        super().__init__(daemon=True)
        self.function = function
        self.result = None
        self.error = None
        self.start()

    def run(self):
        try:
            self.result = self.function()
        except BaseException as error:  # handed to the test by outcome()
            self.error = error

    def outcome(self, seconds=60):
        self.join(seconds * harness.SLOWDOWN)
        if self.is_alive():
            raise TimeoutError("background step did not finish")
        if self.error is not None:
            raise self.error
        return self.result


def send_then_end(sock, data):
    sock.sendall(data)
    sock.shutdown(socket.SHUT_WR)


class UnitTestsUnderWine(unittest.TestCase):
    def test_unit_tests_pass(self):
        self.assertTrue(os.path.exists(UNIT_TESTS), UNIT_TESTS + " was not built")
        result = subprocess.run([WINE, UNIT_TESTS, "--gtest_brief=1"], capture_output=True, timeout=300)
        report = (result.stdout + result.stderr).decode(errors="replace")
        failed = [line for line in report.splitlines() if line.startswith("[  FAILED  ]")]
        self.assertEqual(result.returncode, 0, "\n".join(failed) + "\n" + report[-3000:])


class CommandLineUnderWine(unittest.TestCase):
    def run_qorvand(self, *args):
        with tempfile.TemporaryDirectory(prefix="qorvand-wine-cwd-") as folder:
            return subprocess.run([harness.QORVAND, *args], capture_output=True, cwd=folder, timeout=60)

    def help_lines(self):
        """The usage text -h prints, in lines; every line of it is the parser's unit test's to check."""
        result = self.run_qorvand("--help", "127.0.0.1")
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        lines = crlf_lines(result.stdout)
        # Argument 0 names the program the way Windows passed it (a Z:\ path).
        self.assertTrue(lines[0].endswith("qorvand.exe: TCP connection logger"), lines[0])
        self.assertEqual(lines[1:3], ["", "Usage:"])
        return lines

    def test_no_arguments_print_the_usage_text_and_exit_with_status_1(self):
        result = self.run_qorvand()
        self.assertEqual((result.returncode, result.stdout), (1, b""))
        help_lines = self.help_lines()
        self.assertEqual(crlf_lines(result.stderr), [help_lines[0], "Missing required parameter --target",
                                                     *help_lines[1:]])

    def test_help_and_version_on_standard_output_with_status_0(self):
        self.help_lines()
        version_result = self.run_qorvand("-V")
        self.assertEqual((version_result.returncode, version_result.stderr), (0, b""))
        self.assertEqual(version_result.stdout, f"qorvand {project_version()}\r\n".encode())

    def test_tls_is_not_built_and_says_so(self):
        self.assertNotIn("    -s --tls:\tintercept TLS and log its plaintext", self.help_lines())
        result = self.run_qorvand("--tls", "127.0.0.1", "25", "2525")
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (1, b"", b"qorvand was built without TLS: --tls is not available\r\n"))

    def test_a_target_that_is_its_own_listener_is_refused(self):
        result = self.run_qorvand("127.0.0.1")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr, b"Can't listen on target socket\r\n")


class WindowsZip(unittest.TestCase):
    def test_the_zip_holds_the_program_the_readme_and_the_manual_as_text(self):
        version = project_version()
        name = f"qorvand-{version}-windows-x86_64"
        with zipfile.ZipFile(os.path.join(BUILD, name + ".zip")) as archive:
            self.assertEqual(sorted(archive.namelist()),
                             [f"{name}/", f"{name}/README.md", f"{name}/qorvand.exe", f"{name}/qorvand.txt"])
            with open(EXE, "rb") as exe, open(os.path.join(HERE, "../../README.md"), "rb") as readme:
                self.assertEqual(archive.read(f"{name}/qorvand.exe"), exe.read())
                self.assertEqual(archive.read(f"{name}/README.md"), readme.read())
            manual = archive.read(f"{name}/qorvand.txt")
        self.assertNotIn(b"\b", manual)
        lines = crlf_lines(manual)
        self.assertEqual(lines[0].split(), ["QORVAND(1)", "General", "Commands", "Manual", "QORVAND(1)"])
        self.assertIn("     -V, --version", lines)
        self.assertEqual(lines[-1].split()[:2], ["qorvand", version])


class RelayUnderWine(unittest.TestCase):
    def setUp(self):
        self.server = harness.ListeningServer()
        self.addCleanup(self.server.close)

    def start_qorvand(self, target_port=None, **options):
        qorvand = harness.Qorvand(target_port or self.server.port, **options)
        self.addCleanup(qorvand.stop)
        return qorvand

    def open_pair(self, qorvand):
        client = qorvand.connect()
        self.addCleanup(client.close)
        upstream = self.server.accept()
        self.addCleanup(upstream.close)
        return client, upstream

    def assert_reset_seen(self, sock, what):
        """The peer reads what it was sent, then a reset: never a clean end of stream."""
        with self.assertRaises(ConnectionResetError, msg=f"{what} saw a clean end instead of a reset"):
            harness.receive_all(sock, 10)

    def test_an_exchange_is_relayed_and_logged_with_crlf_line_ends(self):
        console = tempfile.TemporaryFile()
        self.addCleanup(console.close)
        qorvand = self.start_qorvand(stdout=console)
        client, upstream = self.open_pair(qorvand)
        client_port = client.getsockname()[1]
        outgoing_port = upstream.getpeername()[1]
        upstream.sendall(b"220 hi\r\n")
        self.assertEqual(harness.receive_exactly(client, 8), b"220 hi\r\n")
        client.sendall(b"HELO a\r\n")
        self.assertEqual(harness.receive_exactly(upstream, 8), b"HELO a\r\n")
        upstream.sendall(b"250 ok\r\n")
        self.assertEqual(harness.receive_exactly(client, 8), b"250 ok\r\n")
        client.shutdown(socket.SHUT_WR)
        self.assertEqual(harness.receive_all(upstream), b"")
        upstream.close()
        self.assertEqual(harness.receive_all(client), b"")
        self.assertTrue(qorvand.wait_for_log("Connection closed\n"), qorvand.log())

        expected = [
            "Listening...",
            f"Incoming: 127.0.0.1:{client_port} -> 0.0.0.0:{qorvand.listen_port}",
            "Connection received",
            f"Outgoing: 127.0.0.1:{outgoing_port} -> 127.0.0.1:{self.server.port}",
            "<<< 220 hi",
            ">>> HELO a",
            "<<< 250 ok",
            "Client has initiated shutdown",
            "Server has initiated shutdown",
            "Connection closed",
        ]
        with open(qorvand.log_path, "rb") as log_file:
            self.assertEqual(crlf_lines(log_file.read()), expected)
        self.assertTrue(harness.wait_until(lambda: console.seek(0) == 0 and console.read().count(b"\r\n") >= 10))
        console.seek(0)
        self.assertEqual(crlf_lines(console.read()), expected)

    def test_an_ipv6_exchange_on_both_sides(self):
        with socket.socket(socket.AF_INET6) as server:
            server.bind(("::1", 0))
            server.listen(4)
            qorvand = self.start_qorvand(target_port=server.getsockname()[1], target="::1",
                                         extra_args=["-b", "::1"])
            with socket.create_connection(("::1", qorvand.listen_port), timeout=30) as client:
                server.settimeout(30)
                upstream, _ = server.accept()
                with upstream:
                    client.sendall(b"PING\r\n")
                    self.assertEqual(harness.receive_exactly(upstream, 6), b"PING\r\n")
                    upstream.sendall(b"PONG\r\n")
                    self.assertEqual(harness.receive_exactly(client, 6), b"PONG\r\n")
            self.assertTrue(qorvand.wait_for_log(">>> PING\n"), qorvand.log())
            lines = qorvand.log_lines()
            self.assertRegex(lines[1], rf"^Incoming: \[::1\]:\d+ -> \[::1\]:{qorvand.listen_port}$")
            self.assertRegex(lines[3], rf"^Outgoing: \[::1\]:\d+ -> \[::1\]:{server.getsockname()[1]}$")

    def test_a_refused_target_is_logged_with_the_winsock_code(self):
        closed_port = harness.free_port()
        qorvand = self.start_qorvand(target_port=closed_port)
        client = qorvand.connect()
        self.addCleanup(client.close)
        try:
            self.assertEqual(harness.receive_all(client), b"")
        except ConnectionResetError:
            pass  # a reset ends the client as well as an orderly close
        error_line = f"Error connecting to 127.0.0.1:{closed_port} ({WSAECONNREFUSED})\n"
        self.assertTrue(qorvand.wait_for_log(error_line), qorvand.log())
        self.assertTrue(qorvand.log().endswith("Connection received\n" + error_line), qorvand.log())

    def test_binary_data_is_delivered_intact_both_ways(self):
        qorvand = self.start_qorvand()
        client, upstream = self.open_pair(qorvand)
        upward = bytes(range(256)) * 64 + os.urandom(192 * 1024)
        downward = os.urandom(192 * 1024) + bytes(range(255, -1, -1)) * 64
        steps = [Background(lambda: send_then_end(client, upward)),
                 Background(lambda: send_then_end(upstream, downward)),
                 Background(lambda: harness.receive_all(upstream, 120))]
        received_by_client = harness.receive_all(client, 120)
        steps[0].outcome()
        steps[1].outcome()
        received_by_server = steps[2].outcome()
        self.assertEqual(hashlib.sha256(received_by_server).hexdigest(), hashlib.sha256(upward).hexdigest())
        self.assertEqual(hashlib.sha256(received_by_client).hexdigest(), hashlib.sha256(downward).hexdigest())
        self.assertTrue(qorvand.wait_for_log("Connection closed\n"), qorvand.log()[-2000:])
        self.assertNotIn("unsent", qorvand.log())
        self.assertNotIn(" error ", qorvand.log())

    def test_half_close_lets_the_server_answer_after_the_client_has_ended(self):
        qorvand = self.start_qorvand()
        client, upstream = self.open_pair(qorvand)
        send_then_end(client, b"QUIT\r\n")
        self.assertEqual(harness.receive_all(upstream), b"QUIT\r\n")
        answer = b"221 still here after your end\r\n" * 2000
        send_then_end(upstream, answer)
        self.assertEqual(harness.receive_all(client), answer)
        self.assertTrue(qorvand.wait_for_log("Connection closed\n"), qorvand.log()[-2000:])
        log = qorvand.log()
        self.assertLess(log.index("Client has initiated shutdown\n"), log.index("Server has initiated shutdown\n"))
        self.assertEqual(log.count("<<< 221 still here after your end\n"), 2000)

    def test_a_reset_after_the_servers_close_ends_a_blocked_send(self):
        # Winsock reports a peer's close once; the reset that follows must
        # still wake a relay whose send to that peer waits for room.
        qorvand = self.start_qorvand()
        client, upstream = self.open_pair(qorvand)
        # Small buffers fill soon: relaying under Wine is slow.
        client.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)
        upstream.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        upstream.shutdown(socket.SHUT_WR)
        self.assertTrue(qorvand.wait_for_log("Server has initiated shutdown\n"), qorvand.log())
        client.settimeout(2 * harness.SLOWDOWN)
        sent = 0
        with self.assertRaises(socket.timeout):  # every buffer on the way is full
            while sent < 64 * 1024 * 1024:
                sent += client.send(b"x" * 65536)
        upstream.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        upstream.close()
        self.assertTrue(qorvand.wait_for_log("Connection closed (unsent data! C->S: "), qorvand.log()[-2000:])
        self.assertIn("Server socket send error 10054\n", qorvand.log())

    def test_request_reply_exchanges_with_replies_of_several_kb_never_wait_for_a_timer(self):
        """The tail of a reply larger than one relay read used to wait for the client's delayed
        acknowledgement (Nagle's algorithm): 40 ms a reply under Wine, up to 200 ms on Windows. Both of
        qorvand's sockets of a connection have it off, and replies of 2, 16 and 64 KiB go through whole."""
        qorvand = self.start_qorvand()
        client, upstream = self.open_pair(qorvand)
        replies = [b"".join(b"%05d reply line of a few kilobytes\r\n" % n for n in range(size // 40))
                   for size in (2048, 16384, 65536)]
        for completed in range(30):
            request = b"GET %014d\r\n" % completed
            client.sendall(request)
            self.assertEqual(harness.receive_exactly(upstream, len(request)), request)
            reply = replies[completed % len(replies)]
            upstream.sendall(reply)
            self.assertEqual(harness.receive_exactly(client, len(reply)), reply)
        # Asked once bytes have gone both ways: both sockets are set up by then.
        holders = [qorvand.pid, wineserver.pid]
        self.assertTrue(harness.nagle_is_off(holders, qorvand.listen_port, client.getsockname()[1]))
        self.assertTrue(harness.nagle_is_off(holders, upstream.getpeername()[1], self.server.port))

    def test_a_reset_is_passed_on_at_once_to_a_silent_peer(self):
        # The other peer neither sends nor closes: only the reset itself can end the connection.
        for resetter_name in ("Client", "Server"):
            with self.subTest(resetter=resetter_name):
                qorvand = self.start_qorvand()
                client, upstream = self.open_pair(qorvand)
                resetter, other = (client, upstream) if resetter_name == "Client" else (upstream, client)
                said = b"from the peer that will reset\r\n" * 300
                resetter.sendall(said)
                self.assertEqual(harness.receive_exactly(other, len(said)), said)
                harness.reset(resetter)
                self.assert_reset_seen(other, "the other peer")
                self.assertTrue(qorvand.wait_for_log("Connection closed\n"), qorvand.log()[-500:])
                self.assertIn(f"{resetter_name} socket read error {WSAECONNRESET}\n", qorvand.log())

    def test_a_target_that_never_answers_a_connect(self):
        """A target whose listen queue is full: Linux drops the SYNs, so the connect hangs. A client
        that resets ends its attempt at once, one that closes once the connect has been pending for a
        second ends it then, and one that stays is told after the time limit (10 s)."""
        with socket.socket() as target:
            target.bind((harness.LOOPBACK, 0))
            target.listen(0)
            with socket.create_connection(target.getsockname()):  # fills the queue
                qorvand = self.start_qorvand(target_port=target.getsockname()[1])
                started = time.monotonic()
                clients = [qorvand.connect() for _ in range(3)]
                for client in clients:
                    self.addCleanup(client.close)
                waiting, leaving, resetting = clients
                self.assertTrue(qorvand.wait_for_log("Connection received\n", 3), qorvand.log())
                left = f"Error connecting to 127.0.0.1:{target.getsockname()[1]} ({WSAECANCELLED})\n"
                harness.reset(resetting)
                reset_at = time.monotonic()
                self.assertTrue(qorvand.wait_for_log(left), qorvand.log())
                # Well within the second a close has to wait: the reset was not taken for a close.
                self.assertLess(time.monotonic() - reset_at, 0.7)
                time.sleep(max(0.0, 1.5 - (time.monotonic() - started)))
                # No data first: Winsock cannot show a close behind data nobody has read yet.
                leaving.close()
                self.assertTrue(qorvand.wait_for_log(left, 2), qorvand.log())
                self.assertEqual(harness.receive_all(waiting, 30, reset_ends=True), b"")
                self.assertGreater(time.monotonic() - started, 9.5)
                timed_out = f"Error connecting to 127.0.0.1:{target.getsockname()[1]} ({WSAETIMEDOUT})\n"
                self.assertTrue(qorvand.wait_for_log(timed_out), qorvand.log())
                log = qorvand.log()
                self.assertEqual((log.count("Client has initiated shutdown\n"), log.count(left),
                                  log.count(timed_out)), (2, 2, 1), log)
                self.assertNotIn("Connection closed", log)

    def test_ctrl_c_resets_every_connection_and_ends_with_the_ctrl_c_status(self):
        # Wine turns a SIGINT to the program into a CTRL_C_EVENT for its console handler. The other
        # stops cannot be shown: Wine ends a process at once on SIGTERM or SIGHUP, without calling a
        # handler, ignores SIGQUIT, and has no signal that stands for Ctrl-Break or for closing the
        # console window.
        qorvand = self.start_qorvand()
        pairs = [self.open_pair(qorvand) for _ in range(2)]
        client, upstream = pairs[0]
        upstream.sendall(b"a download cut by the stop\r\n" * 2000)
        self.assertEqual(len(harness.receive_exactly(client, 4096)), 4096)
        os.kill(qorvand.pid, signal.SIGINT)
        self.assertEqual(qorvand.process.wait(timeout=20 * harness.SLOWDOWN), STATUS_CONTROL_C_EXIT & 0xFF)
        for client, upstream in pairs:
            self.assert_reset_seen(client, "a client")
            self.assert_reset_seen(upstream, "a server")
        with open(qorvand.log_path, "rb") as log_file:
            self.assertTrue(log_file.read().endswith(b"\r\n"))

    def test_a_console_that_is_never_read_holds_up_nothing(self):
        """About 2 MB of echo to a pipe that nobody reads: the relay and the log file go on."""
        qorvand = self.start_qorvand(stdout=subprocess.PIPE)
        self.addCleanup(qorvand.process.stdout.close)
        client, upstream = self.open_pair(qorvand)
        said = b"".join(b"%06d a line the console never takes\r\n" % number for number in range(50000))
        sending = Background(lambda: send_then_end(client, said))
        received = harness.receive_all(upstream, 60)
        sending.outcome()
        self.assertEqual(received, said)
        self.assertTrue(qorvand.wait_for_log(">>> 049999 a line the console never takes\n", 1, 30),
                        qorvand.log()[-300:])

    def test_a_log_truncated_while_running_goes_on_at_its_start(self):
        """A rotation that truncates the log (copytruncate) leaves no hole of NUL bytes: the log is
        written in append mode."""
        qorvand = self.start_qorvand()
        client, upstream = self.open_pair(qorvand)
        client.sendall(b"HELO before the rotation\r\n")
        self.assertTrue(qorvand.wait_for_log(">>> HELO before the rotation\n"), qorvand.log())
        os.truncate(qorvand.log_path, 0)
        upstream.sendall(b"250 after the rotation\r\n")
        self.assertTrue(qorvand.wait_for_log("<<< 250 after the rotation\n"), qorvand.log())
        with open(qorvand.log_path, "rb") as log_file:
            self.assertEqual(log_file.read(), b"<<< 250 after the rotation\r\n")

    def test_an_idle_connection_uses_no_cpu(self):
        qorvand = self.start_qorvand()
        client, upstream = self.open_pair(qorvand)
        client.sendall(b"NOOP\r\n")
        self.assertEqual(harness.receive_exactly(upstream, 6), b"NOOP\r\n")
        self.assertTrue(qorvand.wait_for_log(">>> NOOP\n"))
        # The program's process and the wineserver, which carries its waits.
        before = qorvand.cpu_ticks() + cpu_ticks_of(wineserver.pid)
        started = time.monotonic()
        time.sleep(3)
        used = qorvand.cpu_ticks() + cpu_ticks_of(wineserver.pid) - before
        elapsed_ticks = (time.monotonic() - started) * CLOCK_TICKS
        # A loop that polls instead of waiting would take a whole core between the two; the prefix's own
        # services keep the wineserver a little busy too (up to 7% seen on a loaded machine).
        self.assertLess(used, 0.3 * elapsed_ticks, f"{used} of {elapsed_ticks:.0f} ticks while idle")


if __name__ == "__main__":
    unittest.main()
