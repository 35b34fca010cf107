"""End-to-end tests of the connection relay: the real qorvand between real clients and servers on
loopback. Checks that every byte arrives in both directions, that closes and resets are handled the
way the log promises, and that an idle or finished connection costs no CPU, descriptors or threads."""
import concurrent.futures
import errno
import hashlib
import os
import random
import re
import select
import socket
import subprocess
import tempfile
import time
import unittest

import harness
from harness import (CLOSED, SLOWDOWN, SUMMARY, EchoServer, HttpServer, ListeningServer, OpensslServer, Qorvand, SmtpServer,
                     receive_all, receive_exactly, reset, send_then_shutdown, transcript, wait_until)

CLIENT_SHUTDOWN = "Client has initiated shutdown"
SERVER_SHUTDOWN = "Server has initiated shutdown"
# An idle process may be charged a stray tick.
IDLE_TICKS_ALLOWED = 2


def digest(data):
    return hashlib.sha256(data).hexdigest()


def binary_payload(size, seed):
    """Random bytes that surely hold NUL, 0xFF, CR and LF."""
    return b"\x00\xff\r\n\x00\xff" + random.Random(seed).randbytes(size - 6)


def text_payload(tag, count):
    """count CR LF lines, each distinct and short enough to be logged whole."""
    return b"".join(b"%s line %07d %s\r\n" % (tag, number, b"x" * (number % 50)) for number in range(count))


def logged_as(prefix, payload):
    return [f"{prefix} {line}" for line in payload.decode("ascii").split("\r\n")[:-1]]


def summaries(log):
    return log.count(" Summary: ")


def start_curl_mail(port, sender, mail_path, *options, host="127.0.0.1"):
    """curl sending one mail from sender to bob@example.com through port."""
    return subprocess.Popen(
        ["curl", "-sS", "--max-time", str(int(30 * SLOWDOWN)), *options, f"smtp://{host}:{port}/client.example",
         "--mail-from", sender, "--mail-rcpt", "bob@example.com", "--upload-file", mail_path],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def finish(process, seconds=60):
    """Waits for a process a test started (killed by its pid when it overstays); returns its standard error."""
    try:
        _, stderr = process.communicate(timeout=seconds * SLOWDOWN)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait(10)
    return stderr


def wait_for_stall(progress, seconds):
    """Waits until progress() has stopped changing for a few polls in a row (bounded in time)."""
    end = harness.deadline(seconds)
    last, unchanged = progress(), 0
    while time.monotonic() < end and unchanged < 5:
        time.sleep(0.1 * SLOWDOWN)
        current = progress()
        unchanged = unchanged + 1 if current == last else 0
        last = current
    return unchanged >= 5


def send_ignoring_reset(sock, data):
    """Sends until done or the peer is gone; returns whether all was sent."""
    try:
        sock.sendall(data)
        return True
    except (BrokenPipeError, ConnectionResetError, socket.timeout):
        return False


class RelayTestCase(harness.QorvandTestCase):
    """Relayed traffic, end to end."""


class SmtpExchangeTest(RelayTestCase):
    def test_mail_from_curl_reaches_aiosmtpd_intact_and_the_log_reads_as_a_transcript(self):
        mail = (b"From: alice@example.com\r\nTo: bob@example.com\r\nSubject: relay check\r\n\r\n"
                b"Hello Bob,\r\n\r\na tab\there and an 8-bit \xe9 byte.\r\n"
                + b"".join(b"body line %03d\r\n" % number for number in range(40)) + b"Bye\r\n")
        with SmtpServer() as smtp, tempfile.TemporaryDirectory(prefix="qorvand-mail-") as folder:
            qorvand = self.start_qorvand(smtp.port)
            mail_path = os.path.join(folder, "mail.txt")
            with open(mail_path, "wb") as mail_file:
                mail_file.write(mail)
            curl = subprocess.run(
                ["curl", "-sS", "--max-time", str(int(30 * SLOWDOWN)),
                 f"smtp://127.0.0.1:{qorvand.listen_port}/client.example", "--mail-from", "alice@example.com",
                 "--mail-rcpt", "bob@example.com", "--upload-file", mail_path],
                capture_output=True, timeout=60 * SLOWDOWN)
            self.assertEqual(curl.returncode, 0, curl.stderr)
            lines = self.wait_for_closing_line(qorvand)
            self.assertTrue(wait_until(lambda: len(smtp.mails()) == 1, 10))
            delivered = smtp.mails()[0]
        self.assertEqual(delivered["mail_from"], "alice@example.com")
        self.assertEqual(delivered["rcpt_tos"], ["bob@example.com"])
        self.assertEqual(delivered["content"].encode("latin-1"), mail)

        port = qorvand.listen_port
        self.assert_in_order(lines, [
            "Listening...", "Incoming: 127.0.0.1:", "Connection received", "Outgoing: 127.0.0.1:", "<<< 220 ",
            ">>> EHLO client.example", "<<< 250", ">>> MAIL FROM:<alice@example.com>", "<<< 250",
            ">>> RCPT TO:<bob@example.com>", "<<< 250", ">>> DATA", "<<< 354", ">>> From: alice@example.com",
            ">>> Subject: relay check", ">>> Hello Bob,", ">>> a tab.here and an 8-bit . byte.",
            ">>> body line 000", ">>> body line 039", ">>> Bye", ">>> .", "<<< 250", ">>> QUIT", "<<< 221"])
        self.assertRegex(lines[1], rf"^Incoming: 127\.0\.0\.1:\d+ -> 0\.0\.0\.0:{port}$")
        self.assertRegex(lines[3], rf"^Outgoing: 127\.0\.0\.1:\d+ -> 127\.0\.0\.1:{smtp.port}$")
        after_quit = lines[lines.index(">>> QUIT"):]
        self.assertEqual(after_quit.count(CLIENT_SHUTDOWN), 1, lines)
        self.assertEqual(after_quit.count(SERVER_SHUTDOWN), 1, lines)
        self.assertEqual(lines[-1], CLOSED)


    def write_mail(self, folder, sender):
        path = os.path.join(folder, sender + ".txt")
        with open(path, "wb") as mail_file:
            mail_file.write(b"From: %s\r\nSubject: from %s\r\n\r\nHello Bob\r\n" % (sender.encode(), sender.encode()))
        return path

    def test_two_concurrent_annotated_sessions_read_back_apart_by_their_numbers(self):
        senders = ["alice@example.com", "carol@example.com"]
        with SmtpServer() as smtp, tempfile.TemporaryDirectory(prefix="qorvand-mail-") as folder:
            qorvand = self.start_qorvand(smtp.port, "-a")
            curls = [start_curl_mail(qorvand.listen_port, sender, self.write_mail(folder, sender))
                     for sender in senders]
            for curl in curls:
                stderr = finish(curl)
                self.assertEqual(curl.returncode, 0, stderr)
            self.assertTrue(wait_until(lambda: summaries(qorvand.log()) == 2, 30), qorvand.log())
            self.assertTrue(wait_until(lambda: len(smtp.mails()) == 2, 10))
        lines = qorvand.log_lines()
        for line in lines:
            self.assertRegex(line, harness.ANNOTATED)
        self.assertEqual(harness.ANNOTATED.match(lines[0]).groups(), (None, "Listening..."))
        seen = []
        for number in (1, 2):
            texts = transcript(lines, number)
            sender = next((s for s in senders if f">>> MAIL FROM:<{s}>" in texts), None)
            self.assertIsNotNone(sender, texts)
            seen.append(sender)
            self.assert_in_order(texts, [
                "Incoming: 127.0.0.1:", "Connection received", "Outgoing: 127.0.0.1:", "<<< 220 ",
                ">>> EHLO client.example", f">>> MAIL FROM:<{sender}>", "<<< 250", ">>> RCPT TO:<bob@example.com>",
                ">>> DATA", "<<< 354", f">>> Subject: from {sender}", ">>> Hello Bob", ">>> .", ">>> QUIT", "<<< 221"])
            other = senders[1 - senders.index(sender)]
            self.assertFalse([text for text in texts if other in text], texts)
            self.assertEqual(texts[-2], CLOSED)
            summary = SUMMARY.match(texts[-1])
            self.assertIsNotNone(summary, texts[-1])
            self.assertGreater(int(summary.group(1)), 100)
            self.assertGreater(int(summary.group(2)), 100)
            self.assertEqual(summary.group(3), "closed")
        self.assertCountEqual(seen, senders)

    def test_starttls_shows_both_hellos_and_records_instead_of_dots(self):
        with tempfile.TemporaryDirectory(prefix="qorvand-tls-") as folder:
            cert, key = harness.self_signed_certificate(folder, "mail.example.test")
            with SmtpServer(tls=(cert, key)) as smtp:
                qorvand = self.start_qorvand(smtp.port, "-a")
                port = qorvand.listen_port
                curl = start_curl_mail(port, "alice@example.com", self.write_mail(folder, "alice@example.com"),
                                       "--ssl-reqd", "-k", "--resolve", f"mail.example.test:{port}:127.0.0.1",
                                       host="mail.example.test")
                stderr = finish(curl)
                self.assertEqual(curl.returncode, 0, stderr)
                self.assertTrue(wait_until(lambda: summaries(qorvand.log()) == 1, 30), qorvand.log())
                self.assertTrue(wait_until(lambda: len(smtp.mails()) == 1, 10))
        texts = transcript(qorvand.log_lines(), 1)
        self.assert_in_order(texts, [
            ">>> EHLO client.example", "<<< 250-STARTTLS", ">>> STARTTLS", "<<< 220 ",
            "TLS from client: ClientHello, server name mail.example.test, offers TLS 1.3, TLS 1.2",
            ">>> [TLS handshake, ", "TLS from server: ServerHello, version TLS 1.3", "<<< [TLS handshake, ",
            ">>> [TLS application data, ", "<<< [TLS application data, ", CLOSED, "Summary: "])
        encrypted = texts[next(i for i, text in enumerate(texts) if text.startswith("TLS from client")):]
        for text in encrypted:
            if text.startswith((">>>", "<<<")):
                self.assertRegex(text, r"^(>>>|<<<) \[TLS [A-Za-z ]+, \d+ bytes?\]$")


class OtherRealPeersTest(RelayTestCase):
    def test_openssl_client_and_server_show_the_server_name_and_the_version(self):
        with tempfile.TemporaryDirectory(prefix="qorvand-tls-") as folder:
            cert, key = harness.self_signed_certificate(folder, "example.test")
            with OpensslServer(cert, key) as server:
                qorvand = self.start_qorvand(server.port, "-a")
                client = subprocess.Popen(
                    ["openssl", "s_client", "-connect", f"127.0.0.1:{qorvand.listen_port}", "-servername",
                     "example.test", "-quiet", "-no_ign_eof"],
                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
                try:
                    client.stdin.write(b"hello through qorvand\n")
                    client.stdin.flush()
                    reply = b""
                    end = harness.deadline(20)
                    while not reply.endswith(b"\n") and time.monotonic() < end:
                        if select.select([client.stdout], [], [], 0.1)[0]:
                            chunk = os.read(client.stdout.fileno(), 4096)
                            if not chunk:
                                break
                            reply += chunk
                    client.stdin.close()
                    client.wait(20 * SLOWDOWN)
                finally:
                    if client.poll() is None:
                        client.kill()
                        client.wait(10)
                    client.stdout.close()
                self.assertEqual(reply, b"dnavroq hguorht olleh\n")
                self.assertTrue(wait_until(lambda: summaries(qorvand.log()) == 1, 30), qorvand.log())
        texts = transcript(qorvand.log_lines(), 1)
        self.assert_in_order(texts, [
            "Outgoing: ", "TLS from client: ClientHello, server name example.test, offers TLS 1.3, TLS 1.2",
            ">>> [TLS handshake, ", "TLS from server: ServerHello, version TLS 1.3", "<<< [TLS handshake, ",
            CLOSED, "Summary: "])
        traffic = [text for text in texts if text.startswith((">>>", "<<<"))]
        self.assertTrue(traffic)
        for text in traffic:
            self.assertRegex(text, r"^(>>>|<<<) \[TLS [A-Za-z ]+, \d+ bytes?\]$")

    def test_curl_downloads_a_binary_file_over_http_byte_for_byte(self):
        body = binary_payload(2_000_000, seed=11)
        with HttpServer() as http:
            with open(os.path.join(http.root, "blob.bin"), "wb") as blob:
                blob.write(body)
            qorvand = self.start_qorvand(http.port)
            curl = subprocess.run(
                ["curl", "-sS", "--max-time", str(int(30 * SLOWDOWN)), "-o", "-",
                 f"http://127.0.0.1:{qorvand.listen_port}/blob.bin"],
                capture_output=True, timeout=60 * SLOWDOWN)
            self.assertEqual(curl.returncode, 0, curl.stderr)
            lines = self.wait_for_closing_line(qorvand)
        self.assertEqual(digest(curl.stdout), digest(body))
        self.assert_in_order(lines, [">>> GET /blob.bin HTTP/1.1", ">>> Host: 127.0.0.1:", "<<< HTTP/1.0 200 OK",
                                     "<<< Content-Length: 2000000"])
        self.assertEqual(lines[-1], CLOSED)

    def test_curl_over_ipv6_and_a_host_name_as_the_target(self):
        """curl to Python's HTTP server on ::1, through qorvand listening on ::1; and the target named
        localhost. Log lines show IPv6 addresses in brackets and the address actually listened on."""
        body = binary_payload(300_000, seed=12)
        with HttpServer(bind="::1") as http:
            with open(os.path.join(http.root, "blob.bin"), "wb") as blob:
                blob.write(body)
            qorvand = Qorvand(http.port, target="::1", extra_args=["-b", "::1"])
            self.addCleanup(qorvand.stop)
            curl = subprocess.run(["curl", "-sS", "-g", "--max-time", str(int(30 * SLOWDOWN)), "-o", "-",
                                   f"http://[::1]:{qorvand.listen_port}/blob.bin"],
                                  capture_output=True, timeout=60 * SLOWDOWN)
            self.assertEqual(curl.returncode, 0, curl.stderr)
            lines = self.wait_for_closing_line(qorvand)
        self.assertEqual(digest(curl.stdout), digest(body))
        self.assertRegex(lines[1], rf"^Incoming: \[::1\]:\d+ -> \[::1\]:{qorvand.listen_port}$")
        self.assertRegex(lines[3], rf"^Outgoing: \[::1\]:\d+ -> \[::1\]:{http.port}$")

        server = ListeningServer()
        self.addCleanup(server.close)
        by_name = Qorvand(server.port, target="localhost")
        self.addCleanup(by_name.stop)
        qorvand, _, client, server_side = self.relay_pair(by_name, server)
        client.sendall(b"PING\r\n")
        self.assertEqual(receive_exactly(server_side, 6), b"PING\r\n")
        self.assertRegex(qorvand.log_lines()[3], r"^Outgoing: 127\.0\.0\.1:\d+ -> 127\.0\.0\.1:\d+$")

    def test_a_name_with_several_addresses_is_tried_in_order(self):
        if os.geteuid() != 0 or not os.access("/etc/hosts", os.W_OK):
            self.skipTest("needs to add a name to /etc/hosts")
        name = "qorvand-two-addresses.test"
        with open("/etc/hosts") as hosts:
            saved = hosts.read()

        def restore():
            with open("/etc/hosts", "w") as hosts:
                hosts.write(saved)

        self.addCleanup(restore)
        with open("/etc/hosts", "a") as hosts:
            hosts.write(f"\n::1 {name}\n127.0.0.1 {name}\n")
        order = [info[4][0] for info in socket.getaddrinfo(name, 1, type=socket.SOCK_STREAM)]
        self.assertEqual(sorted(order), ["127.0.0.1", "::1"])
        # Only the second address answers; the summary tells how the relayed connection ended, not how
        # the first address failed.
        family = socket.AF_INET6 if order[1] == "::1" else socket.AF_INET
        with socket.socket(family) as server:
            server.bind((order[1], 0))
            server.listen(8)
            port = server.getsockname()[1]
            qorvand = Qorvand(port, target=name, extra_args=["-a"])
            self.addCleanup(qorvand.stop)
            with qorvand.connect() as client:
                server.settimeout(10 * SLOWDOWN)
                conn, _ = server.accept()
                client.sendall(b"HELO\r\n")
                self.assertEqual(conn.recv(6), b"HELO\r\n")
                conn.close()
            shown = [f"[{address}]" if ":" in address else address for address in order]
            self.assertTrue(qorvand.wait_for_log("Summary: "), qorvand.log())
            lines = transcript(qorvand.log_lines(), 1)
            self.assertEqual(lines[2], f"Error connecting to {shown[0]}:{port} ({errno.ECONNREFUSED})")
            self.assertRegex(lines[3], rf"^Outgoing: .* -> {re.escape(shown[1])}:{port}$")
            self.assertEqual(SUMMARY.match(lines[-1]).groups(), ("6", "0", "closed"), lines)

    def test_socat_client_sends_a_file_and_half_closes(self):
        payload = text_payload(b"socat", 3000)
        with ListeningServer() as server, tempfile.TemporaryDirectory(prefix="qorvand-socat-") as folder:
            qorvand = self.start_qorvand(server.port)
            source = os.path.join(folder, "payload.txt")
            with open(source, "wb") as out:
                out.write(payload)
            socat = subprocess.Popen(["socat", "-u", f"FILE:{source}", f"TCP:127.0.0.1:{qorvand.listen_port}"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                conn = server.accept()
                received = receive_all(conn)
                conn.close()
                socat.wait(timeout=30 * SLOWDOWN)
            finally:
                if socat.poll() is None:
                    socat.kill()
                    socat.wait()
            lines = self.wait_for_closing_line(qorvand)
        self.assertEqual(received, payload)
        self.assertEqual(lines.count(CLIENT_SHUTDOWN), 1)
        self.assertEqual([line for line in lines if line.startswith(">>> ")], logged_as(">>>", payload))


class RelayTrafficTest(RelayTestCase):
    def test_request_reply_exchanges_with_replies_of_several_kb_never_wait_for_a_timer(self):
        """The tail of a reply larger than one relay read used to wait ~40 ms for the peer's delayed
        acknowledgement (Nagle's algorithm): both of qorvand's sockets of a connection have it off, and
        exchanges with replies of 2, 16 and 64 KiB go through whole."""
        qorvand, server, client, server_side = self.relay_pair()
        replies = [b"".join(b"%05d reply line of a few kilobytes\r\n" % n for n in range(size // 40))
                   for size in (2048, 16384, 65536)]
        for number in range(30):
            client.sendall(b"GET %014d\r\n" % number)
            self.assertEqual(receive_exactly(server_side, 20), b"GET %014d\r\n" % number)
            reply = replies[number % len(replies)]
            server_side.sendall(reply)
            self.assertEqual(receive_exactly(client, len(reply)), reply)
        # Asked once bytes have gone both ways: both sockets are set up by then.
        self.assertTrue(harness.nagle_is_off([qorvand.pid], qorvand.listen_port, client.getsockname()[1]))
        self.assertTrue(harness.nagle_is_off([qorvand.pid], server_side.getpeername()[1], server.port))

    def test_hex_rows_of_a_known_exchange_with_annotate(self):
        server = ListeningServer()
        self.addCleanup(server.close)
        qorvand, _, client, server_side = self.relay_pair(self.start_qorvand(server.port, "-x", "-a"), server)
        said = [(client, server_side, b"HELO a\r\n\x00\x1bary\n\x00\x00bin"), (server_side, client, b"250 ok\r\n"),
                (client, server_side, b"QUIT\r\n")]
        for sender, receiver, data in said:
            sender.sendall(data)
            self.assertEqual(receive_exactly(receiver, len(data)), data)
        client.close()
        server_side.close()
        self.assertTrue(wait_until(lambda: summaries(qorvand.log()) == 1, 30), qorvand.log())
        texts = transcript(qorvand.log_lines(), 1)
        self.assertEqual([text for text in texts if text.startswith((">>>", "<<<"))], [
            ">>> 00000000  48 45 4c 4f 20 61 0d 0a  00 1b 61 72 79 0a 00 00  |HELO a....ary...|",
            ">>> 00000010  62 69 6e                                          |bin|",
            "<<< 00000000  32 35 30 20 6f 6b 0d 0a                           |250 ok..|",
            ">>> 00000013  51 55 49 54 0d 0a                                 |QUIT..|",
        ])
        self.assertEqual(SUMMARY.match(texts[-1]).groups(), ("25", "8", "closed"))

    def test_a_ping_pong_without_line_ends_is_logged_in_the_order_it_was_sent(self):
        """Messages without a line end (a prompt, a binary protocol) each stand on a line of their own, in the
        order they were sent, with the time they were read; the last one before the closes."""
        server = ListeningServer()
        self.addCleanup(server.close)
        qorvand, _, client, server_side = self.relay_pair(self.start_qorvand(server.port, "-a"), server)
        exchange = [(server_side, client, b"HELLO")]
        for number in range(3):
            exchange += [(client, server_side, b"REQ%d" % number), (server_side, client, b"REPLY%d" % number)]
        exchange.append((client, server_side, b"BYE"))
        for sender, receiver, message in exchange:
            sender.sendall(message)
            self.assertEqual(receive_exactly(receiver, len(message)), message)
        client.close()
        self.assertTrue(qorvand.wait_for_log(CLIENT_SHUTDOWN), qorvand.log())
        server_side.close()
        self.assertTrue(wait_until(lambda: summaries(qorvand.log()) == 1, 30), qorvand.log())
        lines = [line for line in qorvand.log_lines() if " #1 " in line]
        texts = transcript(lines, 1)
        start = texts.index(next(text for text in texts if text.startswith("Outgoing: "))) + 1
        expected = [("<<< " if sender is server_side else ">>> ") + message.decode() for sender, _, message in exchange]
        self.assertEqual(texts[start:-1], expected + [CLIENT_SHUTDOWN, SERVER_SHUTDOWN, CLOSED])
        self.assertEqual(SUMMARY.match(texts[-1]).group(3), "closed")
        times = [line[:26] for line in lines]
        self.assertEqual(times, sorted(times), "a line carries a time before the line above it")

    @unittest.skipUnless(harness.PostgresServer.BIN, "PostgreSQL's server is not installed")
    def test_psql_queries_and_replies_stand_in_the_order_they_were_sent(self):
        """A binary protocol whose messages have no line ends: each reply stands after its query and before
        the next one, and the last one before the client's terminate message and the closes."""
        with harness.PostgresServer() as postgres:
            qorvand = self.start_qorvand(postgres.port)
            psql = subprocess.run(
                ["psql", "-X", "-A", "-t", "-h", harness.LOOPBACK, "-p", str(qorvand.listen_port), "-U", "postgres",
                 "-d", "postgres", "-c", "select 'one'", "-c", "select 'two'"],
                capture_output=True, timeout=60 * SLOWDOWN)
            self.assertEqual(psql.stdout, b"one\ntwo\n", psql.stderr)
            lines = self.wait_for_closing_line(qorvand)

        def first(prefix, text):
            return next((index for index, line in enumerate(lines) if line.startswith(prefix) and text in line), -1)

        def replies(start, end):
            return "".join(line[4:] for line in lines[start + 1:end] if line.startswith("<<< "))
        # The close may be noticed with the terminate message, and then stands before it.
        terminate = min(first(">>> ", "X...."), first(CLIENT_SHUTDOWN, ""))
        order = [first(">>> ", "select 'one'"), first(">>> ", "select 'two'"), terminate, first(SERVER_SHUTDOWN, ""),
                 first(CLOSED, "")]
        self.assertNotIn(-1, order, "\n".join(lines))
        self.assertEqual(order, sorted(order), "\n".join(lines))
        # Each reply, up to its ready-for-query message, stands between its query and the client's next message.
        for (query, following), value in zip(zip(order, order[1:]), ("one", "two")):
            self.assertRegex(replies(query, following), rf"\.{value}C.*SELECT 1\.Z\.\.\.\.I$", "\n".join(lines))

    def test_upload_to_a_server_that_reads_late_stalls_without_cpu_and_loses_nothing(self):
        qorvand, _, client, server_side = self.relay_pair()
        # More than the socket buffers on the way can hold, so the client has to wait for the server.
        upload = b"".join(b"up line %07d %s\r\n" % (number, b"x" * 230) for number in range(48000))
        sent = [0]

        def send_in_pieces():
            for start in range(0, len(upload), 65536):
                client.sendall(upload[start:start + 65536])
                sent[0] = start + 65536
            client.shutdown(socket.SHUT_WR)

        with concurrent.futures.ThreadPoolExecutor(1) as pool:
            sending = pool.submit(send_in_pieces)
            self.assertTrue(wait_for_stall(lambda: sent[0], 30), "the client never had to wait")
            self.assertFalse(sending.done(), "the whole upload fit in the socket buffers")
            self.assert_idle(qorvand, 1.0, IDLE_TICKS_ALLOWED, "an upload stalled")  # the server keeps not reading
            received = receive_all(server_side, 60)
            sending.result(timeout=30 * SLOWDOWN)
        self.assertEqual(digest(received), digest(upload))
        server_side.close()
        self.assertEqual(receive_all(client), b"")
        lines = self.wait_for_closing_line(qorvand)
        self.assertEqual([line for line in lines if line.startswith(">>>")], logged_as(">>>", upload))
        self.assertEqual(lines[-1], CLOSED)

    def test_binary_data_both_ways_at_once_arrives_unchanged(self):
        qorvand, _, client, server_side = self.relay_pair()
        upload, download = binary_payload(3 << 20, 1), binary_payload(3 << 20, 2)
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            sends = [pool.submit(send_then_shutdown, client, upload),
                     pool.submit(send_then_shutdown, server_side, download)]
            at_server = pool.submit(receive_all, server_side, 120)
            at_client = pool.submit(receive_all, client, 120)
            for sending in sends:
                sending.result(timeout=120 * SLOWDOWN)
            self.assertEqual(digest(at_server.result(timeout=120 * SLOWDOWN)), digest(upload))
            self.assertEqual(digest(at_client.result(timeout=120 * SLOWDOWN)), digest(download))
        lines = self.wait_for_closing_line(qorvand)
        self.assertEqual(lines[-1], CLOSED)
        self.assertEqual(lines.count(CLIENT_SHUTDOWN), 1)
        self.assertEqual(lines.count(SERVER_SHUTDOWN), 1)

    def test_after_a_half_close_the_other_side_still_sends_everything(self):
        for first_closer in ("client", "server"):
            with self.subTest(first_closer=first_closer):
                qorvand, _, client, server_side = self.relay_pair()
                closer, other = (client, server_side) if first_closer == "client" else (server_side, client)
                send_then_shutdown(closer, b"REQUEST\r\n")
                self.assertEqual(receive_all(other), b"REQUEST\r\n")
                reply = text_payload(b"reply", 30000)  # about 2 MB after the close
                with concurrent.futures.ThreadPoolExecutor(1) as pool:
                    sending = pool.submit(send_then_shutdown, other, reply)
                    received = receive_all(closer, 60)
                    sending.result(timeout=30 * SLOWDOWN)
                self.assertEqual(digest(received), digest(reply))
                lines = self.wait_for_closing_line(qorvand)
                first, second = ((CLIENT_SHUTDOWN, SERVER_SHUTDOWN) if first_closer == "client"
                                 else (SERVER_SHUTDOWN, CLIENT_SHUTDOWN))
                self.assert_in_order(lines, [first, second, CLOSED])
                self.assertEqual(lines[-1], CLOSED)

    def test_the_servers_goodbye_reaches_the_log_when_the_client_closes_its_socket_right_after_quit(self):
        """A closed socket (not a half-close) answers the goodbye with a reset: the goodbye is logged all the
        same, and the failed send at most once."""
        qorvand, _, client, server_side = self.relay_pair()
        server_side.sendall(b"220 ready\r\n")
        self.assertEqual(receive_exactly(client, 11), b"220 ready\r\n")
        client.sendall(b"QUIT\r\n")
        client.close()
        self.assertEqual(receive_exactly(server_side, 6), b"QUIT\r\n")
        server_side.sendall(b"221 bye\r\n")
        server_side.close()
        lines = self.wait_for_closing_line(qorvand)
        self.assert_in_order(lines, [">>> QUIT", "<<< 221 bye", CLOSED])
        self.assertTrue(lines[-1].startswith(CLOSED), lines)
        self.assert_logged_once_at_most(lines, [CLIENT_SHUTDOWN, SERVER_SHUTDOWN, "Client socket send error"])

    def test_a_refused_target_disconnects_the_client_without_a_closing_line(self):
        refused_port = harness.free_port()
        qorvand = self.start_qorvand(refused_port)
        client = qorvand.connect()
        self.addCleanup(client.close)
        self.assertEqual(receive_all(client, reset_ends=True), b"")
        self.assertTrue(qorvand.wait_for_log("Error connecting"))
        lines = qorvand.log_lines()
        self.assertEqual(lines[2:], ["Connection received", f"Error connecting to 127.0.0.1:{refused_port} (111)"])
        self.assertRegex(lines[1], rf"^Incoming: 127\.0\.0\.1:\d+ -> 0\.0\.0\.0:{qorvand.listen_port}$")
        self.assertFalse(wait_until(lambda: CLOSED in qorvand.log(), 0.3))

    def test_many_concurrent_connections_each_get_their_own_bytes_back(self):
        count = 100
        with EchoServer() as echo:
            qorvand = self.start_qorvand(echo.port)
            clients = [qorvand.connect() for _ in range(count)]
            for client in clients:
                self.addCleanup(client.close)
            self.assertTrue(qorvand.wait_for_log("Outgoing:", count, 30))
            payloads = [b"connection %03d|" % number + binary_payload(20000, number) for number in range(count)]

            def exchange(client, payload):
                send_then_shutdown(client, payload)
                return receive_all(client, 60)

            with concurrent.futures.ThreadPoolExecutor(32) as pool:
                echoes = list(pool.map(exchange, clients, payloads, timeout=120 * SLOWDOWN))
            for number, (payload, echoed) in enumerate(zip(payloads, echoes)):
                self.assertEqual(digest(echoed), digest(payload), f"connection {number}")
            lines = self.wait_for_closing_line(qorvand, count)
        for event in ("Connection received", CLIENT_SHUTDOWN, SERVER_SHUTDOWN, CLOSED):
            self.assertEqual(lines.count(event), count, event)
        # Lines of concurrent connections never run into each other.
        event_line = re.compile(r"^(Listening\.\.\.|Connection received|Client has initiated shutdown|"
                                r"Server has initiated shutdown|Connection closed|"
                                r"(Incoming|Outgoing): 127\.0\.0\.1:\d+ -> (0\.0\.0\.0|127\.0\.0\.1):\d+)$")
        traffic_line = re.compile(r"^(>>>|<<<)( [ -~]{1,256})?$")
        mixed = [line for line in lines if not event_line.match(line) and not traffic_line.match(line)]
        self.assertEqual(mixed, [])

    def test_clients_arriving_together_are_numbered_in_the_order_of_their_incoming_lines(self):
        """Clients that arrive at once are accepted by several event loops: each number is given once, and
        the log's Incoming lines stand in the order of their numbers."""
        count = 60
        with EchoServer() as echo:
            qorvand = self.start_qorvand(echo.port, "-a")

            def one_client(index):
                with qorvand.connect() as client:
                    client.sendall(b"client %02d\r\n" % index)
                    return receive_exactly(client, 11, 30)

            with concurrent.futures.ThreadPoolExecutor(6) as pool:
                echoes = list(pool.map(one_client, range(count), timeout=60 * SLOWDOWN))
            self.assertEqual(echoes, [b"client %02d\r\n" % index for index in range(count)])
            self.assertTrue(wait_until(lambda: summaries(qorvand.log()) == count, 30), qorvand.log()[-300:])
        numbers = [harness.ANNOTATED.match(line).group(1) for line in qorvand.log_lines() if " Incoming: " in line]
        self.assertEqual(numbers, [str(number) for number in range(1, count + 1)])

    def test_a_peer_reset_mid_transfer_ends_only_that_connection(self):
        for sender in ("client", "server"):
            for resetter in ("client", "server"):
                with self.subTest(sender=sender, resetter=resetter):
                    self.check_reset_mid_transfer(sender, resetter)

    def check_reset_mid_transfer(self, sender_name, resetter_name):
        qorvand, server, client, server_side = self.relay_pair()
        sockets = {"client": client, "server": server_side}
        sender, receiver = sockets[sender_name], sockets["server" if sender_name == "client" else "client"]
        sender.settimeout(30 * SLOWDOWN)
        with concurrent.futures.ThreadPoolExecutor(1) as pool:
            if resetter_name == sender_name:
                payload = binary_payload(512 << 10, 3)
                receiving = pool.submit(receive_all, receiver, 60, True)
                send_ignoring_reset(sender, payload)
                reset(sender)
                received = receiving.result(timeout=60 * SLOWDOWN)
                receiver.close()  # what a peer does on end of stream
                self.assertTrue(payload.startswith(received), "what arrived before the reset was altered")
            else:
                sending = pool.submit(send_ignoring_reset, sender, binary_payload(16 << 20, 4))
                self.assertEqual(len(receive_exactly(receiver, 64 << 10)), 64 << 10)
                reset(receiver)
                sending.result(timeout=60 * SLOWDOWN)
                sender.close()
        lines = self.wait_for_closing_line(qorvand)
        self.assertTrue(lines[-1].startswith(CLOSED), lines)
        peer = resetter_name.capitalize()
        own_lines = [f"{peer} has initiated shutdown", f"{peer} socket read error", f"{peer} socket send error"]
        self.assert_logged_once_at_most(lines, own_lines + [CLIENT_SHUTDOWN, SERVER_SHUTDOWN])
        self.assertTrue(any(line.startswith(tuple(own_lines)) for line in lines), lines)
        # The process goes on serving.
        _, _, next_client, next_server_side = self.relay_pair(qorvand, server)
        next_server_side.sendall(b"220 still here\r\n")
        self.assertEqual(receive_exactly(next_client, 16), b"220 still here\r\n")


class RelayResourceTest(RelayTestCase):
    def test_idle_and_half_closed_connections_use_no_cpu(self):
        server = ListeningServer()
        self.addCleanup(server.close)
        qorvand = self.start_qorvand(server.port)
        address_space = qorvand.vm_size_kib()
        pairs = [self.relay_pair(qorvand, server)[2:] for _ in range(4)]
        for client, server_side in pairs:
            server_side.sendall(b"220 idle\r\n")
            self.assertEqual(receive_exactly(client, 10), b"220 idle\r\n")
        self.assert_idle(qorvand, 2.0, IDLE_TICKS_ALLOWED, "4 idle connections")
        # A connection costs about its thread's stack, not a 64 MiB allocator arena of its own.
        per_connection = (qorvand.vm_size_kib() - address_space) / 4
        self.assertLess(per_connection, 4096, f"{per_connection:.0f} KiB of address space per connection")

        # One client and one server stop sending; their peers stay open and silent.
        pairs[0][0].shutdown(socket.SHUT_WR)
        pairs[1][1].shutdown(socket.SHUT_WR)
        self.assertEqual(receive_all(pairs[0][1]), b"")
        self.assertEqual(receive_all(pairs[1][0]), b"")
        self.assertTrue(qorvand.wait_for_log(CLIENT_SHUTDOWN) and qorvand.wait_for_log(SERVER_SHUTDOWN))
        self.assert_idle(qorvand, 2.0, IDLE_TICKS_ALLOWED, "half-closed connections")
        self.assertNotIn(CLOSED, qorvand.log())

    def test_many_connections_in_a_row_leave_descriptors_and_threads_as_they_were(self):
        rounds = max(100, int(600 / SLOWDOWN))
        with EchoServer() as echo:
            for target in ("echo server", "refused"):
                with self.subTest(target=target):
                    port = echo.port if target == "echo server" else harness.free_port()
                    qorvand = self.start_qorvand(port)

                    def one_connection(number):
                        with qorvand.connect() as client:
                            if target == "echo server":
                                message = b"message %d\r\n" % number
                                send_then_shutdown(client, message)
                                self.assertEqual(receive_all(client), message)
                            else:
                                self.assertEqual(receive_all(client, reset_ends=True), b"")

                    start_descriptors = qorvand.descriptor_count()
                    one_connection(-1)  # the first one may start runtime threads that stay
                    end_line = CLOSED if target == "echo server" else "Error connecting"
                    self.assertTrue(qorvand.wait_for_log(end_line))
                    wait_until(lambda: qorvand.descriptor_count() == start_descriptors, 5)
                    start_threads = qorvand.thread_count()
                    for number in range(rounds):
                        one_connection(number)
                    self.assertTrue(qorvand.wait_for_log(end_line, rounds + 1, 30))
                    settled = wait_until(lambda: qorvand.descriptor_count() == start_descriptors
                                         and qorvand.thread_count() == start_threads, 15)
                    self.assertTrue(settled, f"{start_descriptors} descriptors and {start_threads} threads at "
                                             f"start, {qorvand.descriptor_count()} and {qorvand.thread_count()} "
                                             f"after {rounds} connections")


if __name__ == "__main__":
    unittest.main()
