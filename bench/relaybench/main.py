"""bench/run's command line and its run: every chosen workload against every chosen relay, interleaved."""
import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

from .build import BUILD, QORVAND, ROOT, build
from .goals import check_goals
from .relays import RELAYS, missing_options, start_relay
from .report import results_text
from .workloads import WORKLOADS

USAGE = """Side-by-side relay benchmark: direct, socat, socat -v, haproxy and qorvand, and
with TLS on both legs socat openssl, haproxy ssl and qorvand --tls.

Builds qorvand (Release, in build-bench/) and the load generator, installs
what is missing (socat, haproxy, the real peers), then runs every workload
against every relay in interleaved order (A B C D A B C D ...), each relay
started fresh with fresh ports and a fresh log file, and prints the medians
as markdown tables, which it also writes to bench/RESULTS.md.
"""


def run_one(workload, kind, quick, qorvand):
    with tempfile.TemporaryDirectory(prefix="qorvand-bench-") as workdir:
        relay = start_relay(kind, workdir, workload.pinned, qorvand)
        try:
            result = workload.run(relay, quick, workdir)
        finally:
            cpu = relay.stop()
        if cpu is not None:
            result["relay_cpu_s"] = cpu
        workload.derive(result, relay)
        return result


def chosen(known, wanted, name_of, parser):
    """The entries of known named in the comma-separated list wanted, in known's order."""
    names = wanted.split(",")
    unknown = set(names) - {name_of(k) for k in known}
    if unknown:
        parser.error(f"unknown: {', '.join(sorted(unknown))}; known: {', '.join(name_of(k) for k in known)}")
    return [k for k in known if name_of(k) in names]


def parse_command_line():
    parser = argparse.ArgumentParser(prog="bench/run", description=USAGE,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="small sizes, one repeat: checks the harness")
    parser.add_argument("--workloads", default=",".join(w.key for w in WORKLOADS))
    parser.add_argument("--relays", default=",".join(r.name for r in RELAYS), help="names as in the table, e.g. "
                        "'direct,socat -v,qorvand'")
    parser.add_argument("--output", default=os.path.join(ROOT, "bench", "RESULTS.md"))
    parser.add_argument("--qorvand", default=QORVAND, help="this qorvand binary instead of one built in build-bench/")
    options = parser.parse_args()
    options.qorvand = os.path.abspath(options.qorvand)
    if options.quick:
        options.repeats = 1
        options.output = os.path.join(BUILD, "RESULTS-quick.md")
    options.relays = chosen(RELAYS, options.relays, lambda r: r.name, parser)
    options.workloads = chosen(WORKLOADS, options.workloads, lambda w: w.key, parser)
    return options


def runnable(relays, qorvand):
    """The relays whose options the qorvand binary has; a line for each one left out."""
    usage = subprocess.run([qorvand, "-h"], capture_output=True, text=True)
    kept = []
    for kind in relays:
        missing = missing_options(kind, usage.stdout + usage.stderr)
        if missing:
            print(f"{kind.name}: skipped, {qorvand} has no {', '.join(missing)} (not in its usage text)",
                  file=sys.stderr, flush=True)
        else:
            kept.append(kind)
    return kept


def main():
    check_goals()
    options = parse_command_line()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    build(options.workloads, options.relays, options.qorvand)
    options.relays = runnable(options.relays, options.qorvand)

    results = {}
    started = time.time()
    for workload in options.workloads:
        for repeat in range(options.repeats):
            for kind in options.relays:
                if not workload.runs_on(kind):
                    continue
                result = run_one(workload, kind, options.quick, options.qorvand)
                results.setdefault((workload.name, kind.name), []).append(result)
                shown = {k: round(v, 3) for k, v in result.items()}
                print(f"[{time.time() - started:6.0f} s] {workload.name} #{repeat + 1} {kind.name}: {shown}",
                      file=sys.stderr, flush=True)

    text = results_text(results, options.relays, options.workloads, options.repeats, time.time() - started,
                        options.qorvand)
    print(text)
    with open(options.output, "w") as out:
        out.write("# Relay benchmark: latest results\n\nProduced by `bench/run`.\n\n" + text + "\n")
    raw = {f"{w} | {k}": runs for (w, k), runs in results.items()}
    with open(os.path.join(BUILD, "bench-results.json"), "w") as out:
        json.dump(raw, out, indent=1)
    return 0
