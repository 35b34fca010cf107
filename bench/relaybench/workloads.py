"""The workloads, in the table's order. A new workload is a class here (its load generator arguments, the figures
it derives, its rows) and one entry in WORKLOADS; its goals, if it has any, are rows of GOALS in goals.py."""
import time

from .peers import Nginx, Redis
from .procfs import cpu_seconds, memory_snapshot, schedstat_seconds
from .workload import MB, Row, Workload, round_trip_rows


class BulkText(Workload):
    key, name = "bulk-text", "bulk text"
    rows = (
        Row("mbps", "MB/s (50 MB; socat -v: 5 MB, 20 s cap)", "{:.1f}", +1),
        Row("cpu_ms_per_mb", "relay CPU ms per MB", "{:.2f}", -1),
        Row("intact", "bytes intact (1 = yes)", "{:.0f}", +1),
        Row("log_lines_ok", "log has every line (1 = yes)", "{:.0f}", +1),
    )

    def loadgen_args(self, relay, quick):
        size = 5e6 if relay.kind.slow else (10e6 if quick else 50e6)
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
        Row("mbps", "MB/s, both ways summed (25 MB each way; socat -v: 1 MB)", "{:.1f}", +1),
        Row("cpu_ms_per_mb", "relay CPU ms per MB", "{:.2f}", -1),
        Row("intact", "SHA-256 equal at both ends (1 = yes)", "{:.0f}", +1),
    )

    def loadgen_args(self, relay, quick):
        size = 1e6 if relay.kind.slow else (5e6 if quick else 25e6)
        return ["bulk-binary", "--bytes", str(int(size)), "--cap", "20"]

    def derive(self, result, relay):
        add_cpu_per_mb(result)


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

    def __init__(self, kib):
        self.reply_bytes = kib * 1024
        self.key, self.name = f"req-resp-{kib}k", f"request/response {kib} KiB, one CPU"

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


class Concurrency(Workload):
    key, name = "concurrency", "concurrency"
    settle_seconds = 60
    rows = (
        Row("completed", "exchanges completed (of 5000)", "{:.0f}", +1),
        Row("open_seconds", "seconds to open 5000", "{:.2f}", -1),
        Row("rss_mb@1000", "relay RSS at 1000, MB (sum over processes)", "{:.1f}", -1),
        Row("pss_mb@1000", "relay PSS at 1000, MB (sum over processes)", "{:.1f}", -1),
        Row("rss_mb@5000", "relay RSS at 5000, MB (sum over processes)", "{:.1f}", -1),
        Row("pss_mb@5000", "relay PSS at 5000, MB (sum over processes)", "{:.1f}", -1),
        Row("hwm_mb@5000", "peak RSS of the main process at 5000, MB", "{:.1f}", -1),
        Row("processes@5000", "processes at 5000", "{:.0f}", -1),
        Row("threads@5000", "threads at 5000", "{:.0f}", -1),
        Row("fds@5000", "descriptors at 5000", "{:.0f}", -1),
    )

    def loadgen_args(self, relay, quick):
        count = 1000 if quick else 5000
        return ["concurrency", "--count", str(count), "--hold-marks", "1000", "--pause", "--cap", "180"]

    def at_pause(self, relay, tag, extra):
        if relay.pid:
            for key, value in memory_snapshot(relay.pid).items():
                extra[f"{key}@{tag}"] = value


class Idle(Workload):
    key, name = "idle", "idle"
    SECONDS = 3.0
    rows = (Row("idle_cpu_ms", "relay CPU in 3 s with 20 idle connections, ms", "{:.3f}", -1),)

    def loadgen_args(self, relay, quick):
        return ["idle", "--count", "20", "--pause", "--cap", "60"]

    def at_pause(self, relay, tag, extra):
        if not relay.pid:
            return
        busy_before, ticks_before = schedstat_seconds(relay.pid), cpu_seconds(relay.pid)
        time.sleep(self.SECONDS)
        extra["idle_cpu_ms"] = (schedstat_seconds(relay.pid) - busy_before) * 1000
        extra["idle_cpu_ticks_ms"] = (cpu_seconds(relay.pid) - ticks_before) * 1000


WORKLOADS = [BulkText(), BulkBinary(), PingPong(), PingPongPinned(), *(RequestResponse(kib) for kib in (2, 16, 64)),
             ConnRate(), Concurrency(), Idle(), Redis(), Nginx()]
