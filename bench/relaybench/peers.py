"""Workloads against real servers (redis-server, nginx), each started per run in the foreground on the sink port
and driven through the relay by that server's own benchmark client."""
import grp
import os
import pwd
import re
import signal
import subprocess
import sys
import time

from .build import program
from .procfs import is_listening
from .workload import Row, Workload


class Peer:
    """A real server run in the foreground in a session of its own, listening on a loopback port."""

    def __init__(self, command, port, workdir):
        self.name = os.path.basename(command[0])
        self.output_path = os.path.join(workdir, f"{self.name}.out")
        with open(self.output_path, "wb") as output:
            self.process = subprocess.Popen(command, stdout=output, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                            start_new_session=True)
        deadline = time.time() + 10
        while not is_listening(port):
            if time.time() > deadline or self.process.poll() is not None:
                self.stop()
                with open(self.output_path, errors="replace") as output:
                    said = output.read()[-500:]
                raise RuntimeError(f"{self.name} did not start listening on {port}: {said}")
            time.sleep(0.01)

    def stop(self):
        """Asks the server and the workers it forked to end; ends them if they have not within 10 s."""
        for sig in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(self.process.pid, sig)
            except ProcessLookupError:
                pass
            try:
                self.process.wait(timeout=10)
                return
            except subprocess.TimeoutExpired:
                print(f"{self.name} did not end on {sig.name}", file=sys.stderr)


def run_capped(command, cap_seconds):
    """Standard output of command and whether it finished before the cap (when it is killed, by its pid)."""
    try:
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                              timeout=cap_seconds)
        return done.stdout.decode(errors="replace"), True
    except subprocess.TimeoutExpired as stopped:
        return (stopped.stdout or b"").decode(errors="replace"), False


class PeerWorkload(Workload):
    """A real server behind the relay, driven through it by that server's own benchmark client. Not through a
    slow logger (socat -v), which would take minutes."""

    def runs_on(self, kind):
        return super().runs_on(kind) and not kind.slow

    def run(self, relay, quick, workdir):
        peer = self.start_peer(relay.sink_port, workdir)
        try:
            result = self.drive(relay.listen_port, quick)
        finally:
            peer.stop()
        relay.settle(self.settle_seconds)
        return result

    def start_peer(self, port, workdir):
        raise NotImplementedError

    def versions(self):
        """The versions of the server and its client, as they tell them."""
        raise NotImplementedError

    def drive(self, port, quick):
        raise NotImplementedError


REDIS_CONFIG = """port {port}
bind 127.0.0.1
protected-mode no
daemonize no
save ""
appendonly no
dir {workdir}
logfile {workdir}/redis.log
"""


class Redis(PeerWorkload):
    """redis-benchmark with 50 clients, one run per test so that each has its own cap: a relay that holds back the
    end of a reply (40 ms a round trip) would otherwise take minutes for 50,000 requests. Pipelined GET sends 16
    requests at a time, ten times as many in all."""
    key, name = "redis", "redis-benchmark -c 50"
    packages = {"redis-server": "redis-server", "redis-benchmark": "redis-tools"}
    # (metric, redis-benchmark's test, its further arguments, requests in a full run)
    TESTS = (("set", "set", (), 50000), ("get", "get", (), 50000), ("lrange_100", "lrange_100", (), 50000),
             ("get_p16", "get", ("-P", "16"), 500000))
    rows = (
        *(Row(f"{test}_rps", f"{test.upper()} requests per second (50,000; socat -v not run: too slow)", "{:.0f}", +1)
          for test in ("set", "get", "lrange_100")),
        Row("get_p16_rps", "GET pipelined 16 deep (-P 16), requests per second (500,000)", "{:.0f}", +1),
        Row("capped_tests", "tests stopped at their 10 s cap (of 4)", "{:.0f}", -1),
    )

    def start_peer(self, port, workdir):
        config = os.path.join(workdir, "redis.conf")
        with open(config, "w") as out:
            out.write(REDIS_CONFIG.format(port=port, workdir=workdir))
        return Peer([program("redis-server"), config], port, workdir)

    def versions(self):
        said = subprocess.run([program("redis-server"), "--version"], capture_output=True, text=True).stdout
        found = re.search(r"v=(\S+)", said)
        return f"redis-server {found.group(1) if found else 'unknown'}"

    def drive(self, port, quick):
        result = {"capped_tests": 0}
        for metric, test, arguments, requests in self.TESTS:
            command = [program("redis-benchmark"), "-h", "127.0.0.1", "-p", str(port), "-c", "50",
                       "-n", str(requests // 10 if quick else requests), "-t", test, *arguments, "-q"]
            output, finished = run_capped(command, 5 if quick else 10)
            rate = redis_rate(output, test.upper())
            if rate is not None:
                result[f"{metric}_rps"] = rate
            result["capped_tests"] += not finished
        return result


def redis_rate(output, test):
    """Requests per second of one test from redis-benchmark -q: its final figure, or the running overall figure
    of its last progress line when it was stopped at the cap."""
    rate = None
    for line in re.split(r"[\r\n]+", output):
        found = re.match(rf"\s*{test}\b[^:]*: (?:([\d.]+) requests per second|rps=[\d.]+ \(overall: ([\d.]+)\))", line)
        if found:
            rate = float(found.group(1) or found.group(2))
    return rate


NGINX_CONFIG = """{user}daemon off;
worker_processes 1;
pid {workdir}/nginx.pid;
error_log {workdir}/error.log;
events {{
    worker_connections 1024;
}}
http {{
    access_log off;
    sendfile on;
    keepalive_requests 1000000;
    default_type text/html;
    client_body_temp_path {workdir}/client_body;
    proxy_temp_path {workdir}/proxy;
    fastcgi_temp_path {workdir}/fastcgi;
    uwsgi_temp_path {workdir}/uwsgi;
    scgi_temp_path {workdir}/scgi;
    server {{
        listen 127.0.0.1:{port};
        root {workdir}/www;
    }}
}}
"""
PAGE_BYTES = 2048


def static_page():
    """An HTML page of PAGE_BYTES bytes."""
    head, tail = "<!DOCTYPE html>\n<html><body><pre>\n", "</pre></body></html>\n"
    filler = "".join(f"line {i:04d} of a static page served by nginx through the relay\n" for i in range(40))
    return head + filler[:PAGE_BYTES - len(head) - len(tail)] + tail


class Nginx(PeerWorkload):
    """nginx, run as the current user, serving a static page to ab with keep-alive and 20 clients."""
    key, name = "nginx", "ab -k -c 20, 2 KiB page"
    packages = {"nginx": "nginx-light", "ab": "apache2-utils"}
    rows = (
        Row("per_second", "requests per second (socat -v not run: too slow)", "{:.0f}", +1),
        Row("done", "requests done (of 20,000; 10 s cap)", "{:.0f}", +1),
        Row("failed", "requests failed or not 200", "{:.0f}", -1),
    )

    def start_peer(self, port, workdir):
        os.mkdir(os.path.join(workdir, "www"))
        with open(os.path.join(workdir, "www", "page.html"), "w") as page:
            page.write(static_page())
        # As root, nginx would hand its workers to nobody, who cannot read this private folder.
        user = ""
        if os.geteuid() == 0:
            user = f"user {pwd.getpwuid(os.geteuid()).pw_name} {grp.getgrgid(os.getegid()).gr_name};\n"
        config = os.path.join(workdir, "nginx.conf")
        with open(config, "w") as out:
            out.write(NGINX_CONFIG.format(user=user, workdir=workdir, port=port))
        return Peer([program("nginx"), "-p", workdir + "/", "-c", config, "-e", os.path.join(workdir, "error.log")],
                    port, workdir)

    def versions(self):
        nginx = subprocess.run([program("nginx"), "-v"], capture_output=True, text=True).stderr
        ab = subprocess.run([program("ab"), "-V"], capture_output=True, text=True).stdout
        nginx_version, ab_version = re.search(r"nginx/(\S+)", nginx), re.search(r"Version (\S+)", ab)
        return (f"nginx {nginx_version.group(1) if nginx_version else 'unknown'}, "
                f"ab {ab_version.group(1) if ab_version else 'unknown'}")

    def drive(self, port, quick):
        cap = 5 if quick else 10
        # -t before -n: ab stops at whichever of the time and the count comes first.
        command = [program("ab"), "-k", "-c", "20", "-t", str(cap), "-n", "2000" if quick else "20000",
                   f"http://127.0.0.1:{port}/page.html"]
        output, _ = run_capped(command, cap + 30)
        figures = {"Complete requests": "done", "Failed requests": "failed", "Non-2xx responses": "not_200",
                   "Requests per second": "per_second", "Document Length": "page_bytes"}
        result = {"failed": 0, "not_200": 0}
        for label, key in figures.items():
            found = re.search(rf"^{label}:\s+([\d.]+)", output, re.MULTILINE)
            if found:
                result[key] = float(found.group(1))
        result["failed"] += result.pop("not_200")
        return result

