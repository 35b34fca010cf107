"""Readings from /proc: free ports, listening sockets, a relay's CPU time, memory, threads and descriptors."""
import os
import random
import socket

TICKS_PER_SECOND = os.sysconf("SC_CLK_TCK")


def free_ports(count):
    """Ports below the ephemeral range, which outgoing connections of other programs never take."""
    low = 20000
    with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
        high = min(int(f.read().split()[0]), 32768)
    ports = []
    while len(ports) < count:
        port = random.randrange(low, high)
        with socket.socket() as s:
            try:
                s.bind(("0.0.0.0", port))
            except OSError:
                continue
        if port not in ports:
            ports.append(port)
    return ports


def is_listening(port):
    with open("/proc/net/tcp") as table:
        for line in table.readlines()[1:]:
            fields = line.split()
            if int(fields[1].split(":")[1], 16) == port and fields[3] == "0A":
                return True
    return False


def stat_fields(pid):
    """Fields of /proc/PID/stat from field 3 (state) on, or None if it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            text = f.read()
    except OSError:
        return None
    return text[text.rindex(")") + 2:].split()


def children_of(pid):
    kids = []
    for name in os.listdir("/proc"):
        if name.isdigit():
            fields = stat_fields(name)
            if fields and int(fields[1]) == pid:
                kids.append(int(name))
    return kids


def process_tree(pid):
    return [pid] + children_of(pid)


def socket_count(pid):
    """The sockets a process holds."""
    count = 0
    try:
        names = os.listdir(f"/proc/{pid}/fd")
    except OSError:
        return 0
    for name in names:
        try:
            count += os.readlink(f"/proc/{pid}/fd/{name}").startswith("socket:")
        except OSError:
            pass
    return count


def cpu_seconds(pid):
    """CPU of the relay, its finished threads, its reaped and its live children."""
    total = 0
    fields = stat_fields(pid)
    if fields:
        total += sum(int(fields[i]) for i in (11, 12, 13, 14))  # utime stime cutime cstime
    for kid in children_of(pid):
        fields = stat_fields(kid)
        if fields:
            total += int(fields[11]) + int(fields[12])
    return total / TICKS_PER_SECOND


def schedstat_seconds(pid):
    """On-CPU time of every live thread of the relay and its children (ns precision)."""
    total = 0
    for proc in process_tree(pid):
        try:
            tasks = os.listdir(f"/proc/{proc}/task")
        except OSError:
            continue
        for task in tasks:
            try:
                with open(f"/proc/{proc}/task/{task}/schedstat") as f:
                    total += int(f.read().split()[0])
            except OSError:
                pass
    return total / 1e9


def read_kb(path, key):
    try:
        with open(path) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def memory_snapshot(pid):
    tree = process_tree(pid)
    snapshot = {"processes": len(tree), "threads": 0, "fds": 0, "rss_mb": 0.0, "pss_mb": 0.0,
                "hwm_mb": read_kb(f"/proc/{pid}/status", "VmHWM") / 1024}
    for proc in tree:
        snapshot["rss_mb"] += read_kb(f"/proc/{proc}/smaps_rollup", "Rss") / 1024
        snapshot["pss_mb"] += read_kb(f"/proc/{proc}/smaps_rollup", "Pss") / 1024
        try:
            snapshot["threads"] += len(os.listdir(f"/proc/{proc}/task"))
            snapshot["fds"] += len(os.listdir(f"/proc/{proc}/fd"))
        except OSError:
            pass
    return snapshot

