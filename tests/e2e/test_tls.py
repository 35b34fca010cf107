"""End-to-end tests of TLS interception (--tls): real clients and servers on loopback, STARTTLS and TLS from
the first byte; qorvand ends each client's handshake with a certificate of its own, opens TLS to the server
and logs the plaintext both ways."""
import concurrent.futures
import os
import re
import socket
import ssl
import subprocess
import tempfile
import time
import unittest

import harness
from harness import (CLOSED, SLOWDOWN, SUMMARY, DovecotServer, EchoServer, OpensslServer, PostgresServer,
                     SmtpServer, TlsEchoServer, packet_fields, receive_all, receive_exactly, run_bounded, transcript,
                     wait_until)

INTERCEPTED = re.compile(r"^TLS intercepted: (server name \S+|no server name), TLS 1\.[23] with the client, "
                         r"TLS 1\.[23] TLS_\w+ with the server(, protocol \S+)?, server certificate (verified|"
                         r"not verified: .+)$")


def summaries(log):
    return log.count(" Summary: ")


class TlsTestCase(harness.QorvandTestCase):
    """qorvand with --tls in front of a real server; its CA is qorvand-ca.pem in its working folder."""

    def start_intercepting(self, target_port, *args, **options):
        qorvand = self.start_qorvand(target_port, "-a", "--tls", *args, **options)
        self.ca = os.path.join(qorvand.folder.name, "qorvand-ca.pem")
        return qorvand

    def folder(self):
        made = tempfile.TemporaryDirectory(prefix="qorvand-tls-")
        self.addCleanup(made.cleanup)
        return made.name

    def finished_transcript(self, qorvand, count=1):
        self.assertTrue(wait_until(lambda: summaries(qorvand.log()) >= count, 30), qorvand.log())
        return transcript(qorvand.log_lines(), count)

    def assert_intercepted(self, texts, server_name=None, verified=None):
        lines = [text for text in texts if text.startswith("TLS intercepted: ")]
        self.assertEqual(len(lines), 1, "\n".join(texts))
        self.assertRegex(lines[0], INTERCEPTED)
        if server_name is not None:
            self.assertIn(f"server name {server_name}," if server_name else "no server name,", lines[0])
        if verified is not None:
            self.assertIn(verified, lines[0])
        self.assertRegex(texts[-1], r", TLS intercepted$")
        return lines[0]


class StarttlsTest(TlsTestCase):
    def test_swaks_sends_a_mail_over_starttls_and_the_log_and_capture_show_the_conversation_inside(self):
        cert, key = harness.self_signed_certificate(self.folder(), "mail.example.test")
        with SmtpServer(tls=(cert, key)) as smtp:
            qorvand = self.start_intercepting(smtp.port, "-w", "mail.pcapng")
            swaks = run_bounded(
                ["swaks", "--server", f"127.0.0.1:{qorvand.listen_port}", "--tls", "--tls-verify", "--tls-ca-path",
                 self.ca, "--helo", "client.example", "--from", "alice@example.com", "--to", "bob@example.com",
                 "--header", "Subject: through STARTTLS", "--body", "Hello Bob, in private."])
            self.assertEqual(swaks.returncode, 0, swaks.stdout.decode(errors="replace"))
            self.assertTrue(wait_until(lambda: len(smtp.mails()) == 1, 10))
            self.assertEqual(smtp.mails()[0]["rcpt_tos"], ["bob@example.com"])
            self.assertIn("Hello Bob, in private.", smtp.mails()[0]["content"])
            texts = self.finished_transcript(qorvand)
        self.assert_in_order(texts, [
            "<<< 220 ", ">>> EHLO client.example", "<<< 250-STARTTLS", ">>> STARTTLS", "<<< 220 ",
            "TLS intercepted: no server name, TLS 1.3 with the client, TLS 1.3 ", ">>> EHLO client.example",
            ">>> MAIL FROM:<alice@example.com>", "<<< 250", ">>> RCPT TO:<bob@example.com>", ">>> DATA",
            ">>> Subject: through STARTTLS", ">>> Hello Bob, in private.", ">>> .", "<<< 250", ">>> QUIT", "<<< 221",
            CLOSED, "Summary: "])
        self.assert_intercepted(texts, verified="server certificate not verified: self-signed certificate")
        # swaks closes its socket once it has read the goodbye: the close_notify passed on after the server's
        # may meet a closed socket, which answers with a reset.
        self.assertIn(SUMMARY.match(texts[-1].replace(", TLS intercepted", "")).group(3), ("closed", "reset by client"))
        # The capture holds the plaintext: tshark reads the mail after STARTTLS as SMTP, below the comment that
        # says it was intercepted (on the first packet after it).
        packets = packet_fields(os.path.join(qorvand.folder.name, "mail.pcapng"), "smtp.req.command", "frame.comment",
                                decode_as=[f"tcp.port=={smtp.port},smtp"])
        commands = [command.upper() for command, _ in packets if command]  # tshark names STARTTLS by four letters
        self.assertEqual(commands, ["EHLO", "STAR", "EHLO", "MAIL", "RCPT", "DATA", "QUIT"])
        comments = [(index, comment) for index, (_, comment) in enumerate(packets) if comment]
        self.assertTrue(comments[0][1].startswith("TLS intercepted: "), comments)
        self.assertRegex(comments[-1][1], r"(^|\|)Summary: [^|]*, TLS intercepted$")
        second_ehlo = [index for index, (command, _) in enumerate(packets) if command.upper() == "EHLO"][1]
        self.assertLessEqual(comments[0][0], second_ehlo)

    def test_openssl_s_client_starttls_smtp_imap_pop3_and_postgres_trust_qorvands_certificate(self):
        """s_client checks qorvand's certificate against qorvand-ca.pem and fails on any error; after the
        upgrade each command it sends stands in the log as plaintext."""
        folder = self.folder()
        cert, key = harness.self_signed_certificate(folder, "localhost")
        # SMTP, IMAP, POP3: s_client says goodbye and waits for the server's close; PostgreSQL: it leaves after
        # the handshake.
        servers = [("smtp", lambda: SmtpServer(tls=(cert, key)), b"QUIT\n", ">>> QUIT", "-ign_eof")]
        if DovecotServer.BIN:
            servers += [
                ("imap", lambda: DovecotServer("imap", (cert, key)), b"a1 LOGOUT\n", ">>> a1 LOGOUT", "-ign_eof"),
                ("pop3", lambda: DovecotServer("pop3", (cert, key)), b"QUIT\n", ">>> QUIT", "-ign_eof")]
        if PostgresServer.BIN:
            servers.append(("postgres", lambda: PostgresServer(tls=(cert, key)), b"", None, "-no_ign_eof"))
        for protocol, start_server, said, logged, at_end in servers:
            with self.subTest(protocol), start_server() as server:
                qorvand = self.start_intercepting(server.port)
                client = run_bounded(
                    ["openssl", "s_client", "-starttls", protocol, "-connect", f"127.0.0.1:{qorvand.listen_port}",
                     "-CAfile", self.ca, "-verify_return_error", "-crlf", "-quiet", at_end], input=said)
                self.assertIn(b"verify return:1", client.stderr, client.stderr)
                self.assertNotIn(b"verify error", client.stderr)
                texts = self.finished_transcript(qorvand)
                self.assert_intercepted(texts)
                if logged:
                    self.assert_in_order(texts, ["TLS intercepted: ", logged])
                qorvand.stop()

    @unittest.skipUnless(PostgresServer.BIN, "PostgreSQL's server is not installed")
    def test_psql_with_verify_full_queries_through_the_interception(self):
        cert, key = harness.self_signed_certificate(self.folder(), "localhost")
        with PostgresServer(tls=(cert, key)) as postgres:
            qorvand = self.start_intercepting(postgres.port)
            psql = run_bounded(
                ["psql", "-X", "-A", "-t", "-c", "select 'through tls'",
                 f"host=localhost hostaddr=127.0.0.1 port={qorvand.listen_port} user=postgres dbname=postgres "
                 f"sslmode=verify-full sslrootcert={self.ca}"])
            self.assertEqual(psql.stdout, b"through tls\n", psql.stderr)
            texts = self.finished_transcript(qorvand)
        self.assert_intercepted(texts, server_name="localhost")
        self.assert_in_order(texts, ["TLS intercepted: ", ">>> Q....select 'through tls'."])


class ImplicitTlsTest(TlsTestCase):
    def test_curl_over_https_and_its_secrets_in_the_key_log(self):
        cert, key = harness.self_signed_certificate(self.folder(), "localhost")
        with OpensslServer(cert, key, mode="-www") as server:
            keylog = os.path.join(self.folder(), "keys.log")
            qorvand = self.start_intercepting(server.port, "--keylog", keylog)
            curl_keys = os.path.join(self.folder(), "curl-keys.log")
            curl = run_bounded(["curl", "-sS", "--max-time", str(int(30 * SLOWDOWN)), "--cacert", self.ca,
                                f"https://localhost:{qorvand.listen_port}/"],
                               env=dict(os.environ, SSLKEYLOGFILE=curl_keys))
            self.assertEqual(curl.returncode, 0, curl.stderr)
            self.assertIn(b"s_server -accept", curl.stdout)
            texts = self.finished_transcript(qorvand)
        self.assert_intercepted(texts, server_name="localhost")
        self.assert_in_order(texts, ["TLS intercepted: ", ">>> GET / HTTP/1.1", ">>> Host: localhost:",
                                     "<<< HTTP/1.0 200 ok", CLOSED, "Summary: "])
        with open(curl_keys) as theirs, open(keylog) as ours:
            curl_lines, qorvand_lines = set(theirs.read().splitlines()), set(ours.read().splitlines())
        self.assertTrue(curl_lines)
        self.assertLessEqual(curl_lines, qorvand_lines)
        # The secrets of the leg to the server are there too: more than the client's leg holds.
        self.assertGreater(len(qorvand_lines), len(curl_lines))

    def test_the_servers_own_certificate_with_cert(self):
        """A client that trusts the server's CA alone sees no difference when qorvand shows the server's
        own certificate; the server's certificate is verified only against the system's trust store."""
        ca_cert, cert, key = harness.ca_signed_certificate(self.folder(), "localhost")
        chain_and_key = os.path.join(self.folder(), "server-chain-and-key.pem")
        with open(chain_and_key, "w") as out:
            for part in (cert, key):
                with open(part) as source:
                    out.write(source.read())
        with OpensslServer(cert, key, mode="-www") as server:
            qorvand = self.start_intercepting(server.port, "--cert", chain_and_key)
            curl = run_bounded(["curl", "-sS", "--max-time", str(int(30 * SLOWDOWN)), "--cacert", ca_cert,
                                f"https://localhost:{qorvand.listen_port}/"])
            self.assertEqual(curl.returncode, 0, curl.stderr)
            texts = self.finished_transcript(qorvand)
        self.assert_intercepted(texts, server_name="localhost", verified="server certificate not verified: ")

    def test_the_next_connection_resumes_the_servers_session_and_says_what_was_verified(self):
        """qorvand offers the server the session of its last connection with the same name: s_server's page
        says "Reused" from the second connection on, for TLS 1.3 tickets and TLS 1.2 alike, and every intercept
        line still says whether the server's certificate was verified (SSL_CERT_FILE makes qorvand trust it).
        With --verify, a session with a server that failed the check is never offered: s_server counts no
        resumption."""
        cert, key = harness.self_signed_certificate(self.folder(), "localhost")
        cases = [  # server arguments, qorvand's arguments and environment, what the intercept lines say
            ("TLS 1.3, not verified", (), (), {}, "server certificate not verified: self-signed certificate"),
            ("TLS 1.2, verified", ("-tls1_2",), (), {"SSL_CERT_FILE": cert}, "server certificate verified"),
            ("--verify, TLS 1.2", ("-tls1_2",), ("--verify",), {}, None),
        ]
        for name, server_args, qorvand_args, env, verified in cases:
            with self.subTest(name), OpensslServer(cert, key, mode="-www", extra_args=server_args) as server:
                qorvand = self.start_intercepting(server.port, *qorvand_args, env=env)
                pages = [self.fetch(qorvand.listen_port, "--cacert", self.ca) for _ in range(3)]
                if verified is None:
                    self.assertEqual(pages, [b""] * 3)
                    hits = re.search(rb"(\d+) session cache hits", self.fetch(server.port, "-k")).group(1)
                    self.assertEqual(hits, b"0")
                else:
                    self.assertEqual([re.search(rb"^(New|Reused), TLSv1\.[23], ", page, re.M).group(1)
                                      for page in pages], [b"New", b"Reused", b"Reused"])
                    self.finished_transcript(qorvand, 3)
                    for number in (1, 2, 3):
                        self.assertTrue(self.assert_intercepted(transcript(qorvand.log_lines(), number))
                                        .endswith(verified))
                qorvand.stop()

    @staticmethod
    def fetch(port, *args):
        """The page at port by curl (empty when it fails)."""
        return run_bounded(["curl", "-sS", "--max-time", str(int(30 * SLOWDOWN)), *args,
                            f"https://localhost:{port}/"]).stdout

    def test_failed_handshakes_end_the_connection_and_say_why(self):
        """--verify against a server whose certificate is not trusted, a server that asks for a client
        certificate, a client that does not trust qorvand's CA: the log says why, both peers get resets, no
        socket error line follows, and the summary names the side that failed."""
        cert, key = harness.self_signed_certificate(self.folder(), "localhost")
        cases = [
            ("--verify", ("--verify",), (), True,
             "TLS handshake with the server failed: server certificate not verified: self-signed certificate",
             "reset by server", b"alert handshake failure"),
            ("client certificate", (), ("-Verify", "1"), True,
             "TLS handshake with the server failed: the server asked for a client certificate", "reset by server",
             b"alert handshake failure"),
            ("untrusted CA", (), (), False, "TLS handshake with the client failed: tlsv1 alert unknown ca",
             "reset by client", b"SSL certificate problem"),
        ]
        for name, qorvand_args, server_args, trusts_ca, line, ending, said in cases:
            with self.subTest(name), OpensslServer(cert, key, mode="-www", extra_args=server_args) as server:
                qorvand = self.start_intercepting(server.port, *qorvand_args)
                curl = run_bounded(["curl", "-sS", "--max-time", str(int(30 * SLOWDOWN)),
                                    *(["--cacert", self.ca] if trusts_ca else []),
                                    f"https://localhost:{qorvand.listen_port}/"])
                self.assertNotEqual(curl.returncode, 0)
                self.assertIn(said, curl.stderr)
                texts = self.finished_transcript(qorvand)
                self.assertEqual(texts[-3:], [line, CLOSED, texts[-1]], "\n".join(texts))
                self.assertEqual(SUMMARY.match(texts[-1]).group(3), ending)
                qorvand.stop()

    def test_a_hello_in_pieces_and_many_connections_at_once(self):
        """A client that writes its hello a few bytes at a time, with pauses, is intercepted once the hello
        is whole; many clients at once each get their own bytes back through their own TLS."""
        cert, key = harness.self_signed_certificate(self.folder(), "localhost")
        with TlsEchoServer(cert, key) as server:
            qorvand = self.start_intercepting(server.port)
            context = ssl.create_default_context(cafile=self.ca)
            self.assertEqual(self.echo_with_hello_in_pieces(qorvand, context), b"one piece at a time\r\n")
            count = 24
            with concurrent.futures.ThreadPoolExecutor(count) as pool:
                replies = list(pool.map(lambda n: self.echo(qorvand, context, n), range(count)))
            self.assertEqual(replies, [self.payload(n) for n in range(count)])
            self.assertTrue(wait_until(lambda: summaries(qorvand.log()) == count + 1, 60), qorvand.log())
        lines = qorvand.log_lines()
        self.assertEqual(sum(", TLS intercepted" in line for line in lines), count + 1, "\n".join(lines))
        self.assert_intercepted(transcript(lines, 1), server_name="localhost")
        self.assert_in_order(transcript(lines, 1), ["TLS intercepted: ", ">>> one piece at a time", CLOSED])

    @staticmethod
    def payload(number):
        return b"".join(b"connection %03d line %04d\r\n" % (number, line) for line in range(2000))

    def echo(self, qorvand, context, number):
        with qorvand.connect() as raw, context.wrap_socket(raw, server_hostname="localhost") as tls:
            tls.sendall(self.payload(number))
            reply = receive_exactly(tls, len(self.payload(number)), 60)
            tls.unwrap()
        return reply

    @staticmethod
    def echo_with_hello_in_pieces(qorvand, context):
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        tls = context.wrap_bio(incoming, outgoing, server_hostname="localhost")
        with qorvand.connect() as raw:
            raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            try:
                tls.do_handshake()
            except ssl.SSLWantReadError:
                pass
            hello = outgoing.read()
            for start in range(0, len(hello), 40):
                raw.sendall(hello[start:start + 40])
                time.sleep(0.02)
            end = harness.deadline(20)
            while time.monotonic() < end:
                try:
                    tls.do_handshake()
                    break
                except ssl.SSLWantReadError:
                    raw.sendall(outgoing.read())
                    raw.settimeout(max(0.01, end - time.monotonic()))
                    incoming.write(raw.recv(65536))
            raw.sendall(outgoing.read())
            tls.write(b"one piece at a time\r\n")
            raw.sendall(outgoing.read())
            reply = b""
            while len(reply) < 21 and time.monotonic() < end:
                try:
                    reply += tls.read(65536)
                except ssl.SSLWantReadError:
                    incoming.write(raw.recv(65536))
            return reply


class NoTlsTest(TlsTestCase):
    def test_plaintext_that_begins_like_a_record_is_relayed_byte_for_byte(self):
        with EchoServer() as echo:
            qorvand = self.start_intercepting(echo.port)
            for pieces in ([b"\x16\x03\x01 is no TLS\r\n"], [b"\x16\x03", b"\x01\x00\x30", b"\x02 nor this\r\n"]):
                with qorvand.connect() as client:
                    client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                    for piece in pieces:
                        client.sendall(piece)
                        time.sleep(0.1)
                    client.shutdown(socket.SHUT_WR)
                    self.assertEqual(receive_all(client), b"".join(pieces))
            self.assertTrue(wait_until(lambda: summaries(qorvand.log()) == 2, 30), qorvand.log())
        lines = qorvand.log_lines()
        self.assertIn(">>> ... is no TLS", transcript(lines, 1))
        self.assertIn(">>> ....0. nor this", transcript(lines, 2))
        self.assertFalse([line for line in lines if "TLS intercepted" in line])


if __name__ == "__main__":
    unittest.main()
