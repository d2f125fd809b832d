"""Two ledger statistics written the plain Python way: the baseline that bench_ledger and
bench_calls time the native ones against."""


def population_stats(events):
    names, gens, counts, targets = set(), {}, {}, {}
    for ev in events:
        q = (ev.get("payload") or {}).get("question")
        if ev["type"] == "FORGE" and q:
            names.add(q)
            gens[ev["generation"]] = gens.get(ev["generation"], 0) + 1
        elif ev["type"] == "FINDING" and q:
            names.add(q)
            counts[q] = counts.get(q, 0) + 1
            if ev.get("target"):
                targets.setdefault(q, set()).add(ev["target"])
    most = max(counts, key=counts.get) if counts else None
    least = min(counts, key=counts.get) if counts else None
    return {"total_population": len(names), "generation_distribution": gens,
            "most_productive": most, "least_productive": least,
            "coverage_matrix": {q: sorted(t) for q, t in targets.items()}}


def triage_effectiveness(events):
    buckets = {}
    for ev in events:
        if ev["type"] != "CYCLE":
            continue
        p = ev.get("payload") or {}
        b = buckets.setdefault(p.get("execution_mode", "unknown"), {
            "findings_count": 0, "actions_executed": 0, "actions_verified": 0,
            "cost_usd": 0.0, "duration_secs": 0.0, "cycle_count": 0})
        for k, d in (("findings_count", 0), ("actions_executed", 0), ("actions_verified", 0),
                     ("cost_usd", 0.0), ("duration_secs", 0.0)):
            b[k] += p.get(k, d)
        b["cycle_count"] += 1
    for b in buckets.values():
        b["cost_usd"] = round(b["cost_usd"], 4)
        b["duration_secs"] = round(b["duration_secs"], 2)
    return buckets
