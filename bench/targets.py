"""The targets quarn is held to, judged met, missed or not measured from the saved figures."""
from figures import entries_of, fmt_ratio, ratio_of, seconds_of
from stores import LABEL_OF
from workloads import FIND_WORKLOADS, QUERY_WORKLOADS, WORKLOADS

BIG_SIZES = (100_000, 1_000_000)  # where the indexed peer and the point lookup are judged
POINT_LOOKUP_SECONDS = 20e-6

DATABASE_PEERS = ("tinydb-json", "tinydb-memory", "mongita-memory", "montydb-memory")


def judge(description, checks):
    """(description, status, detail) of one target from its checks: (label, value, passed),
    value None where that figure was not measured."""
    measured = [c for c in checks if c[1] is not None]
    if not measured:
        return (description, "not measured", "")
    failed = [c for c in measured if not c[2]]
    if failed:
        return (description, "missed", "; ".join(f"{label} {text}" for label, text, _ in failed))
    detail = "; ".join(f"{c[0]} {c[1]}" for c in measured[:6]) + (" ..." if len(measured) > 6 else "")
    return (description, "met", detail)


def in_parentheses(detail):
    """A target's detail as printed after its description: in parentheses, if any."""
    return f" ({detail})" if detail else ""


def ratio_check(label, ratio, bound, strictly=False):
    """A check that a ratio (peer / quarn) reaches bound, or passes it when strictly."""
    value = None if ratio is None else f"{fmt_ratio(ratio)}x"
    passed = ratio is not None and (ratio > bound if strictly else ratio >= bound)
    return (label, value, passed)


def database_peer_targets(entries):
    """At N = 100,000 (or the largest N run): 20x on queries, 5x on moving data."""
    if not entries:
        return []
    big = 100_000 if 100_000 in entries else max(entries)
    entry = entries[big]
    results = []
    for peer in DATABASE_PEERS:
        checks = [ratio_check(workload, ratio_of(entry, peer, workload), 20) for workload in QUERY_WORKLOADS]
        results.append(judge(f"{LABEL_OF[peer]} at N={big}: quarn at least 20x faster on every "
                             "uncached find and the update", checks))
        checks = [ratio_check(workload, ratio_of(entry, peer, workload), 5)
                  for workload in ("insert", "write", "open")]
        results.append(judge(f"{LABEL_OF[peer]} at N={big}: quarn at least 5x faster on "
                             "insert_many, write and open", checks))
    return results


def checks_at_every_size(entries, peer, workloads, bound, strictly=False):
    return [ratio_check(f"{workload} N={size}", ratio_of(entry, peer, workload), bound, strictly)
            for size, entry in entries.items() for workload in workloads]


def indexed_sqlite_targets(entries):
    """Against sqlite3 with an index on every queried path, at the large N."""
    big = {size: entry for size, entry in entries.items() if size in BIG_SIZES}
    return [
        judge("sqlite3 (indexed) at N=100000 and 1000000: quarn at least 2x faster on the 1% "
              "and 10% finds", checks_at_every_size(big, "sqlite3-indexed", ("find_eq", "find_range"), 2)),
        judge("sqlite3 (indexed) at N=100000 and 1000000: quarn at least 5x faster on the nested "
              "path and the point lookup",
              checks_at_every_size(big, "sqlite3-indexed", ("find_nested", "find_point"), 5)),
    ]


def point_lookup_target(entries):
    """The steady state of the uncached point lookup: by then quarn has its index."""
    checks = []
    if 1_000_000 in entries:
        seconds = seconds_of(entries[1_000_000], "quarn", "find_point")
        if seconds is not None:
            checks.append(("N=1000000", f"{seconds * 1e6:.1f} us", seconds <= POINT_LOOKUP_SECONDS))
    return judge(f"point lookup among 1,000,000 in at most {POINT_LOOKUP_SECONDS * 1e6:.0f} us "
                 "once its index exists", checks)


def polodb_and_python_targets(entries):
    every_workload = [workload for workload, _ in WORKLOADS]
    return [
        judge("PoloDB: quarn ahead on every workload",
              checks_at_every_size(entries, "polodb", every_workload, 1.0, strictly=True)),
        judge("Python list with copies: quarn at least 5x faster on every find",
              checks_at_every_size(entries, "python-copy", FIND_WORKLOADS, 5)),
        judge("Python list without copies: quarn at least 3x faster on the 1% find and the nested path",
              checks_at_every_size(entries, "python-nocopy", ("find_eq", "find_nested"), 3)),
        judge("Python list without copies: quarn ahead on the cache hit",
              checks_at_every_size(entries, "python-nocopy", ("cache_hit",), 1.0, strictly=True)),
    ]


ORJSON_TARGETS = (
    ("find_all", 1.0, "find of all documents no slower than orjson.loads (orjson/quarn >= 1)"),
    ("insert", 1.0, "insert_many no slower than orjson.dumps (orjson/quarn >= 1)"),
    ("open", 2.0, "open at least 2x faster than reading + orjson.loads (orjson/quarn >= 2)"),
    ("write", 1.0, "write no slower than orjson.dumps + writing, fsync and rename (orjson/quarn >= 1)"),
)


def orjson_targets(entries):
    return [judge(text, [ratio_check(f"N={size}", ratio_of(entry, "orjson", workload), bound)
                         for size, entry in entries.items()])
            for workload, bound, text in ORJSON_TARGETS]


def cache_hit_target(entries):
    """A cache hit converts its result only: per returned document it costs no more at a
    larger N than at the smallest (the 1% result itself grows with N)."""
    checks = []
    sizes = list(entries)
    if sizes:
        first = entries[sizes[0]]
        base = seconds_of(first, "quarn", "cache_hit")
        for size in sizes[1:]:
            hit = seconds_of(entries[size], "quarn", "cache_hit")
            if base is None or hit is None:
                checks.append((f"N={size}", None, False))
                continue
            per_match = (hit / entries[size]["expected"]["find_eq"]) / (base / first["expected"]["find_eq"])
            checks.append((f"N={size} vs N={sizes[0]} per returned document", f"{per_match:.2f}x",
                           per_match <= 1.5))
    return judge("cache hit: time per returned document does not grow with N (at most 1.5x the "
                 "smallest N's)", checks)


def linear_growth_target(entries):
    checks = []
    if 100_000 in entries and 1_000_000 in entries:
        for workload, _ in WORKLOADS:
            small = seconds_of(entries[100_000], "quarn", workload)
            large = seconds_of(entries[1_000_000], "quarn", workload)
            if small and large:
                growth = large / small
                checks.append((workload, f"{growth:.1f}x", growth <= 11))
    return judge("quarn grows linearly: time at 1,000,000 at most 11x the time at 100,000", checks)


MEMORY_BOUND = 1.3


def memory_target(entries):
    checks = []
    for size, entry in entries.items():
        held = entry["memory"].get("quarn")
        text = entry.get("json_bytes_per_doc")
        if held is not None and text:
            checks.append((f"N={size}", f"{held:.0f} B held / {text:.0f} B JSON = {held / text:.2f}x",
                           held <= MEMORY_BOUND * text))
    return judge(f"memory held per document at most {MEMORY_BOUND}x its compact JSON text", checks)


def evaluate_targets(data):
    """Each target: (description, 'met' | 'missed' | 'not measured', detail)."""
    entries = entries_of(data)
    return (indexed_sqlite_targets(entries) + database_peer_targets(entries)
            + polodb_and_python_targets(entries) + [point_lookup_target(entries)]
            + orjson_targets(entries)
            + [cache_hit_target(entries), linear_growth_target(entries), memory_target(entries)])
