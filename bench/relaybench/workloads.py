"""The workloads, in the table's order. A new workload is a class here (its load generator arguments, the figures
it derives, its rows) and one entry in WORKLOADS; its goals, if it has any, are rows of GOALS in goals.py."""
import time

from .peers import Nginx, Redis
from .procfs import cpu_seconds, memory_snapshot, schedstat_seconds
from .workload import MB, Row, Workload, round_trip_rows


class BulkText(Workload):
    """Long enough (about a second through a relay) that the CPU figures, read in 10 ms ticks, and the rate
    are those of a steady transfer rather than of its first milliseconds."""
    key, name = "bulk-text", "bulk text"
    rows = (
        Row("mbps", "MB/s (500 MB; socat -v: 5 MB, 20 s cap)", "{:.1f}", +1),
        Row("cpu_ms_per_mb", "relay CPU ms per MB", "{:.2f}", -1),
        Row("intact", "bytes intact (1 = yes)", "{:.0f}", +1),
        Row("log_lines_ok", "log has every line (1 = yes)", "{:.0f}", +1),
    )
    warm_megabytes = 2000  # the text log of 500 MB is 526 MB: see warm_free_memory for why four times that

    def loadgen_args(self, relay, quick):
        size = 5e6 if relay.kind.slow else (10e6 if quick else 500e6)
        return ["bulk-text", "--bytes", str(int(size)), "--cap", "20"]

    def derive(self, result, relay):
        add_cpu_per_mb(result)
        if relay.kind.checks_log and result.get("complete"):
            lines = 0
            with open(relay.log_path, "rb") as log:
                for line in log:
                    lines += line.startswith(b">>> ")
            result["log_lines_ok"] = float(lines == result["bytes"] // 78)


class BulkBinary(Workload):
    key, name = "bulk-binary", "bulk binary"
    rows = (
        Row("mbps", "MB/s, both ways summed (250 MB each way; socat -v: 1 MB)", "{:.1f}", +1),
        Row("cpu_ms_per_mb", "relay CPU ms per MB", "{:.2f}", -1),
        Row("intact", "SHA-256 equal at both ends (1 = yes)", "{:.0f}", +1),
    )
    warm_megabytes = 2000  # the text log of 250 MB each way: 518 MB

    def loadgen_args(self, relay, quick):
        size = 1e6 if relay.kind.slow else (5e6 if quick else 250e6)
        return ["bulk-binary", "--bytes", str(int(size)), "--cap", "20"]

    def derive(self, result, relay):
        add_cpu_per_mb(result)


class TlsBulkText(BulkText):
    """Bulk text with TLS on both legs: qorvand --tls logs the plaintext, every line of it."""
    key, name = "tls-bulk-text", "TLS bulk text"
    tls = True
    rows = (Row("mbps", "MB/s (500 MB, 20 s cap)", "{:.1f}", +1), *BulkText.rows[1:])


def add_cpu_per_mb(result):
    if "relay_cpu_s" in result and result.get("arrived"):
        result["cpu_ms_per_mb"] = result["relay_cpu_s"] * 1000 / (result["arrived"] / MB)


class PingPong(Workload):
    key, name = "ping-pong", "ping-pong"
    added_over_direct = True
    rows = round_trip_rows()

    def loadgen_args(self, relay, quick):
        return ["ping-pong", "--count", "1000" if quick else "5000", "--cap", "120"]

    def derive(self, result, relay):
        if "relay_cpu_s" in result and result.get("round_trips"):
            relayed = result["round_trips"] + result.get("warm_up", 0)
            result["cpu_us_per_rt"] = result["relay_cpu_s"] * 1e6 / relayed


class PingPongPinned(PingPong):
    key, name = "ping-pong-pinned", "ping-pong, one CPU"
    pinned = True


class RequestResponse(PingPong):
    """A 20-byte request line answered by a reply written at once. Capped in time: a relay that holds back the end
    of a reply until the client's delayed acknowledgement (Nagle's algorithm) takes some 40 ms a round trip.
    On one CPU, as unpinned the direct baseline swings between one CPU's 6 µs and two CPUs' 80 µs."""
    pinned = True
    rows = (
        Row("round_trips", "round trips done (of 2000; 5 s cap)", "{:.0f}", +1),
        *round_trip_rows(),
        Row("intact", "replies intact (1 = yes)", "{:.0f}", +1),
    )

    def __init__(self, kib, tls=False):
        self.reply_bytes = kib * 1024
        self.tls = tls
        self.key, self.name = f"req-resp-{kib}k", f"request/response {kib} KiB, one CPU"
        if tls:
            self.key, self.name = f"tls-{self.key}", f"TLS {self.name}"

    def loadgen_args(self, relay, quick):
        return ["request-response", "--bytes", str(self.reply_bytes), "--count", "200" if quick else "2000",
                "--cap", "2" if quick else "5"]


class ConnRate(Workload):
    key, name = "conn-rate", "connection rate"
    rows = (
        Row("per_second", "connections per second (500 sequential)", "{:.0f}", +1),
        Row("cpu_ms_per_conn", "relay CPU ms per connection", "{:.3f}", -1),
    )

    def loadgen_args(self, relay, quick):
        return ["conn-rate", "--count", "100" if quick else "500", "--cap", "120"]

    def derive(self, result, relay):
        if "relay_cpu_s" in result and result.get("done"):
            result["cpu_ms_per_conn"] = result["relay_cpu_s"] * 1000 / result["done"]


class TlsConnRate(ConnRate):
    """New connections with TLS on both legs: a full handshake with the client each time (the client keeps no
    session), and whatever the relay does with the server (haproxy resumes its sessions with it by default)."""
    key, name = "tls-conn-rate", "TLS connection rate"
    tls = True
    rows = (Row("per_second", "connections per second (500 sequential, each with its handshakes; 30 s cap)", "{:.0f}",
                +1), *ConnRate.rows[1:])

    def loadgen_args(self, relay, quick):
        return ["conn-rate", "--count", "100" if quick else "500", "--cap", "30"]


def add_growth_per_connection(result, before_tag, after_tag, added):
    """Relay memory per connection in KB: the growth of RSS and of PSS over the added connections."""
    for metric in ("rss", "pss"):
        before, after = result.get(f"{metric}_mb@{before_tag}"), result.get(f"{metric}_mb@{after_tag}")
        if before is not None and after is not None and added > 0:
            result[f"{metric}_kb_per_conn"] = (after - before) * 1024 / added


def add_memory_snapshot(relay, tag, extra):
    if relay.pid:
        for key, value in memory_snapshot(relay.pid).items():
            extra[f"{key}@{tag}"] = value


class Concurrency(Workload):
    """9,000 connections held at once (two descriptors each in the relay, which may have 20,000), then one exchange
    on each; memory at none, 1,000 and 9,000."""
    key, name = "concurrency", "concurrency"
    settle_seconds = 60
    rows = (
        Row("completed", "exchanges completed (of 9000)", "{:.0f}", +1),
        Row("open_seconds", "seconds to open 9000", "{:.2f}", -1),
        Row("rss_mb@1000", "relay RSS at 1000, MB (sum over processes)", "{:.1f}", -1),
        Row("pss_mb@1000", "relay PSS at 1000, MB (sum over processes)", "{:.1f}", -1),
        Row("rss_mb@9000", "relay RSS at 9000, MB (sum over processes)", "{:.1f}", -1),
        Row("pss_mb@9000", "relay PSS at 9000, MB (sum over processes)", "{:.1f}", -1),
        Row("rss_kb_per_conn", "relay RSS per connection at 9000, KB (growth from none held)", "{:.1f}", -1),
        Row("pss_kb_per_conn", "relay PSS per connection at 9000, KB (growth from none held)", "{:.1f}", -1),
        Row("hwm_mb@9000", "peak RSS of the main process at 9000, MB", "{:.1f}", -1),
        Row("processes@9000", "processes at 9000", "{:.0f}", -1),
        Row("threads@9000", "threads at 9000", "{:.0f}", -1),
        Row("fds@9000", "descriptors at 9000", "{:.0f}", -1),
    )

    def loadgen_args(self, relay, quick):
        count = 1000 if quick else 9000
        return ["concurrency", "--count", str(count), "--hold-marks", "0,1000", "--pause", "--cap", "180"]

    def at_pause(self, relay, tag, extra):
        add_memory_snapshot(relay, tag, extra)

    def derive(self, result, relay):
        count = int(result.get("connections", 0))
        add_growth_per_connection(result, "0", str(count), count)


class Idle(Workload):
    """CPU while nothing happens: measured from a fifth of a second after the last connection opened, once the
    relay has written what the openings gave it (qorvand's log and capture writers let lines and packets gather
    for up to 10 and 5 ms before they write)."""
    key, name = "idle", "idle"
    SECONDS = 3.0
    SETTLE_SECONDS = 0.2
    rows = (Row("idle_cpu_ms", "relay CPU in 3 s with 20 idle connections, ms", "{:.3f}", -1),)

    def loadgen_args(self, relay, quick):
        return ["idle", "--count", "20", "--pause", "--cap", "60"]

    def at_pause(self, relay, tag, extra):
        if not relay.pid or tag != "idle":
            return
        time.sleep(self.SETTLE_SECONDS)
        busy_before, ticks_before = schedstat_seconds(relay.pid), cpu_seconds(relay.pid)
        time.sleep(self.SECONDS)
        extra["idle_cpu_ms"] = (schedstat_seconds(relay.pid) - busy_before) * 1000
        extra["idle_cpu_ticks_ms"] = (cpu_seconds(relay.pid) - ticks_before) * 1000


class IdleMemory(Workload):
    """Memory per idle connection: the relay's growth from one connection held (what it sets up once, such as
    OpenSSL's tables and a leaf certificate, is there by then) to 200, a line exchanged on each; with TLS on both
    legs through the TLS relays (for qorvand --tls: intercepted connections), plain through the others."""
    key, name = "idle-memory", "memory per idle connection"
    rows = (
        Row("rss_kb_per_conn", "relay RSS per connection, KB (growth from 1 to 200 idle; sum over processes)",
            "{:.1f}", -1),
        Row("pss_kb_per_conn", "relay PSS per connection, KB (growth from 1 to 200 idle; sum over processes)",
            "{:.1f}", -1),
    )

    def runs_on(self, kind):
        return not kind.is_direct

    def speaks_tls(self, kind):
        return kind.tls

    def loadgen_args(self, relay, quick):
        return ["idle", "--count", "50" if quick else "200", "--pause", "--cap", "120"]

    def at_pause(self, relay, tag, extra):
        add_memory_snapshot(relay, tag, extra)

    def derive(self, result, relay):
        if result.get("alive_after") == result.get("connections"):
            add_growth_per_connection(result, "first", "idle", result["connections"] - 1)


WORKLOADS = [BulkText(), BulkBinary(), PingPong(), PingPongPinned(), *(RequestResponse(kib) for kib in (2, 16, 64)),
             ConnRate(), Concurrency(), Idle(), IdleMemory(), Redis(), Nginx(),
             TlsBulkText(), RequestResponse(2, tls=True), TlsConnRate()]
