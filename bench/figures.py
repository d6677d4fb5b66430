"""Reading the saved figures (results.json's "sizes") and writing them as table cells."""
import math


def fmt_seconds(seconds):
    """Three significant digits, none past the last that says something."""
    if seconds is None:
        return "n/a"
    if seconds <= 0:
        return "0"
    digits = max(0, 2 - math.floor(math.log10(seconds)))
    return f"{seconds:.{digits}f}"


def fmt_ratio(ratio):
    if ratio is None:
        return "n/a"
    if ratio >= 100:
        return f"{ratio:.0f}"
    if ratio >= 10:
        return f"{ratio:.1f}"
    if ratio >= 0.1:
        return f"{ratio:.2f}"
    return f"{ratio:.2g}"


def seconds_of(entry, key, workload):
    figure = entry["seconds"].get(key, {}).get(workload)
    return figure["seconds"] if figure else None


def ratio_of(entry, key, workload):
    """The store's seconds divided by quarn's: above 1, quarn is faster."""
    peer = seconds_of(entry, key, workload)
    ours = seconds_of(entry, "quarn", workload)
    if peer is None or not ours:
        return None
    return peer / ours


def sizes_of(data):
    return sorted(int(size) for size in data["sizes"])


def entries_of(data):
    """{N: that size's entry}, smallest N first."""
    return {size: data["sizes"][str(size)] for size in sizes_of(data)}
