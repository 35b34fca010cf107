"""The medians of a run, the markdown table with its ratio columns, and the machine's description."""
import datetime
import os
import platform
import re
import statistics
import subprocess

from .build import QORVAND, ROOT
from .goals import goal_lines
from .peers import PeerWorkload
from .relays import RELAYS
from .workloads import WORKLOADS


def median_of(runs, key):
    values = [r[key] for r in runs if key in r]
    return statistics.median(values) if values else None


def summarize(results):
    """Median per (workload, relay, metric), with the added-latency rows worked out."""
    table = {}
    for (workload, relay), runs in results.items():
        keys = {k for r in runs for k in r}
        table[(workload, relay)] = {k: median_of(runs, k) for k in keys}
    for workload in WORKLOADS:
        if not workload.added_over_direct:
            continue
        direct = table.get((workload.name, "direct"), {}).get("median_us")
        for kind in RELAYS:
            row = table.get((workload.name, kind.name))
            if row and direct is not None and row.get("median_us") is not None:
                row["added_us"] = row["median_us"] - direct
    return table


def ratio(a, b):
    if a is None or b is None or b == 0:
        return "–"
    return f"{a / b:.2f}x"


def markdown_table(table, relays, workloads):
    """A column per relay, then one per ratio of each qorvand variant to each of the other relays; empty when none
    of the workloads ran on any of them."""
    pairs = [(q.name, b.name) for q in relays if q.is_qorvand for b in relays if not b.is_qorvand]
    header = ["workload", "metric"] + [r.name for r in relays] + [f"{q} ÷ {b}" for q, b in pairs]
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    for workload in workloads:
        for row in workload.rows:
            values = [table.get((workload.name, kind.name), {}).get(row.key) for kind in relays]
            if all(value is None for value in values):
                continue
            cells = ["not run" if not workload.runs_on(kind) else "–" if value is None else row.fmt.format(value)
                     for kind, value in zip(relays, values)]
            cells += [ratio(table.get((workload.name, q), {}).get(row.key),
                            table.get((workload.name, b), {}).get(row.key)) for q, b in pairs]
            lines.append(f"| {workload.name} | {row.label} | " + " | ".join(cells) + " |")
    return "\n".join(lines) if len(lines) > 2 else ""


def tables(table, relays):
    """The plain relays' table, then the TLS relays' (with direct: TLS end to end without a relay)."""
    parts = []
    for tls, title in ((False, ""), (True, "With TLS on both legs (direct: the load generator's TLS client and "
                                           "TLS sink without a relay):\n\n")):
        family = [kind for kind in relays if kind.tls == tls or kind.is_direct]
        workloads = [w for w in WORKLOADS if any(w.runs_on(k) for k in RELAYS if k.tls == tls and not k.is_direct)]
        text = markdown_table(table, family, workloads)
        if text:
            parts.append(title + text)
    return "\n\n".join(parts)


def program_version(command, pattern):
    """The version a program tells with command, found by pattern, or "unknown"."""
    try:
        said = subprocess.run(command, capture_output=True, text=True)
    except OSError:
        return "unknown"
    found = re.search(pattern, said.stdout + said.stderr)
    return found.group(1) if found else "unknown"


def machine_description(workloads, relays, qorvand):
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True,
                            text=True).stdout.strip()
    product = ["program", "relay", "traffic_log", "options", "platform", "capture", "tls", "CMakeLists.txt"]
    changed = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--untracked-files=no", "--"] + product,
                             capture_output=True, text=True).stdout.strip()
    if changed:
        commit += " with uncommitted changes to the product code"
    binary = f"qorvand at commit {commit}" if qorvand == QORVAND else f"qorvand {qorvand} (not built from this tree)"
    socat = subprocess.run(["socat", "-V"], capture_output=True, text=True).stdout.splitlines()
    socat_version = next((l for l in socat if l.startswith("socat version")), "socat").split(" on ")[0]
    peers = "".join(f", {w.versions()}" for w in workloads if isinstance(w, PeerWorkload))
    if any(kind.command[:1] == ("haproxy",) for kind in relays):
        peers += ", haproxy " + program_version(["haproxy", "-v"], r"version (\S+)")
    peers += ", OpenSSL " + program_version(["openssl", "version"], r"OpenSSL (\S+)")
    return (f"{datetime.date.today().isoformat()}, {os.cpu_count()} CPUs ({model}), Linux {platform.release()}, "
            f"{socat_version}{peers}, {binary}")


def results_text(results, relays, workloads, repeats, seconds, qorvand):
    """What bench/run prints and writes to RESULTS.md below its title."""
    table = summarize(results)
    return "\n".join([
        f"Machine and date: {machine_description(workloads, relays, qorvand)}",
        f"Medians of {repeats} interleaved run(s); MB = 10^6 bytes; total time {seconds:.0f} s.",
        "",
        tables(table, relays),
        "",
        "Goals:",
        *goal_lines(table, relays),
    ])
