"""Faults, load and hostile input, end to end: peers that reset, a slow reader,
a connection flood, running out of descriptors, odd targets, a console that is
closed or never read, every byte value, and targets that are this host's own
listener by another name.

Every loop is bounded in count and time; every process is killed by its pid.
"""
import errno
import hashlib
import os
import re
import resource
import select
import selectors
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import harness
from harness import (LOOPBACK, SLOWDOWN, EchoServer, ListeningServer, Qorvand, free_port, own_interface_address,
                     receive_all, receive_exactly, reset, send_then_shutdown, wait_until)

ERROR_LINE = re.compile(r"^(Client|Server) socket (read|send) error (\d+)$", re.M)
# A reset peer is reported by its close and by the failing read or send.
RESET_CODES = {errno.ECONNRESET, errno.EPIPE}


def closing_lines(q):
    return q.closing_line_count()


def traffic_text(log, prefix):
    """The text of one direction's traffic lines, run together."""
    return "".join(line[len(prefix) + 1:] for line in log.splitlines() if line.startswith(prefix + " "))


def numbered_lines(count, text):
    return b"".join(b"%06d %s\r\n" % (number, text) for number in range(count))


def limit_descriptors(limit):
    """preexec_fn: soft and hard descriptor limit, so the child cannot raise it."""
    def apply():
        resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))
    return apply


def writes_to(pid, path):
    """True while the process holds path open."""
    folder = f"/proc/{pid}/fd"
    for name in os.listdir(folder):
        try:
            if os.readlink(os.path.join(folder, name)) == os.path.realpath(path):
                return True
        except OSError:
            pass
    return False


def closing_lines_of(path):
    with open(path) as log_file:
        return len(harness.closing_lines(log_file.read().splitlines()))


def close_standard_output():
    os.close(1)


def threads_waiting_in(pid, kernel_function):
    """The ids of the process's threads blocked in a kernel function whose name holds kernel_function."""
    waiting = set()
    for thread in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{thread}/wchan") as wchan:
            if kernel_function in wchan.read():
                waiting.add(int(thread))
    return waiting


def waits_for_log_room(pid):
    """True when the log's writer is blocked writing to a full pipe and, meanwhile, a thread other than the
    main one waits on a lock: with one connection, its event loop waiting for room in the log's queue."""
    return bool(threads_waiting_in(pid, "pipe_write")) and bool(threads_waiting_in(pid, "futex") - {pid})


class Streamer:
    """Sends a repeating numbered pattern from a thread until stopped or the peer goes away."""

    PATTERN = numbered_lines(20000, b"stream")

    def __init__(self, sock):
        self.sock = sock
        self.error = None  # what ended the sending, if the peer went away
        self.stop_flag = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        end = harness.deadline(30)
        self.sock.settimeout(0.2)
        while not self.stop_flag.is_set() and time.monotonic() < end:
            try:
                self.sock.send(self.PATTERN)
            except socket.timeout:
                continue
            except OSError as error:
                self.error = error
                return

    def stop(self):
        self.stop_flag.set()
        self.thread.join(10 * SLOWDOWN)

    @classmethod
    def is_prefix(cls, data):
        whole, rest = divmod(len(data), len(cls.PATTERN))
        return data == cls.PATTERN * whole + cls.PATTERN[:rest]


class SelectorEchoServer:
    """Echoes thousands of connections from one thread (a thread per connection would not
    scale to a flood); closes each connection once its peer has ended and all is echoed."""

    def __init__(self, backlog=4096):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((LOOPBACK, 0))
        self.listener.listen(backlog)
        self.listener.setblocking(False)
        self.port = self.listener.getsockname()[1]
        self.accepted = 0
        self._stop = threading.Event()
        self._selector = selectors.DefaultSelector()
        self._selector.register(self.listener, selectors.EVENT_READ, None)
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        end = harness.deadline(600)
        while not self._stop.is_set() and time.monotonic() < end:
            for key, mask in self._selector.select(timeout=0.1):
                if key.data is None:
                    self._accept_waiting()
                else:
                    self._serve(key.fileobj, key.data, mask)
        for key in list(self._selector.get_map().values()):
            key.fileobj.close()
        self._selector.close()

    def _accept_waiting(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except (BlockingIOError, InterruptedError):
                return
            conn.setblocking(False)
            self._selector.register(conn, selectors.EVENT_READ, {"out": bytearray(), "ended": False})
            self.accepted += 1

    def _serve(self, conn, state, mask):
        try:
            if mask & selectors.EVENT_READ:
                data = conn.recv(65536)
                state["out"] += data
                state["ended"] = not data
            if state["out"]:
                del state["out"][:conn.send(state["out"])]
        except (BlockingIOError, InterruptedError):
            pass
        except OSError:
            state["ended"], state["out"] = True, bytearray()
        if state["ended"] and not state["out"]:
            self._selector.unregister(conn)
            conn.close()
            return
        events = (0 if state["ended"] else selectors.EVENT_READ) | (selectors.EVENT_WRITE if state["out"] else 0)
        self._selector.modify(conn, events, state)

    def close(self):
        self._stop.set()
        self.thread.join(10 * SLOWDOWN)
        self.listener.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class FaultTestCase(harness.QorvandTestCase):
    """Faults, load and hostile input, end to end."""


class PeerResetTest(FaultTestCase):
    """A peer resets (SO_LINGER 0): the other peer gets a reset too, at once, whether it was sending or
    silent, and the connection ends with the failing read logged."""

    def reset(self, client_resets, other_streams):
        resetter_name, other_name = ("Client", "Server") if client_resets else ("Server", "Client")
        with ListeningServer() as server:
            q = self.start_qorvand(server.port)
            client = q.connect()
            conn = server.accept()
            resetter, other = (client, conn) if client_resets else (conn, client)
            said = numbered_lines(300, b"from the peer that will reset")
            resetter.sendall(said)
            self.assertEqual(receive_exactly(other, len(said)), said)

            streamer = Streamer(other) if other_streams else None
            try:
                if streamer:
                    seen = receive_exactly(resetter, 64 * 1024)
                    self.assertTrue(Streamer.is_prefix(seen), "the stream reached the resetting peer changed")
                reset(resetter)
                self.assertTrue(wait_until(lambda: closing_lines(q) == 1, 20), q.log())
            finally:
                if streamer:
                    streamer.stop()
            self.assert_reset_seen(other, other_name, streamer)
            other.close()

            log = q.log()
            errors = ERROR_LINE.findall(log)
            self.assertTrue(errors or f"{resetter_name} has initiated shutdown\n" in log, log)
            for _, _, code in errors:
                self.assertIn(int(code), RESET_CODES)
            self.assertEqual(len(errors), len(set(errors)), f"an error logged more than once: {errors}")
            self.assertNotIn(f"{other_name} socket", log)
            self.assertEqual(closing_lines(q), 1)
            self.assert_idle(q)
            self.assert_relays_through(q, server)
            self.assertTrue(wait_until(lambda: closing_lines(q) == 2, 20), q.log())

    def test_a_reset_is_passed_on_as_a_reset(self):
        for client_resets in (True, False):
            for other_streams in (True, False):
                with self.subTest(client_resets=client_resets, other_streams=other_streams):
                    self.reset(client_resets, other_streams)


class StopTest(FaultTestCase):
    """A stop by signal cuts every open connection: both peers of each see a reset, never a clean end, and
    the log ends with a whole line."""

    def test_a_stop_resets_every_connection(self):
        for stop_signal in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=stop_signal.name), ListeningServer() as server:
                q = Qorvand(server.port)
                try:
                    pairs = []
                    for _ in range(2):
                        client = q.connect()
                        pairs.append((client, server.accept()))
                    client, conn = pairs[0]
                    conn.sendall(numbered_lines(2000, b"a download cut by the stop"))
                    self.assertEqual(len(receive_exactly(client, 4096)), 4096)
                    os.kill(q.pid, stop_signal)
                    self.assertEqual(q.process.wait(timeout=20 * SLOWDOWN), -stop_signal)
                    for client, conn in pairs:
                        self.assert_reset_seen(client, "the client")
                        self.assert_reset_seen(conn, "the server")
                        client.close()
                        conn.close()
                    with open(q.log_path, "rb") as log_file:
                        log = log_file.read()
                    self.assertTrue(log.endswith(b"\n"), log[-200:])
                    self.assertEqual([], [line for line in q.stderr().splitlines() if "Sanitizer" in line])
                finally:
                    q.stop()

    def test_a_stop_resets_a_client_not_yet_handed_to_a_relay_thread(self):
        """The log goes to a pipe nobody reads: once the pipe and the log's queue are full, the connection's
        event loop waits for room, and a client accepted next waits for its Incoming line, before any event
        loop has it. A stop resets it all the same."""
        with ListeningServer() as server:
            q = Qorvand(server.port, log_to_stdout=True, stdout=subprocess.PIPE)
            try:
                _, _, client, conn = self.relay_pair(q, server)
                # The client reads all, so that only the log holds up the event loop.
                draining = threading.Thread(target=receive_all, args=(client, 60, True))
                draining.start()
                streamer = Streamer(conn)
                self.addCleanup(draining.join, 60 * SLOWDOWN)
                self.addCleanup(streamer.stop)
                self.assertTrue(wait_until(lambda: waits_for_log_room(q.pid), 20), "the log never filled its queue")
                descriptors = q.descriptor_count()
                waiting = q.connect()
                self.addCleanup(waiting.close)
                self.assertTrue(wait_until(lambda: q.descriptor_count() == descriptors + 1, 10), "never accepted")
                os.kill(q.pid, signal.SIGTERM)
                self.assertEqual(q.process.wait(timeout=20 * SLOWDOWN), -signal.SIGTERM)
                self.assert_reset_seen(waiting, "a client accepted while the log was stuck")
                logged = q.process.stdout.read().decode("ascii")
                self.assertNotIn(f"Incoming: 127.0.0.1:{waiting.getsockname()[1]} ", logged)
                self.assertEqual([], [line for line in q.stderr().splitlines() if "Sanitizer" in line])
            finally:
                q.stop()
                q.process.stdout.close()

    def test_the_console_echo_ends_with_a_whole_line(self):
        """A stop while a stream of lines is echoed to a pipe that is read: the echo ends with a whole line
        too, every time."""
        for attempt in range(5):
            with self.subTest(attempt=attempt), ListeningServer() as server:
                q = Qorvand(server.port, stdout=subprocess.PIPE)
                try:
                    shown = bytearray()
                    reader = threading.Thread(
                        target=lambda: [shown.extend(piece) for piece in iter(lambda: q.process.stdout.read1(), b"")])
                    reader.start()
                    client = q.connect()
                    draining = threading.Thread(target=receive_all, args=(client, 30, True))
                    draining.start()
                    streamer = Streamer(server.accept())
                    self.assertTrue(wait_until(lambda: len(shown) > 1_000_000, 20), len(shown))
                    os.kill(q.pid, signal.SIGTERM)
                    self.assertEqual(q.process.wait(timeout=20 * SLOWDOWN), -signal.SIGTERM)
                    reader.join(20 * SLOWDOWN)
                    streamer.stop()
                    draining.join(30 * SLOWDOWN)
                    client.close()
                    self.assertTrue(shown.endswith(b"\n"), shown[-200:])
                    self.assertEqual([], [line for line in q.stderr().splitlines() if "Sanitizer" in line])
                finally:
                    q.process.stdout.close()
                    q.stop()


class SlowReaderTest(FaultTestCase):
    TOTAL_BYTES = 100_000_000
    READ_SIZE = 1024

    def test_memory_stays_flat_and_nothing_is_lost(self):
        block = os.urandom(1_000_003)
        with ListeningServer() as server:
            q = self.start_qorvand(server.port)
            client = q.connect()
            conn = server.accept()
            received = {"count": 0, "digest": hashlib.sha256()}

            def read_small_pieces():
                end = harness.deadline(120)
                while time.monotonic() < end:
                    data = conn.recv(self.READ_SIZE)
                    if not data:
                        return
                    received["count"] += len(data)
                    received["digest"].update(data)

            reader = threading.Thread(target=read_small_pieces, daemon=True)
            reader.start()
            sent_digest = hashlib.sha256()
            samples = []
            sent = 0
            while sent < self.TOTAL_BYTES:
                piece = block[:min(len(block), self.TOTAL_BYTES - sent)]
                client.sendall(piece)
                sent_digest.update(piece)
                sent += len(piece)
                samples.append(q.rss_kib())
            client.shutdown(socket.SHUT_WR)
            reader.join(120 * SLOWDOWN)
            self.assertFalse(reader.is_alive(), "the server never saw the end of the stream")
            client.close()
            conn.close()

            self.assertEqual(received["count"], self.TOTAL_BYTES)
            self.assertEqual(received["digest"].hexdigest(), sent_digest.hexdigest())
            # The first tenth lets the process settle; after that nothing may grow.
            settled = samples[len(samples) // 10]
            peak = max(samples)
            print(f"\nslow reader: {sent} bytes, RSS first {samples[0]} KiB, settled {settled} KiB, peak {peak} KiB",
                  flush=True)
            self.assertLessEqual(peak - settled, 1024, f"RSS grew from {settled} KiB to {peak} KiB")


class ConnectionFloodTest(FaultTestCase):
    CONNECTIONS = 2000

    @classmethod
    def setUpClass(cls):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        cls.saved_limit = (soft, hard)
        needed = 2 * cls.CONNECTIONS + 200
        if hard != resource.RLIM_INFINITY and hard < needed:
            raise unittest.SkipTest(f"needs {needed} descriptors, the hard limit is {hard}")
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    @classmethod
    def tearDownClass(cls):
        resource.setrlimit(resource.RLIMIT_NOFILE, cls.saved_limit)

    def counts_after_one_connection(self, q):
        """Threads and descriptors once one connection has come and gone."""
        descriptors = q.descriptor_count()
        with q.connect() as client:
            client.sendall(b"warm up\r\n")
            self.assertEqual(receive_exactly(client, 9, 20), b"warm up\r\n")
        self.assertTrue(wait_until(lambda: q.descriptor_count() == descriptors, 20))
        self.assertTrue(wait_until(lambda: closing_lines(q) == 1, 20))
        return q.thread_count(), descriptors

    def test_every_connection_is_held_served_and_released(self):
        count = self.CONNECTIONS
        with SelectorEchoServer() as echo:
            q = self.start_qorvand(echo.port)
            threads_at_start, descriptors_at_start = self.counts_after_one_connection(q)
            clients = []
            try:
                for _ in range(count):
                    clients.append(q.connect(60))
                # The warm-up connection counts too.
                self.assertTrue(wait_until(lambda: echo.accepted == count + 1, 60), f"{echo.accepted} reached")
                self.assertTrue(q.wait_for_log("Outgoing: ", count + 1, 60))
                threads_held, descriptors_held = q.thread_count(), q.descriptor_count()
                # The event loops hold every connection: no thread of its own, two descriptors each.
                self.assertEqual(threads_held, threads_at_start)
                self.assertEqual(descriptors_held, descriptors_at_start + 2 * count)

                messages = [numbered_lines(8, b"connection %05d" % index) for index in range(count)]
                for client, message in zip(clients, messages):
                    client.sendall(message)
                damaged = [index for index, (client, message) in enumerate(zip(clients, messages))
                           if receive_exactly(client, len(message), 60) != message]
                self.assertEqual(damaged, [], "connections whose echo was lost or changed")
            finally:
                for client in clients:
                    client.close()
            self.assertTrue(wait_until(lambda: closing_lines(q) == count + 1, 60), f"{closing_lines(q)} closed")
            self.assertEqual(q.thread_count(), threads_at_start)
            self.assertTrue(wait_until(lambda: q.descriptor_count() == descriptors_at_start, 30),
                            q.descriptor_count())
            self.assertNotIn("error", q.log())
            print(f"\nflood: {count} connections held; threads {threads_at_start} -> {threads_held} -> "
                  f"{q.thread_count()}; descriptors {descriptors_at_start} -> {descriptors_held} -> "
                  f"{q.descriptor_count()}", flush=True)


class OutOfDescriptorsTest(FaultTestCase):
    LIMIT = 64  # each relayed connection takes three descriptors: about 19 fit
    CLIENTS = 40

    @staticmethod
    def watch(clients, messages, indexes, quiet_seconds=1.0, seconds=20.0):
        """Watches the given clients until each is 'served' (its echo came back whole) or
        'dropped' (closed without it), or nothing has changed for a while: the rest are 'waiting'."""
        outcome = {index: "waiting" for index in indexes}
        received = {index: b"" for index in indexes}
        end = harness.deadline(seconds)
        quiet_until = harness.deadline(quiet_seconds)
        with selectors.DefaultSelector() as selector:
            for index in indexes:
                clients[index].setblocking(False)
                selector.register(clients[index], selectors.EVENT_READ, index)
            while selector.get_map() and time.monotonic() < min(end, quiet_until):
                for key, _ in selector.select(timeout=0.05):
                    index = key.data
                    try:
                        data = key.fileobj.recv(4096)
                    except (BlockingIOError, InterruptedError):
                        continue
                    except OSError:
                        data = b""
                    received[index] += data
                    quiet_until = harness.deadline(quiet_seconds)
                    if received[index] == messages[index] or not data:
                        outcome[index] = "served" if received[index] == messages[index] else "dropped"
                        selector.unregister(key.fileobj)
        return outcome

    def test_keeps_running_and_serves_again_once_descriptors_free_up(self):
        with SelectorEchoServer() as echo:
            q = self.start_qorvand(echo.port, preexec_fn=limit_descriptors(self.LIMIT))
            # One connection that comes and goes first: a sanitizer looks at a type's first use with
            # descriptors of its own, which it would not find at the limit.
            descriptors_at_start = q.descriptor_count()
            self.assert_echoes(q)
            self.assertTrue(wait_until(lambda: q.descriptor_count() == descriptors_at_start, 20))
            clients, messages = [], []

            def open_clients(count):
                indexes = range(len(clients), len(clients) + count)
                for index in indexes:
                    clients.append(q.connect())
                    messages.append(b"client %02d\r\n" % index)
                    clients[index].sendall(messages[index])
                return indexes

            try:
                # One at a time, so that each finds what the earlier ones left: the first one
                # that does not fit finds no descriptor for its target connection and is dropped.
                served = []
                while len(clients) < self.CLIENTS:
                    index = open_clients(1)[0]
                    if self.watch(clients, messages, [index])[index] != "served":
                        break
                    served.append(index)
                self.assertGreaterEqual(len(served), 10)
                self.assertLess(len(served), self.CLIENTS, "the limit never bit: the test proves nothing")

                # Now let accepting itself run out (the process still cannot raise its limit): with
                # the limit at its lowest free descriptor number, no new descriptor can be had, and a
                # dropped client gives back only a number at or above it. New clients must wait, with
                # the process idle, not spinning on a failing accept.
                held = {int(name) for name in os.listdir(f"/proc/{q.pid}/fd")}
                lowest_free = min(set(range(len(held) + 1)) - held)
                resource.prlimit(q.pid, resource.RLIMIT_NOFILE, (lowest_free, lowest_free))
                full = q.descriptor_count()
                ticks_before, started = q.cpu_ticks(), time.monotonic()
                extra = self.watch(clients, messages, open_clients(5))
                ticks, seconds = q.cpu_ticks() - ticks_before, time.monotonic() - started
                states = list(extra.values())
                print(f"\nout of descriptors (limit {self.LIMIT}): {len(served)} served; at {full} descriptors "
                      f"5 more: {states.count('dropped')} dropped, {states.count('waiting')} waiting, "
                      f"{ticks} CPU ticks in {seconds:.1f} s", flush=True)
                self.assertIsNone(q.process.poll(), "qorvand ended: " + q.stderr())
                self.assertNotIn("served", states, "served although every descriptor was taken")
                self.assertGreaterEqual(states.count("waiting"), 4, states)
                self.assertIn("Accept failed", q.stderr())
                self.assertLessEqual(ticks, self.IDLE_TICKS_PER_SECOND * max(1.0, seconds), "qorvand spins")

                for index in served:
                    clients[index].close()
                waiting = [index for index, state in extra.items() if state == "waiting"]
                later = self.watch(clients, messages, waiting, quiet_seconds=5.0)
                self.assertEqual(set(later.values()), {"served"}, "waiting clients not served once others left")
            finally:
                for client in clients:
                    client.close()
            self.assertTrue(wait_until(lambda: q.descriptor_count() == descriptors_at_start, 20),
                            f"{q.descriptor_count()} descriptors, {descriptors_at_start} at start")
            for _ in range(3):
                self.assert_echoes(q)
            # Said when the failure starts, then at most once a minute, however often clients get through
            # in between (at a descriptor limit accepts fail and succeed by turns).
            self.assertEqual(q.stderr().count("Accept failed"), 1, q.stderr())


class OddTargetTest(FaultTestCase):
    @staticmethod
    def fill_until_stalled(client):
        """Sends until every buffer on the way to a target that does not read is full."""
        client.setblocking(False)
        said = bytearray()
        pattern = numbered_lines(1000, b"nobody answers")
        for _ in range(200):
            sent_this_round = 0
            while True:
                try:
                    count = client.send(pattern)
                except BlockingIOError:
                    break
                said += pattern[:count]
                sent_this_round += count
            if sent_this_round == 0:
                break
            time.sleep(0.05 * SLOWDOWN)
        client.setblocking(True)
        return bytes(said)

    def test_target_that_accepts_and_never_answers(self):
        with ListeningServer() as server:
            q = self.start_qorvand(server.port)
            client = q.connect()
            conn = server.accept()
            said = self.fill_until_stalled(client)
            self.assert_idle(q)
            client.shutdown(socket.SHUT_WR)
            self.assertEqual(receive_all(conn, 30), said)
            # The log's writer may write the line after the target saw the end.
            self.assertTrue(q.wait_for_log("Client has initiated shutdown\n"), q.log())
            self.assertEqual(closing_lines(q), 0, "closed although the target still holds its side")
            self.assert_idle(q)
            conn.close()
            self.assertEqual(receive_all(client, 20), b"")
            self.assertTrue(wait_until(lambda: closing_lines(q) == 1, 20), q.log())
            client.close()

    def test_target_that_closes_at_once(self):
        with ListeningServer() as server:
            q = self.start_qorvand(server.port)
            for attempt in range(3):
                client = q.connect()
                server.accept().close()
                self.assertEqual(receive_all(client, 20), b"", "the client was not told that the server left")
                client.close()
                self.assertTrue(wait_until(lambda: closing_lines(q) == attempt + 1, 20), q.log())
            self.assertEqual(q.log().count("Server has initiated shutdown\n"), 3)
            self.assert_idle(q)
            self.assert_relays_through(q, server)

    def test_target_that_never_answers_a_connect(self):
        """A target whose listen queue is full drops every connect. A client that leaves meanwhile ends its
        attempt at once; one that waits is told after the time limit (10 s), with the timed-out code."""
        with socket.socket() as target:
            target.bind((LOOPBACK, 0))
            target.listen(0)
            with socket.create_connection(target.getsockname()):  # fills the queue
                q = self.start_qorvand(target.getsockname()[1])
                descriptors = q.descriptor_count()
                waiting = q.connect()
                leaving = [q.connect() for _ in range(5)]
                self.assertTrue(q.wait_for_log("Connection received", 6))
                time.sleep(1.5)  # a client that closes while the connect is still pending after a second has left
                for client in leaving:
                    client.sendall(b"HELO impatient\r\n")
                    client.close()
                left = f"Error connecting to 127.0.0.1:{target.getsockname()[1]} ({errno.ECANCELED})\n"
                self.assertTrue(q.wait_for_log(left, 5, 5), q.log())
                self.assertTrue(wait_until(lambda: q.descriptor_count() == descriptors + 2, 5),
                                "the clients that left still hold their descriptors")
                self.assertEqual(receive_all(waiting, 30, reset_ends=True), b"")
                timed_out = f"Error connecting to 127.0.0.1:{target.getsockname()[1]} ({errno.ETIMEDOUT})\n"
                # The log's writer thread may write the line after the client saw its end.
                self.assertTrue(q.wait_for_log(timed_out, 1, 5), q.log())
                self.assertEqual(q.log().count(timed_out), 1, q.log())
                waiting.close()
                self.assertTrue(wait_until(lambda: q.descriptor_count() == descriptors, 5))
                self.assertNotIn("Connection closed", q.log())

    def test_target_that_refuses(self):
        refused_port = free_port()
        q = self.start_qorvand(refused_port)
        descriptors_at_start = q.descriptor_count()
        for _ in range(20):
            with q.connect() as client:
                client.sendall(b"HELO nobody\r\n")
                try:
                    self.assertEqual(receive_all(client, 20), b"")
                except ConnectionResetError:
                    pass
        refusal = f"Error connecting to 127.0.0.1:{refused_port} ({errno.ECONNREFUSED})\n"
        self.assertTrue(q.wait_for_log(refusal, 20, 20), q.log())
        self.assertEqual(closing_lines(q), 0)
        self.assertTrue(wait_until(lambda: q.descriptor_count() == descriptors_at_start, 10),
                        "descriptors leaked by failed connects")
        self.assert_idle(q)


class SummaryTest(FaultTestCase):
    """With -a each connection's last line sums it up: the bytes delivered each way and how it ended."""

    def summary_of(self, q, number, seconds=20):
        """The fields of the connection's summary line, once that is its last line."""
        def last_fields():
            texts = harness.transcript(q.log_lines(), number)
            match = harness.SUMMARY.match(texts[-1]) if texts else None
            return match.groups() if match else None
        fields = wait_until(last_fields, seconds)
        self.assertIsNotNone(fields, q.log())
        return fields

    def test_every_way_a_connection_ends_is_named(self):
        # A target whose listen queue is full: one client waits out the connect's time limit (10 s), one
        # leaves while it is pending. The other endings are made meanwhile.
        with socket.socket() as full, ListeningServer() as server:
            full.bind((LOOPBACK, 0))
            full.listen(0)
            full_port = full.getsockname()[1]
            with socket.create_connection(full.getsockname()):
                pending = self.start_qorvand(full_port, extra_args=["-a"])
                waiting, leaving = pending.connect(), pending.connect()
                left_at = time.monotonic() + 1.5 * SLOWDOWN

                q = self.start_qorvand(server.port, extra_args=["-a"])
                for client_resets in (None, True, False):
                    client, conn = q.connect(), server.accept()
                    client.sendall(b"0123456789")
                    self.assertEqual(receive_exactly(conn, 10), b"0123456789")
                    conn.sendall(b"abcde")
                    self.assertEqual(receive_exactly(client, 5), b"abcde")
                    if client_resets is None:
                        client.shutdown(socket.SHUT_WR)
                        self.assertEqual(receive_all(conn), b"")
                        conn.close()
                        self.assertEqual(receive_all(client), b"")
                        client.close()
                    else:
                        reset(client if client_resets else conn)
                        (conn if client_resets else client).close()
                refused_port = free_port()
                refused = self.start_qorvand(refused_port, extra_args=["-a"])
                refused.connect().close()

                time.sleep(max(0.0, left_at - time.monotonic()))
                leaving.close()
                self.assertEqual(self.summary_of(pending, 2), ("0", "0", "client left"))
                self.assertEqual(self.summary_of(pending, 1, 15), ("0", "0", "timed out"))
                waiting.close()
        self.assertEqual(self.summary_of(q, 1), ("10", "5", "closed"))
        self.assertEqual(self.summary_of(q, 2), ("10", "5", "reset by client"))
        self.assertEqual(self.summary_of(q, 3), ("10", "5", "reset by server"))
        self.assertEqual(self.summary_of(refused, 1), ("0", "0", "refused"))
        # A failed connect has no closing line: its summary follows the error.
        self.assertEqual(harness.transcript(refused.log_lines(), 1)[-2],
                         f"Error connecting to 127.0.0.1:{refused_port} ({errno.ECONNREFUSED})")
        self.assertEqual(harness.transcript(pending.log_lines(), 2)[-3:-1],
                         ["Client has initiated shutdown",
                          f"Error connecting to 127.0.0.1:{full_port} ({errno.ECANCELED})"])


class ConsoleTest(FaultTestCase):
    """The log file and the relay go on whatever becomes of standard output."""

    LINES = 4000  # about 150 KB of console echo: more than a pipe holds

    def run_with_console(self, lines=LINES, then=None, **console):
        with EchoServer() as echo:
            q = self.start_qorvand(echo.port, **console)
            said = numbered_lines(lines, b"console test line")
            with q.connect() as client:
                client.sendall(said)
                client.shutdown(socket.SHUT_WR)
                try:
                    echoed = receive_all(client, 30)
                except TimeoutError:
                    self.fail(f"the relay stalled; the log ends with {q.log()[-200:]!r}")
                self.assertEqual(echoed, said)
            self.assertTrue(wait_until(lambda: closing_lines(q) == 1, 20), q.log()[-300:])
            # Both directions speak at once, so a line may be logged in two pieces: the text is all there.
            for prefix in (">>>", "<<<"):
                self.assertEqual(traffic_text(q.log(), prefix), said.replace(b"\r\n", b"").decode(), prefix)
            self.assert_echoes(q)
            if then:
                then(q)

    def test_standard_output_closed(self):
        self.run_with_console(preexec_fn=close_standard_output)

    def test_standard_output_a_full_pipe_never_read(self):
        self.run_with_console(stdout=subprocess.PIPE)

    def test_standard_output_a_terminal_nobody_reads(self):
        """About 2 MB of echo to a pseudo-terminal that is not read; once it is read again it is told how
        many lines it missed."""
        master, terminal = os.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, terminal)
        shown = bytearray()

        def drain():
            while select.select([master], [], [], 0.2)[0]:
                shown.extend(os.read(master, 65536))

        def read_the_console_again(q):
            drain()
            self.assert_echoes(q, b"after the console came back\r\n")
            self.assertTrue(wait_until(lambda: drain() or b"after the console came back" in shown, 10),
                            shown[-300:])
            notices = re.findall(rb"Console echo missed \d+ lines \(the log file has them\)", shown)
            self.assertEqual(len(notices), 1, shown[-300:])

        self.run_with_console(lines=28000, then=read_the_console_again, stdout=terminal)

    def test_a_log_file_that_is_standard_output_is_not_echoed_again(self):
        """-f /dev/stdout to a pipe, or -f naming the terminal that is standard output: each line once."""
        master, terminal = os.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, terminal)
        for output in ("pipe", "terminal"):
            with self.subTest(output=output), EchoServer() as echo:
                if output == "pipe":
                    q = self.start_qorvand(echo.port, log_path="/dev/stdout", stdout=subprocess.PIPE)
                    reading = q.process.stdout.fileno()
                else:
                    q = self.start_qorvand(echo.port, log_path=os.ttyname(terminal), stdout=terminal)
                    reading = master
                with q.connect() as client:
                    send_then_shutdown(client, b"HELO a\r\n")
                    self.assertEqual(receive_all(client, 20), b"HELO a\r\n")
                shown = bytearray()

                def read_until_closed():
                    while select.select([reading], [], [], 0.1)[0]:
                        shown.extend(os.read(reading, 65536))
                    return b"Connection closed" in shown

                self.assertTrue(wait_until(read_until_closed, 20), shown)
                lines = shown.decode().splitlines()
                self.assertEqual([lines.count("Listening..."), lines.count(">>> HELO a")], [1, 1], lines)


class LogFileTest(FaultTestCase):
    """A log that cannot be written loses whole lines, never the relay's bytes; standard error hears of it
    once, and the log counts what it lost once it can write again. A log truncated while qorvand runs goes
    on at its new end."""

    WELL_FORMED = re.compile(r"^(Listening\.\.\.|Connection received|(Client|Server) has initiated shutdown|"
                             r"Connection closed|(Incoming|Outgoing): [\d.:]+ -> [\d.:]+|"
                             r"Log write failed: \d+ lines lost \(No space left on device\)|"
                             r"(>>>|<<<)( [ -~]{1,256})?)$")

    def exchange(self, q, lines):
        said = numbered_lines(lines, b"The quick brown fox jumps over the lazy dog")
        with q.connect() as client:
            sending = threading.Thread(target=lambda: (client.sendall(said), client.shutdown(socket.SHUT_WR)))
            sending.start()
            echoed = receive_all(client, 60)
            sending.join(30 * SLOWDOWN)
        self.assertEqual(echoed, said)

    def test_a_full_file_system_and_a_full_device(self):
        if os.geteuid() != 0:
            self.skipTest("mounting a small file system needs root")
        folder = tempfile.mkdtemp(prefix="qorvand-full-")
        self.addCleanup(os.rmdir, folder)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", folder], check=True)
        self.addCleanup(subprocess.run, ["umount", folder], check=True)
        with EchoServer() as echo:
            q = self.start_qorvand(echo.port, log_path=os.path.join(folder, "qorvand.log"))
            self.exchange(q, 40000)  # about 2 MB each way: the log runs out of room
            self.assertTrue(wait_until(lambda: "Can't write log file" in q.stderr(), 10), q.stderr())
            subprocess.run(["mount", "-o", "remount,size=16m", folder], check=True)
            self.assert_echoes(q)
            self.assertTrue(wait_until(lambda: q.log().endswith("Connection closed\n"), 10), q.log()[-300:])
            lines = q.log_lines()
            # A nearly full file system takes a smaller write now and then: each run of failures is
            # reported once, and counted in the log once the next write gets through.
            lost = [line for line in lines if line.startswith("Log write failed")]
            self.assertGreaterEqual(len(lost), 1)
            self.assertEqual(q.stderr().count("Can't write log file"), len(lost), q.stderr())
            self.assertEqual([line for line in lines if not self.WELL_FORMED.match(line)], [], "a line cut short")
            self.assertEqual(lines[-1], "Connection closed")

            full = self.start_qorvand(echo.port, log_path="/dev/full")
            self.exchange(full, 2000)
            # The log's writer thread lets lines gather before it writes.
            self.assertTrue(wait_until(lambda: "Can't write log file" in full.stderr(), 10), full.stderr())
            self.assertEqual(full.stderr(), "Can't write log file /dev/full: No space left on device\n")

    def test_truncated_while_running(self):
        with EchoServer() as echo:
            q = self.start_qorvand(echo.port)
            self.exchange(q, 100)
            self.assertTrue(wait_until(lambda: closing_lines(q) == 1, 20))
            os.truncate(q.log_path, 0)
            self.assert_echoes(q)
            # The log's writer thread may not have written the echoed connection yet.
            self.assertTrue(wait_until(lambda: closing_lines(q) == 1, 20), q.log())
            with open(q.log_path, "rb") as log_file:
                log = log_file.read()
            self.assertTrue(log.startswith(b"Incoming: "), log[:100])
            self.assertNotIn(b"\0", log)


    def test_renamed_then_reopened_by_sigusr1(self):
        """A rotation renames the log while a connection streams, then SIGUSR1: the renamed file ends with
        whole lines, what follows goes to a new file at the log's path, nothing is lost or doubled across the
        two, and the connection goes on byte-exact. A path that cannot be opened leaves the log where it
        was; with -f - the signal does nothing."""
        lines = numbered_lines(4000, b"The quick brown fox jumps over the lazy dog")
        first, second = lines[:len(lines) // 2], lines[len(lines) // 2:]
        with EchoServer() as echo:
            q = self.start_qorvand(echo.port)
            renamed = q.log_path + ".1"
            reopened = threading.Event()

            def send(client):
                client.sendall(first)
                reopened.wait(30 * SLOWDOWN)
                send_then_shutdown(client, second)

            with q.connect() as client:
                sending = threading.Thread(target=send, args=(client,))
                sending.start()
                self.assertTrue(wait_until(lambda: ">>> 000100 " in q.log(), 20), q.log()[-300:])
                os.rename(q.log_path, renamed)
                os.kill(q.pid, signal.SIGUSR1)
                self.assertTrue(wait_until(lambda: not writes_to(q.pid, renamed), 20), "the log was not reopened")
                reopened.set()
                echoed = receive_all(client, 60)
                sending.join(30 * SLOWDOWN)
            self.assertEqual(echoed, lines)
            self.assertTrue(wait_until(lambda: q.log().endswith("Connection closed\n"), 20), q.log()[-300:])
            with open(renamed) as old_file:
                old = old_file.read()
            self.assertTrue(old.startswith("Listening...\n") and old.endswith("\n"), old[-300:])
            self.assertIn(">>> 003999 ", q.log())
            for prefix in (">>>", "<<<"):
                self.assertEqual(traffic_text(old + q.log(), prefix), lines.replace(b"\r\n", b"").decode(), prefix)

            os.rename(q.log_path, q.log_path + ".2")
            os.mkdir(q.log_path)
            os.kill(q.pid, signal.SIGUSR1)
            self.assertTrue(wait_until(lambda: "Can't reopen log file" in q.stderr(), 20))
            self.assertEqual(q.stderr(), f"Can't reopen log file {q.log_path}: Is a directory\n")
            self.assert_echoes(q)
            self.assertTrue(wait_until(lambda: closing_lines_of(q.log_path + ".2") == 2, 20))

            console_only = self.start_qorvand(echo.port, log_to_stdout=True)
            os.kill(console_only.pid, signal.SIGUSR1)
            self.assert_echoes(console_only)
            self.assertEqual(console_only.stderr(), "")


class HostileBytesTest(FaultTestCase):
    EVERY_BYTE = bytes(range(256))

    def test_every_byte_value_passes_intact_and_never_reaches_the_log(self):
        to_server = self.EVERY_BYTE * 64
        to_client = bytes(reversed(self.EVERY_BYTE)) * 64
        with ListeningServer() as server, tempfile.TemporaryFile() as console:
            q = self.start_qorvand(server.port, stdout=console)
            with q.connect() as client, server.accept() as conn:
                client.sendall(to_server)
                conn.sendall(to_client)
                self.assertEqual(receive_exactly(conn, len(to_server)), to_server)
                self.assertEqual(receive_exactly(client, len(to_client)), to_client)
                client.shutdown(socket.SHUT_WR)
                conn.shutdown(socket.SHUT_WR)
                self.assertEqual(receive_all(conn, 20), b"")
                self.assertEqual(receive_all(client, 20), b"")
            self.assertTrue(wait_until(lambda: closing_lines(q) == 1, 20))
            with open(q.log_path, "rb") as log_file:
                log = log_file.read()
            # The echo is written by a thread of its own, a moment after the file.
            wait_until(lambda: os.path.getsize(console.name) >= len(log), 10)
            self.stop_and_check(q)
            console.seek(0)
            echoed = console.read()
        for name, text in (("log file", log), ("console", echoed)):
            self.assertIn(b"\n>>> ", text, name)
            self.assertIn(b"\n<<< ", text, name)
            unsafe = sorted({byte for byte in text if byte != 0x0A and not 0x20 <= byte <= 0x7E})
            self.assertEqual(unsafe, [], f"{name} holds control or non-ASCII bytes")
        self.assertEqual(echoed, log)


class OwnListenerByAnotherNameTest(FaultTestCase):
    """A target that is this host's own listening socket would relay every client into itself."""

    def start(self, *args):
        return subprocess.run([harness.QORVAND, "-f", "-", *args], capture_output=True, timeout=10 * SLOWDOWN,
                              stdin=subprocess.DEVNULL)

    def test_refused_at_start(self):
        port = free_port()
        names = ["127.0.0.2", "127.255.255.254", "0.0.0.0", "localhost", "::ffff:127.0.0.1"]
        interface = own_interface_address()
        if interface is not None:
            names.append(interface)
        for name in names:
            for args in ([name, str(port), str(port)],
                         ["-l", "-1", name, str(port)],
                         [name, str(port), str(port + 65536)]):
                with self.subTest(args=args):
                    self.assert_refused(args)
        # An IPv6 listener takes its own addresses of both families.
        for name in ["::1", "[::]", "::ffff:127.0.0.1", "127.0.0.1"] + own_interface_address(family=6, every=True):
            with self.subTest(bind="::", target=name):
                self.assert_refused(["-b", "::", name, str(port), str(port)])
        with self.subTest(bind="::1", target="::"):
            self.assert_refused(["-b", "::1", "::", str(port), str(port)])

    def assert_refused(self, args):
        result = self.start(*args)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr, b"Can't listen on target socket\n")
        self.assertEqual(result.stdout, b"")

    def test_another_port_on_another_loopback_name_runs(self):
        target_port = free_port()
        q = self.start_qorvand(target_port, target="127.0.0.2")
        self.assertIn("Listening...\n", q.log())
        # An IPv4 listener is not reached through ::1, nor one on 127.0.0.1 through 127.0.0.2.
        for target, extra in (("::1", []), ("127.0.0.2", ["-b", "127.0.0.1"])):
            with self.subTest(target=target, extra=extra):
                port = free_port()
                q = self.start_qorvand(port, listen_port=port, target=target, extra_args=extra)
                self.assertIn("Listening...\n", q.log())


if __name__ == "__main__":
    unittest.main()
