#!/usr/bin/env python3
"""floor_report.py RECORDS.tsv: the markdown tables of a bench/floor.sh run.

floor.sh writes one record per load run (and per idle row) and calls this to print a summary
table and one table per row with the servers side by side; `floor.sh --out FILE` keeps the
records in FILE.tsv, so that they can be rendered again.
"""
import statistics
import sys
from collections import OrderedDict

# The column of our own program in each section; the peers follow in the order they ran.
OURS = {"halden", "korvo", "wsecho", "httpapi_hello"}
PEER_COLUMNS = ["nginx", "libwebsockets", "Boost.Beast", "Node ws"]  # Node http shares a column


def parse_fields(text):
    fields = {}
    for item in text.split():
        key, _, value = item.partition("=")
        fields[key] = value
    return fields


def number(fields, key, default=0.0):
    try:
        return float(fields.get(key, default) or default)
    except ValueError:
        return default


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt_rate(value):
    if value is None:
        return "–"
    if value >= 100000:
        return f"{value / 1000:.0f}k"
    if value >= 1000:
        return f"{value / 1000:.1f}k"
    return f"{value:.0f}"


def fmt(value, digits=1, unit=""):
    if value is None:
        return "–"
    return f"{value:,.{digits}f}{unit}"


class Row:
    """One scenario: its servers' rounds, counted runs and idle records."""

    def __init__(self, section, scenario):
        self.section = section
        self.scenario = scenario
        self.servers = OrderedDict()  # name -> {"rounds": [...], "count": fields, "idle": fields}
        self.commands = OrderedDict()  # name -> command of its first round

    def server(self, name):
        return self.servers.setdefault(name, {"rounds": [], "count": None, "idle": None})


def load(path):
    meta, labels, notes = {}, {}, []
    rows = OrderedDict()
    with open(path, encoding="utf-8") as records:
        for line in records:
            parts = line.rstrip("\n").split("\t")
            if parts[0] == "meta":
                meta[parts[1]] = parts[2]
            elif parts[0] == "server":
                labels[parts[1]] = parts[2]
            elif parts[0] == "note":
                notes.append((parts[1], parts[2]))
            elif parts[0] == "run":
                _, section, scenario, name, kind, command, fields = parts
                row = rows.setdefault((section, scenario), Row(section, scenario))
                entry = row.server(name)
                fields = parse_fields(fields)
                if kind == "count":
                    entry["count"] = fields
                elif kind == "idle":
                    entry["idle"] = fields
                    row.commands.setdefault(name, command)
                else:
                    entry["rounds"].append(fields)
                    row.commands.setdefault(name, command)
    return meta, labels, notes, rows


def cpu_us_per_op(fields):
    ops = number(fields, "ops")
    tick = number(fields, "tick", 100)
    if ops <= 0:
        return None
    return number(fields, "server_ticks") / tick / ops * 1e6


def summarize(entry):
    """Medians over the rounds, and the counted run's figures per operation."""
    rounds = entry["rounds"]
    result = {
        "rate": median([number(f, "rate") for f in rounds]),
        "rate_min": min((number(f, "rate") for f in rounds), default=None),
        "rate_max": max((number(f, "rate") for f in rounds), default=None),
        "p50": median([number(f, "p50_us") for f in rounds]),
        "p99": median([number(f, "p99_us") for f in rounds]),
        "cpu": median([cpu_us_per_op(f) for f in rounds]),
        "load_cpu": median([number(f, "load_cpu") * 100 for f in rounds]),
        "threads": max((int(number(f, "threads_peak")) for f in rounds), default=0),
        "errors": sum(int(number(f, "errors")) + int(number(f, "failed")) for f in rounds),
        "lost": sum(int(number(f, "lost")) for f in rounds),
        "socket": {k: sum(int(number(f, k)) for f in rounds)
                   for k in ("connect", "read", "write", "timeout", "non2xx")},
        "rc": sum(1 for f in rounds if number(f, "rc") != 0),
    }
    count = entry["count"]
    if count:
        ops = number(count, "ops")
        result["count_syscalls"] = number(count, "count_syscalls") / ops if ops else None
        result["count_switches"] = number(count, "count_switches") / ops if ops else None
        result["count_cpu"] = number(count, "count_cpu_ms") * 1000 / ops if ops else None
        result["count_errors"] = int(number(count, "errors")) + int(number(count, "failed"))
    return result


def idle_summary(fields):
    connections = number(fields, "connections")
    before, after = number(fields, "rss_before_kib"), number(fields, "rss_after_kib")
    seconds = number(fields, "idle_seconds")
    return {
        "bytes": (after - before) * 1024 / connections if connections and after else None,
        "cpu": (number(fields, "idle_ticks") / number(fields, "tick", 100) / seconds * 100
                if seconds else None),
        "echoed": int(number(fields, "echoed")),
        "connections": int(connections),
        "errors": int(number(fields, "errors")),
        "threads": int(number(fields, "threads")),
        "p50": number(fields, "p50_us"),
        "p99": number(fields, "p99_us"),
    }


def unit_of(row):
    if row.section in ("hello", "many") or row.scenario.startswith("HTTPS"):
        return "req", "request"
    if "churn" in row.scenario:
        return "conn", "connection"
    return "msg", "message"


def ours_first(row, labels):
    names = list(row.servers)
    names.sort(key=lambda n: 0 if labels.get(n, n) in OURS else 1)
    return names


def detail_table(row, labels, counter):
    out = []
    names = ours_first(row, labels)
    short, long_unit = unit_of(row)
    out.append(f"### {row.scenario}\n")
    for name in names:
        command = row.commands.get(name, "")
        out.append(f"- {labels.get(name, name)}: `{command}`")
    out.append("")
    head = "| | " + " | ".join(labels.get(n, n) for n in names) + " |"
    out.append(head)
    out.append("|---|" + "---:|" * len(names))
    if row.scenario == "idle":
        stats = [idle_summary(row.servers[n]["idle"] or {}) for n in names]
        out.append("| memory per idle connection | " +
                   " | ".join(fmt(s["bytes"], 0, " B") for s in stats) + " |")
        out.append("| server CPU while they idle (% of a core) | " +
                   " | ".join(fmt(s["cpu"], 2, " %") for s in stats) + " |")
        out.append("| connections that echoed after the hold | " +
                   " | ".join(f"{s['echoed']:,} of {s['connections']:,}" for s in stats) + " |")
        out.append("| that echo, p50 / p99 (µs) | " +
                   " | ".join(f"{fmt(s['p50'], 0)} / {fmt(s['p99'], 0)}" for s in stats) + " |")
        out.append("| server threads while holding | " +
                   " | ".join(str(s["threads"]) for s in stats) + " |")
        out.append("| errors | " + " | ".join(str(s["errors"]) for s in stats) + " |")
        return "\n".join(out) + "\n"
    stats = [summarize(row.servers[n]) for n in names]
    ours = stats[0]
    out.append(f"| {short}/s (median) | " + " | ".join(fmt(s["rate"], 0) for s in stats) + " |")
    out.append(f"| {short}/s, lowest – highest round | " +
               " | ".join(f"{fmt(s['rate_min'], 0)} – {fmt(s['rate_max'], 0)}" for s in stats) + " |")
    out.append("| latency p50 / p99 (µs) | " +
               " | ".join(f"{fmt(s['p50'], 1)} / {fmt(s['p99'], 1)}" for s in stats) + " |")
    out.append(f"| server CPU per {long_unit} (µs) | " +
               " | ".join(fmt(s["cpu"], 2) for s in stats) + " |")
    out.append(f"| {labels.get(names[0], names[0])} ÷ this: {short}/s, CPU per {long_unit} | " +
               " | ".join(
                   f"{fmt(ours['rate'] / s['rate'] if s['rate'] else None, 2)}, "
                   f"{fmt(ours['cpu'] / s['cpu'] if s['cpu'] else None, 2)}" for s in stats) + " |")
    out.append("| load tool's core busy | " + " | ".join(fmt(s["load_cpu"], 0, " %") for s in stats) + " |")
    tool = "perf stat" if counter == "perf" else "strace -c -f (context switches and CPU from /proc)"
    out.append(f"| system calls per {long_unit} ({tool}) | " +
               " | ".join(fmt(s.get("count_syscalls"), 2) for s in stats) + " |")
    out.append(f"| context switches per {long_unit} (counted) | " +
               " | ".join(fmt(s.get("count_switches"), 3) for s in stats) + " |")
    out.append(f"| CPU per {long_unit}, counted run (µs) | " +
               " | ".join(fmt(s.get("count_cpu"), 2) for s in stats) + " |")
    out.append("| server threads (peak) | " + " | ".join(str(s["threads"]) for s in stats) + " |")
    if row.section in ("hello", "many", "tls") and short == "req":
        out.append("| wrk socket errors: connect / read / write / timeout; non-2xx | " + " | ".join(
            "{connect} / {read} / {write} / {timeout}; {non2xx}".format(**s["socket"])
            for s in stats) + " |")
    else:
        out.append("| errors (lost messages) | " +
                   " | ".join(f"{s['errors'] + s.get('count_errors', 0)} ({s['lost']})"
                              for s in stats) + " |")
    return "\n".join(out) + "\n"


def summary_table(rows, labels):
    columns = ["ours"] + PEER_COLUMNS
    out = ["| Scenario | korvo / halden (ours) | nginx | libwebsockets | Boost.Beast | Node `ws` / `http` |",
           "|---|---|---|---|---|---|"]
    for row in rows.values():
        cells = {c: "" for c in columns}
        short, _ = unit_of(row)
        for name, entry in row.servers.items():
            label = labels.get(name, name)
            column = "ours" if label in OURS else label
            if column == "Node http":
                column = "Node ws"
            if row.scenario == "idle":
                s = idle_summary(entry["idle"] or {})
                text = (f"{fmt(s['bytes'] / 1000 if s['bytes'] is not None else None, 1)} KB, "
                        f"{fmt(s['cpu'], 2)} % CPU idle, {s['echoed']:,}/{s['connections']:,} echo")
            else:
                s = summarize(entry)
                if "latency" in row.scenario:
                    text = f"p50 {fmt(s['p50'], 1)} µs (p99 {fmt(s['p99'], 1)})"
                else:
                    text = f"{fmt_rate(s['rate'])} {short}/s, {fmt(s['cpu'], 1)} µs"
                if row.section == "many":
                    errors = sum(s["socket"].values())
                    text += f", {errors:,} errors, {s['threads']} threads"
            if column == "ours" and label not in ("korvo", "halden"):
                text = f"{label}: {text}"
            column = column if column in cells else "ours"
            cells[column] = f"{cells[column]}; {text}" if cells[column] else text
        name = "Idle memory per WS connection" if row.scenario == "idle" else row.scenario
        out.append(f"| {name} | " + " | ".join(cells[c] for c in columns) + " |")
    return "\n".join(out) + "\n"


def counted_table(rows, labels, counter):
    """Per operation, from the counted runs: our servers and the reference peers of the targets
    (nginx, libwebsockets)."""
    tool = "perf stat" if counter == "perf" else "strace -c -f"
    out = [f"| Per operation ({tool} on the server) | system calls | context switches | CPU (µs) |",
           "|---|---:|---:|---:|"]
    for row in rows.values():
        if row.scenario == "idle":
            continue
        for name, entry in row.servers.items():
            label = labels.get(name, name)
            if label not in OURS and label not in ("nginx", "libwebsockets"):
                continue
            s = summarize(entry)
            out.append(f"| {label}, {row.scenario} | {fmt(s.get('count_syscalls'), 2)} | "
                       f"{fmt(s.get('count_switches'), 3)} | {fmt(s.get('count_cpu'), 1)} |")
    return "\n".join(out) + "\n"


def main():
    meta, labels, notes, rows = load(sys.argv[1])
    # The idle row goes first among the WebSocket rows, as it ran.
    print(f"Run {meta.get('started', '?')}, commit {meta.get('commit', '?')}: "
          f"`{meta.get('command', '?')}` ({meta.get('rounds', '?')} round(s), medians; "
          f"{int(meta.get('seconds', 0)) // 60} min {int(meta.get('seconds', 0)) % 60} s).")
    print(f"Machine: {meta.get('machine', '?')}; load average {meta.get('load', '?')}.")
    print("Servers pinned to core 0 (the others stopped while one is measured), load tools to "
          "core 1; CPU per operation = the server's utime + stime over the run ÷ operations.")
    for name, why in notes:
        print(f"- {name}: not measured ({why})")
    print()
    print(summary_table(rows, labels))
    print(counted_table(rows, labels, meta.get("counter", "perf")))
    for row in rows.values():
        print(detail_table(row, labels, meta.get("counter", "perf")))


if __name__ == "__main__":
    main()
