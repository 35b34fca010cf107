"""End-to-end tests of the capture file (-w): what qorvand relays, read back by the real reader, tshark. Every
connection's bytes come back exactly from the TCP streams, with no analysis warning and valid checksums; an SMTP
exchange is dissected as SMTP; closes, resets and failed connects end as they should, with qorvand's events as
comments and a direction on every packet; a stop in the middle of a transfer leaves a file that reads."""
import concurrent.futures
import os
import random
import re
import signal
import smtplib
import socket
import subprocess
import unittest

from harness import (AGGREGATOR, SLOWDOWN, SUMMARY, ListeningServer, Qorvand, QorvandTestCase, SmtpServer, free_port,
                     packet_fields, receive_all, receive_exactly, reset, tshark, wait_until)

CAPTURE = "capture.pcapng"
INBOUND, OUTBOUND = "0x00000001", "0x00000002"
def followed_streams(path, count):
    """What each TCP stream carried, by its first node's (the client's) port: (client's bytes, server's bytes)."""
    args = ["-q"] + [arg for stream in range(count) for arg in ("-z", f"follow,tcp,raw,{stream}")]
    streams, current = {}, None
    for line in tshark(path, *args).splitlines():
        if line.startswith("Node 0: "):
            current = ([], [])
            streams[int(line.rsplit(":", 1)[1])] = current
        elif line.startswith("="):
            current = None
        elif current is not None and re.fullmatch(r"\t?[0-9a-f]+", line):
            current[line.startswith("\t")].append(bytes.fromhex(line.strip()))
    return {port: (b"".join(sent), b"".join(answered)) for port, (sent, answered) in streams.items()}


def text_payload(tag, size):
    lines = b"".join(b"%s line %07d of text through the relay\r\n" % (tag, number) for number in range(size // 40))
    return lines[:size]


def binary_payload(size, seed):
    return b"\x00\xff\r\n" + random.Random(seed).randbytes(size - 4)


class CaptureTest(QorvandTestCase):
    def start_capturing(self, target_port, *args, **options):
        """qorvand writing its capture into its own folder; returns it and the capture's path."""
        qorvand = self.start_qorvand(target_port, "-w", CAPTURE, *args, **options)
        return qorvand, os.path.join(qorvand.folder.name, CAPTURE)

    def wait_for_summaries(self, path, count):
        """Each connection's last packet carries its summary as a comment, in plain text in the file."""
        def summaries():
            with open(path, "rb") as capture:
                return capture.read().count(b"Summary: C->S ")
        self.assertTrue(wait_until(lambda: summaries() >= count, 60), f"{summaries()} of {count} summaries")

    def assert_reads_cleanly(self, path, packet_count=None):
        """No analysis warning (retransmission, out of order, missing segment, window...) and both checksums
        valid on every packet."""
        self.assertEqual(tshark(path, "-Y", "tcp.analysis.flags"), "")
        statuses = [line.split("\t") for line in tshark(
            path, "-o", "tcp.check_checksum:TRUE", "-o", "ip.check_checksum:TRUE", "-T", "fields",
            "-e", "ip.version", "-e", "tcp.checksum.status", "-e", "ip.checksum.status").splitlines()]
        if packet_count is not None:
            self.assertEqual(len(statuses), packet_count)
        for ip_version, tcp_status, ip_status in statuses:
            self.assertEqual((tcp_status, ip_status), ("1", "1" if ip_version == "4" else ""), statuses)

    def test_concurrent_text_and_binary_transfers_come_back_byte_for_byte(self):
        size = 2_000_000
        payloads = [(text_payload(b"c0", size), text_payload(b"s0", size)),
                    (binary_payload(size, 1), binary_payload(size, 2)),
                    (text_payload(b"c2", size), binary_payload(size, 3)),
                    (binary_payload(size, 4), b"")]
        with ListeningServer() as server:
            qorvand, path = self.start_capturing(server.port)
            pairs = []
            for _ in payloads:
                client = qorvand.connect(timeout=60)
                self.addCleanup(client.close)
                conn = server.accept()
                conn.settimeout(60 * SLOWDOWN)
                self.addCleanup(conn.close)
                pairs.append((client, conn))

            def send_and_close(sock, data):
                sock.sendall(data)
                sock.shutdown(socket.SHUT_WR)

            with concurrent.futures.ThreadPoolExecutor(max_workers=4 * len(pairs)) as pool:
                sends = [pool.submit(send_and_close, sock, data) for (client, conn), (up, down) in zip(pairs, payloads)
                         for sock, data in ((client, up), (conn, down))]
                received = [(pool.submit(receive_all, conn, 120), pool.submit(receive_all, client, 120))
                            for client, conn in pairs]
                for sent in sends:
                    sent.result()
                received = [(to_server.result(), to_client.result()) for to_server, to_client in received]
            self.assertEqual(received, payloads)
            self.wait_for_summaries(path, len(pairs))

        streams = followed_streams(path, len(pairs))
        for (client, _), (up, down) in zip(pairs, payloads):
            sent, answered = streams.pop(client.getsockname()[1])
            self.assertTrue(sent == up and answered == down, "a stream's bytes differ from what was sent")
        self.assertEqual(streams, {})
        self.assert_reads_cleanly(path)

    def test_an_smtp_exchange_is_dissected_as_smtp_with_directions_and_its_summary(self):
        with SmtpServer() as smtp:
            qorvand, path = self.start_capturing(smtp.port, "-a")
            with smtplib.SMTP("127.0.0.1", qorvand.listen_port, timeout=30 * SLOWDOWN) as client:
                client_port = client.sock.getsockname()[1]
                client.sendmail("alice@example.com", ["bob@example.com"],
                                "From: alice@example.com\r\nSubject: captured\r\n\r\nHello Bob\r\n")
            self.wait_for_summaries(path, 1)

        smtp_fields = packet_fields(path, "smtp.req.command", "smtp.response.code", display_filter="smtp",
                                    decode_as=[f"tcp.port=={smtp.port},smtp"])
        commands = [command.upper() for command, _ in smtp_fields if command]  # smtplib writes "ehlo"
        self.assertEqual(commands, ["EHLO", "MAIL", "RCPT", "DATA", "QUIT"])
        # A reply of several lines may come in several packets: a run of one code counts once.
        codes = [code for _, reply in smtp_fields if reply for code in reply.split(AGGREGATOR)]
        runs = [code for index, code in enumerate(codes) if index == 0 or codes[index - 1] != code]
        self.assertEqual(runs, ["220", "250", "354", "250", "221"])

        packets = packet_fields(path, "tcp.srcport", "frame.packet_flags_direction", "tcp.flags.str", "frame.comment")
        directions = {(int(port), direction) for port, direction, _, _ in packets}
        self.assertEqual(directions, {(client_port, INBOUND), (smtp.port, OUTBOUND)})
        self.assertTrue(packets[0][2].endswith("S·") and packets[1][2].endswith("A··S·"), packets[:2])
        comments = [comment for _, _, _, comment in packets if comment]
        self.assertEqual(len(comments), 1, comments)
        summary = SUMMARY.match(comments[0])
        self.assertIsNotNone(summary, comments)
        self.assertEqual(summary.group(3), "closed")
        logged = [line for line in qorvand.log_lines() if "Summary: " in line]
        self.assertIn(" #1 " + comments[0].split(" in ")[0], logged[0])
        # The second FIN, then its acknowledgement, which carries the summary.
        self.assertEqual([flags[-1] == "F" for _, _, flags, _ in packets[-4:]], [True, False, True, False])
        self.assertEqual(packets[-1][3], comments[0])
        self.assert_reads_cleanly(path, len(packets))

    def test_a_reset_and_a_refused_connect_end_as_they_did_with_their_events_as_comments(self):
        """The client is on IPv6 and the target on IPv4: both are written as IPv6, the target mapped."""
        with ListeningServer() as server:
            qorvand, path = self.start_capturing(server.port, "-b", "::1")
            client = socket.create_connection(("::1", qorvand.listen_port), timeout=10 * SLOWDOWN)
            self.addCleanup(client.close)
            conn = server.accept()
            self.addCleanup(conn.close)
            conn.sendall(b"220 hello\r\n")
            self.assertEqual(receive_exactly(client, 11), b"220 hello\r\n")
            reset(client)
            self.wait_for_summaries(path, 1)
        packets = packet_fields(path, "ipv6.src", "ipv6.dst", "tcp.flags.str", "frame.comment")
        self.assertEqual({(source, destination) for source, destination, _, _ in packets},
                         {("::1", "::ffff:127.0.0.1"), ("::ffff:127.0.0.1", "::1")})
        source, _, flags, comments = packets[-1]
        self.assertEqual((source, flags[-4:]), ("::1", "·R··"), packets[-1])
        read_error, summary = comments.split(AGGREGATOR)
        self.assertRegex(read_error, r"^Client socket read error \d+$")
        self.assertEqual(SUMMARY.match(summary).groups(), ("0", "11", "reset by client"))
        self.assert_reads_cleanly(path, len(packets))

        closed_port = free_port()
        qorvand, path = self.start_capturing(closed_port)
        with qorvand.connect() as refused:
            self.assertEqual(receive_all(refused, reset_ends=True), b"")
        self.wait_for_summaries(path, 1)
        packets = packet_fields(path, "tcp.dstport", "tcp.flags.str", "frame.comment")
        self.assertEqual(len(packets), 1, packets)
        port, flags, comments = packets[0]
        self.assertEqual((int(port), flags[-2:]), (closed_port, "S·"))
        error, summary = comments.split(AGGREGATOR)
        self.assertRegex(error, rf"^Error connecting to 127\.0\.0\.1:{closed_port} \(\d+\)$")
        self.assertEqual(SUMMARY.match(summary).group(3), "refused")

    def test_a_stop_in_the_middle_of_a_transfer_leaves_a_file_that_reads(self):
        with ListeningServer() as server:
            qorvand = Qorvand(server.port, extra_args=["-w", CAPTURE])
            path = os.path.join(qorvand.folder.name, CAPTURE)
            try:
                client, conn = qorvand.connect(), server.accept()
                chunk = binary_payload(1 << 16, 5)

                def stream():
                    try:
                        while True:
                            conn.sendall(chunk)
                    except OSError:
                        pass

                def read_until_reset():
                    receive_all(client, 120, reset_ends=True)

                with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
                    pool.submit(stream)
                    pool.submit(read_until_reset)
                    self.assertTrue(wait_until(lambda: os.path.getsize(path) > 4_000_000, 60))
                    os.kill(qorvand.pid, signal.SIGTERM)
                    self.assertEqual(qorvand.process.wait(timeout=20 * SLOWDOWN), -signal.SIGTERM)
                    conn.close()
                    client.close()
                read = subprocess.run(["capinfos", path], capture_output=True, text=True, timeout=120 * SLOWDOWN)
                self.assertEqual(read.returncode, 0, read.stderr)
                self.assertRegex(read.stdout, r"Number of packets: +\d{4,}")
                self.assertEqual([], [line for line in qorvand.stderr().splitlines() if "Sanitizer" in line])
            finally:
                qorvand.stop()


if __name__ == "__main__":
    unittest.main()
