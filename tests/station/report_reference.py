"""Reference figures of a yield report, computed apart from the station's
code: reads the entries as JSON (argument 1) and writes the figures as JSON
(argument 2). The rules are the documented ones (docs/reports.md); the
statistics come from Python's statistics module, which computes exactly."""

import json
import statistics
import sys


def pareto(entries):
    steps, texts = {}, {}
    for e in entries:
        steps[e["failing_step"]] = steps.get(e["failing_step"], 0) + 1
        key = (e["failing_step"], e["text"])
        texts[key] = texts.get(key, 0) + 1
    total = len(entries)

    def ranked(counts, row):
        out, running = [], 0
        for key, count in sorted(counts.items(), key=lambda kv: (-kv[1], kv[0])):
            running += count
            out.append(row(key) + [count, count / total, running / total])
        return out

    return {
        "attempts": total,
        "steps": ranked(steps, lambda step: [step]),
        "texts": ranked(texts, lambda key: [key[0], key[1]]),
    }


def within(value, low, high):
    return (low is None or value >= low) and (high is None or value <= high)


def measurements(ordered):
    groups, order = {}, []
    for e in ordered:
        for m in e["measurements"]:
            key = (m["step"], m["name"], m["unit"])
            if key not in groups:
                groups[key] = {"values": [], "limits": None, "marginal": 0, "failed": 0}
                order.append(key)
            g = groups[key]
            g["limits"] = (m["low"], m["high"], m["marginal_low"], m["marginal_high"])
            g["values"].append(m["value"])
            if not m["passed"]:
                g["failed"] += 1
            if within(m["value"], m["low"], m["high"]) and not within(
                m["value"], m["marginal_low"], m["marginal_high"]
            ):
                g["marginal"] += 1
    out = []
    for key in order:
        g = groups[key]
        values = g["values"]
        low, high, _, _ = g["limits"]
        mean = statistics.mean(values)
        sigma = statistics.stdev(values) if len(values) > 1 else None
        cp = cpk = None
        if sigma:
            if low is not None and high is not None:
                cp = (high - low) / (6 * sigma)
                cpk = min(high - mean, mean - low) / (3 * sigma)
            elif high is not None:
                cpk = (high - mean) / (3 * sigma)
            elif low is not None:
                cpk = (mean - low) / (3 * sigma)
        out.append({
            "step": key[0], "name": key[1], "unit": key[2], "count": len(values),
            "mean": mean, "stdev": sigma, "min": min(values), "max": max(values),
            "low": low, "high": high, "cp": cp, "cpk": cpk,
            "marginal": g["marginal"], "failed": g["failed"],
        })
    return out


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        entries = json.load(f)
    ordered = sorted(entries, key=lambda e: (e["started"], e["id"]))

    # A unit is a serial; an entry without one is a unit of its own. Only
    # PASS and FAIL attempts test it.
    first, last = {}, {}
    units = set()
    for i, e in enumerate(ordered):
        unit = ("serial", e["serial"]) if e["serial"] else ("entry", i)
        units.add(unit)
        if e["outcome"] in ("PASS", "FAIL"):
            first.setdefault(unit, e["outcome"])
            last[unit] = e["outcome"]
    outcomes = {}
    for e in entries:
        outcomes[e["outcome"]] = outcomes.get(e["outcome"], 0) + 1

    result = {
        "units": len(units),
        "units_tested": len(first),
        "first_pass": sum(1 for o in first.values() if o == "PASS"),
        "final": sum(1 for o in last.values() if o == "PASS"),
        "outcomes": outcomes,
        "FAIL": pareto([e for e in ordered if e["outcome"] == "FAIL"]),
        "ERROR": pareto([e for e in ordered if e["outcome"] == "ERROR"]),
        "measurements": measurements(ordered),
    }
    with open(sys.argv[2], "w", encoding="utf-8") as f:
        json.dump(result, f)


if __name__ == "__main__":
    main()
