"""What a workload is: how it drives one relay, the figures it derives, and its rows in the table."""
import collections
import subprocess
import tempfile
import threading

from .build import LOADGEN, SERVER_PEM

MB = 1e6

# One row of the table: the metric's key in a run's result, its label, its format, and which way is better
# (+1 higher, -1 lower).
Row = collections.namedtuple("Row", "key label fmt better")


class Workload:
    key = ""  # its name in --workloads
    name = ""  # its name in the table and in the goals
    pinned = False  # relay and load generator on CPU 0
    packages = {}  # programs it needs: Debian package of each
    added_over_direct = False  # its median round trip gets a row "added over direct"
    settle_seconds = 5  # how long the relay may take to let go of finished connections
    rows = ()  # its rows in the table, in order
    tls = False  # TLS from the load generator's client to its sink: runs on the TLS relays (and direct) only
    warm_megabytes = 0  # the most page cache a relay's log takes in a run (see warm_free_memory)

    def runs_on(self, kind):
        return kind.tls == self.tls or kind.is_direct

    def speaks_tls(self, kind):
        """Whether the load generator speaks TLS through this relay."""
        return self.tls

    def loadgen_args(self, relay, quick):
        raise NotImplementedError

    def run(self, relay, quick, workdir):
        args = self.loadgen_args(relay, quick) + ["--connect", str(relay.listen_port), "--sink", str(relay.sink_port)]
        if self.speaks_tls(relay.kind):
            args += ["--tls", "--cert", SERVER_PEM]
        extra = {}
        warm_free_memory(self.warm_megabytes)
        result = run_loadgen(args, self.pinned, lambda tag: self.at_pause(relay, tag, extra))
        result.update(extra)
        relay.settle(self.settle_seconds)
        return result

    def at_pause(self, relay, tag, extra):
        """Called when the load generator pauses (it holds its connections open) with the pause's tag."""

    def derive(self, result, relay):
        """Adds the figures worked out from a run's raw result."""


def warm_free_memory(megabytes):
    """Writes and deletes a file of this size just before a run, so that the page cache a relay's log takes in
    the run is memory the machine holds. This virtual machine gives memory that has been free for about two
    seconds back to its host (free page reporting), and a page's first touch after that costs several times a
    later one: a second write of 500 MB with dd took 0.07 s of system time at once, 0.4-0.6 s two seconds
    after the first one's file was deleted. A warm-up of just over the log's size is not enough: after 600 MB,
    qorvand's log writer took 0.29-0.82 s of system time for the 518 MB log of bulk binary; after 2,000 MB,
    0.10-0.28 s. It does not always hold: in one run of five repeats qorvand took 1.26-1.32 ms of CPU per MB of
    bulk binary three times and 2.13-2.23 twice. Only the relays that write a file pay it, unevenly from one
    run to the next. Every relay gets the same warm-up, direct included."""
    if megabytes <= 0:
        return
    with tempfile.NamedTemporaryFile(prefix="qorvand-bench-warm-") as out:
        block = bytes(1 << 20)
        for _ in range(megabytes):
            out.write(block)
        out.flush()


def run_loadgen(args, pinned, on_pause=None, timeout=300):
    """Runs the load generator; its RESULT line as a dict, with its exit code."""
    prefix = ["taskset", "-c", "0"] if pinned else []
    generator = subprocess.Popen(prefix + [LOADGEN] + args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 text=True)
    watchdog = threading.Timer(timeout, generator.kill)
    watchdog.start()
    result = {}
    try:
        for line in generator.stdout:
            if line.startswith("PAUSE "):
                if on_pause:
                    on_pause(line.split()[1])
                generator.stdin.write("go\n")
                generator.stdin.flush()
            elif line.startswith("RESULT "):
                for pair in line.split()[1:]:
                    key, value = pair.split("=")
                    result[key] = float(value)
        generator.wait()
    finally:
        watchdog.cancel()
    result["exit_code"] = generator.returncode
    return result


def round_trip_rows():
    return [
        Row("median_us", "round trip median, µs", "{:.1f}", -1),
        Row("p99_us", "round trip p99, µs", "{:.1f}", -1),
        Row("added_us", "added over direct (median), µs", "{:.1f}", -1),
        Row("cpu_us_per_rt", "relay CPU µs per round trip", "{:.1f}", -1),
    ]
