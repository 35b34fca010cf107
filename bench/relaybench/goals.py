"""The goals: one table of data, checked against the medians of a run, one verdict line each.

A goal compares a qorvand variant's median of one metric of one workload with the same run's median of a peer
relay (the threshold is then a factor: "≥ 3" is at least three times the peer's figure; with AT_MOST_OVER it is
added: "≤ +100" is at most the peer's figure plus 100), or with a fixed figure (peer None). The variant's name leads each line; a goal with relays named applies to those variants only, else
to every qorvand variant."""
import collections
import operator

from .relays import RELAYS
from .workloads import WORKLOADS

Goal = collections.namedtuple("Goal", "workload metric peer comparison threshold peer_metric relays",
                              defaults=(None, ()))

AT_LEAST, AT_MOST, AT_MOST_OVER = "≥", "≤", "≤ +"
_COMPARE = {AT_LEAST: operator.ge, AT_MOST: operator.le, AT_MOST_OVER: operator.le}
# Against haproxy, the unlogged relay people would pick instead: plain qorvand, logging to a file.
AGAINST_HAPROXY = ("qorvand",)

GOALS = [
    Goal("bulk text", "mbps", "socat -v", AT_LEAST, 30),
    Goal("bulk text", "mbps", "socat", AT_LEAST, 0.1),
    Goal("bulk text", "mbps", "qorvand", AT_LEAST, 0.8, relays=("qorvand -a",)),
    Goal("bulk text", "mbps", "qorvand", AT_LEAST, 1 / 3, relays=("qorvand -x",)),
    # The capture beside the text log: half of plain qorvand's rate at least, and at most a fifth more added time.
    *(Goal(workload, "mbps", "qorvand", AT_LEAST, 0.5, relays=("qorvand --pcap",))
      for workload in ("bulk text", "bulk binary")),
    *(Goal(f"request/response {kib} KiB, one CPU", "added_us", "qorvand", AT_MOST, 1.2, relays=("qorvand --pcap",))
      for kib in (2, 16, 64)),
    Goal("ping-pong, one CPU", "added_us", "socat", AT_MOST, 1),
    *(Goal(f"request/response {kib} KiB, one CPU", "median_us", "direct", AT_MOST, 5) for kib in (2, 16, 64)),
    Goal("request/response 2 KiB, one CPU", "added_us", "socat", AT_MOST, 1),
    *(Goal("redis-benchmark -c 50", f"{test}_rps", "socat", AT_LEAST, 1) for test in ("set", "get", "lrange_100")),
    Goal("redis-benchmark -c 50", "lrange_100_rps", "direct", AT_LEAST, 0.5),
    Goal("ab -k -c 20, 2 KiB page", "per_second", "socat", AT_LEAST, 1),
    Goal("ab -k -c 20, 2 KiB page", "per_second", "direct", AT_LEAST, 0.5),
    Goal("connection rate", "per_second", "socat", AT_LEAST, 3),
    Goal("concurrency", "completed", None, AT_LEAST, 9000),
    Goal("concurrency", "rss_mb@1000", "socat", AT_MOST, 0.5, peer_metric="pss_mb@1000"),
    Goal("idle", "idle_cpu_ms", None, AT_MOST, 0),
    # An event-driven core ahead of haproxy: its rates at least, its added times and memory at most.
    *(Goal("redis-benchmark -c 50", f"{test}_rps", "haproxy", AT_LEAST, 1, relays=AGAINST_HAPROXY)
      for test in ("set", "get", "lrange_100", "get_p16")),
    *(Goal(workload, metric, "haproxy", AT_LEAST, 1, relays=AGAINST_HAPROXY)
      for workload, metric in (("ab -k -c 20, 2 KiB page", "per_second"), ("bulk text", "mbps"),
                               ("bulk binary", "mbps"), ("connection rate", "per_second"))),
    *(Goal(f"request/response {kib} KiB, one CPU", "added_us", "haproxy", AT_MOST, 1, relays=AGAINST_HAPROXY)
      for kib in (2, 16, 64)),
    Goal("concurrency", "rss_mb@1000", "haproxy", AT_MOST, 1, relays=AGAINST_HAPROXY),
    # TLS on both legs: qorvand --tls intercepting against haproxy and socat terminating.
    Goal("TLS bulk text", "mbps", "haproxy ssl", AT_LEAST, 0.8),
    Goal("TLS bulk text", "mbps", "socat openssl", AT_LEAST, 2),
    Goal("TLS connection rate", "per_second", "haproxy ssl", AT_LEAST, 0.8),
    Goal("TLS request/response 2 KiB, one CPU", "added_us", "haproxy ssl", AT_MOST, 1),
    Goal("memory per idle connection", "rss_kb_per_conn", "qorvand", AT_MOST_OVER, 100, relays=("qorvand --tls",)),
]


def _rows_by_metric():
    return {(w.name, row.key): row for w in WORKLOADS for row in w.rows}


def check_goals(goals=GOALS):
    """A goal that names no workload, metric or relay of the table could never be measured: refuse it."""
    rows, relays = _rows_by_metric(), {r.name for r in RELAYS}
    for goal in goals:
        for metric in (goal.metric, goal.peer_metric or goal.metric):
            if (goal.workload, metric) not in rows:
                raise ValueError(f"goal {goal}: no metric {metric} of a workload {goal.workload}")
        if goal.comparison not in _COMPARE or not {*goal.relays, *([goal.peer] if goal.peer else [])} <= relays:
            raise ValueError(f"goal {goal}: unknown comparison or relay")


def short_label(row):
    """A row's label without its parenthesis: "MB/s (50 MB; ...)" is "MB/s"."""
    return row.label.split(" (")[0]


def threshold_text(goal):
    """"≥ 3x" for a factor of the peer's figure, "≤ +100" for an amount over it, "≤ 0" for a fixed figure."""
    number = f"{round(goal.threshold, 3):g}"
    if goal.peer is None:
        return f"{goal.comparison} {number}"
    return f"{goal.comparison}{number}" if goal.comparison == AT_MOST_OVER else f"{goal.comparison} {number}x"


def verdict(goal, variant, table, rows):
    """The verdict line of one goal for one qorvand variant, or None when the run did not measure it."""
    row = rows[(goal.workload, goal.metric)]
    value = table.get((goal.workload, variant), {}).get(goal.metric)
    if value is None:
        return None
    text = f"{goal.workload}, {short_label(row)}: {variant} {row.fmt.format(value)}"
    bound = goal.threshold
    if goal.peer is not None:
        peer_row = rows[(goal.workload, goal.peer_metric or goal.metric)]
        peer_value = table.get((goal.workload, goal.peer), {}).get(peer_row.key)
        if peer_value is None:
            return None
        if goal.comparison == AT_MOST_OVER:
            bound = peer_value + goal.threshold
            text += f" = {goal.peer}'s {peer_row.fmt.format(peer_value)} {value - peer_value:+.1f}"
        else:
            bound = goal.threshold * peer_value
            times = f"{value / peer_value:.2f}x" if peer_value else "–"
            text += f" = {times} {goal.peer}'s {peer_row.fmt.format(peer_value)}"
        if peer_row is not row:
            text += f" ({short_label(peer_row)})"
    text += f" (goal {threshold_text(goal)})"
    return f"- {'MET' if _COMPARE[goal.comparison](value, bound) else 'NOT MET'}: {text}"


def goal_lines(table, relays):
    """The verdicts of every goal for every qorvand variant run, variant by variant."""
    rows = _rows_by_metric()
    lines = []
    for kind in relays:
        if not kind.is_qorvand:
            continue
        for goal in GOALS:
            if goal.peer == kind.name or (goal.relays and kind.name not in goal.relays):
                continue
            line = verdict(goal, kind.name, table, rows)
            if line is not None:
                lines.append(line)
    return lines
