"""The goals: one table of data, checked against the medians of a run, one verdict line each.

A goal compares a qorvand variant's median of one metric of one workload with the same run's median of a peer
relay (the threshold is then a factor: "≥ 3" is at least three times the peer's figure), or with a fixed figure
(peer None). The variant's name leads each line; a goal with relays named applies to those variants only, else
to every qorvand variant."""
import collections
import operator

from .relays import RELAYS
from .workloads import WORKLOADS

Goal = collections.namedtuple("Goal", "workload metric peer comparison threshold peer_metric relays",
                              defaults=(None, ()))

AT_LEAST, AT_MOST = "≥", "≤"
_COMPARE = {AT_LEAST: operator.ge, AT_MOST: operator.le}

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
    Goal("concurrency", "completed", None, AT_LEAST, 5000),
    Goal("concurrency", "rss_mb@1000", "socat", AT_MOST, 0.5, peer_metric="pss_mb@1000"),
    Goal("idle", "idle_cpu_ms", None, AT_MOST, 0),
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
        bound = goal.threshold * peer_value
        times = f"{value / peer_value:.2f}x" if peer_value else "–"
        text += f" = {times} {goal.peer}'s {peer_row.fmt.format(peer_value)}"
        if peer_row is not row:
            text += f" ({short_label(peer_row)})"
        text += f" (goal {goal.comparison} {round(goal.threshold, 3):g}x)"
    else:
        text += f" (goal {goal.comparison} {round(goal.threshold, 3):g})"
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
