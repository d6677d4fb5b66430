"""The written results: results.json (the raw figures), results.md (tables of seconds,
ratios to quarn, repetitions, memory held and the targets), the chart, and the summary
between the markers of docs/performance.md."""
import json
import os

from figures import entries_of, fmt_ratio, fmt_seconds, ratio_of, seconds_of, sizes_of
from plot import render_chart
from stores import LABEL_OF, STORE_KEYS
from targets import evaluate_targets, in_parentheses
from workloads import ALL_STORES_UP_TO, LABELS, UNCACHED_FINDS, WORKLOADS

HERE = os.path.dirname(os.path.abspath(__file__))
README_START = "<!-- bench:start -->"
README_END = "<!-- bench:end -->"

METHOD = (
    "Each figure is the median of timed repetitions after one untimed warm-up: 5 "
    "repetitions, 3 when the warm-up took 1 s or more, 1 when it took 20 s or more "
    "(with --quick: 3, or 1 when the warm-up took 0.2 s or more); the counts are in "
    "the repetitions tables. A repetition of a call faster than 20 ms times several "
    "calls, each on its own, and takes their mean; each call's result is freed after it. Setup between calls (a fresh "
    "store, emptying a cache, copies of the input where a store could keep or change "
    "the caller's dicts) and freeing results are not timed. "
    "Documents are generated with a fixed seed (bench/documents.py): 7 to 15 members "
    "of strings, integers, floats, booleans and null, an object two levels deep "
    "(address.geo) and an array of 0 to 4 strings. Queries: equality on `group` "
    "(1%), `score` >= 20 and < 30 (10%), equality on `address.city` (the nested "
    "path), equality on the unique `id` of the middle document (the point lookup), the "
    "1% find again (quarn answers it from its cache), and `score` += 1 where `group` < 10 "
    "(10%). Before each call of an uncached find every store's result cache is emptied; "
    "the first run of each query is timed on its own and followed by the untimed warm-up, "
    "so an index a store makes on a query's second run stays out of the repetitions; "
    "quarn's first runs are reported apart (First uncached find). "
    "Every store's finds return the number of documents "
    "a plain scan finds (checked on every run), and every update is checked on a "
    "document. quarn's update writes two trace lines to standard output: it is sent "
    "to /dev/null around the timed updates of every store alike. "
    "Ratios are the store's seconds divided by quarn's: above 1, quarn is faster.")

MEMORY_METHOD = (
    "Resident set growth of a fresh process that opens the store from disk (or, for "
    "a memory-only store, fills it from JSON lines in batches of 1,000), divided by N. "
    "TinyDB's JSON storage keeps nothing after a read; PoloDB and sqlite3 keep their "
    "data in their files.")

HEADER = "| store | " + " | ".join(label for _, label in WORKLOADS) + " |"
RULE = "|---|" + "---:|" * len(WORKLOADS)


def table_row(label, cells):
    return f"| {label} | {' | '.join(cells)} |"


def meta_lines(meta):
    lines = ["# quarn benchmarks", ""]
    lines.append(f"- Command: `{meta['command']}`")
    lines.append(f"- Date: {meta['date']}")
    lines.append(f"- Machine: {meta['machine']}")
    lines.append(f"- Load average at start / end: {meta['load_start']} / {meta.get('load_end', '?')}")
    lines.append(f"- Python: {meta['python']}")
    if "elapsed_seconds" in meta:
        cpu = f" ({meta['cpu_seconds']:.0f} s of processor time)" if "cpu_seconds" in meta else ""
        lines.append(f"- Run time: {meta['elapsed_seconds']:.0f} s{cpu}")
    versions = ", ".join(f"{name} {version or 'not installed'}" for name, version in meta["versions"].items())
    lines.append(f"- Packages: {versions}")
    if meta.get("draft"):
        lines.append(f"- **{meta['draft']}**")
    lines.append("")
    return lines


def store_lines(data):
    """One line per store: how it was used (its note from the first N it ran at), or why
    it was skipped."""
    meta = data["meta"]
    first_notes = {}
    for entry in entries_of(data).values():
        for key, note in entry["notes"].items():
            first_notes.setdefault(key, note)
    lines = ["Stores:", ""]
    for key in STORE_KEYS:
        if key in first_notes:
            lines.append(f"- {LABEL_OF[key]}: {first_notes[key] or 'used as documented.'}")
        elif key in meta.get("skipped", {}):
            lines.append(f"- {LABEL_OF[key]}: skipped ({meta['skipped'][key]})")
    lines.append("")
    return lines


def workload_table(title, rows):
    """A table with a column per workload; rows: (label, cells)."""
    lines = [title, "", HEADER, RULE]
    lines += [table_row(label, cells) for label, cells in rows]
    lines.append("")
    return lines


def size_lines(size, entry):
    """The tables of one N: seconds, ratios to quarn, repetitions, and failures."""
    present = [key for key in STORE_KEYS if key in entry["seconds"]]
    matches = ", ".join(f"{workload} {number}" for workload, number in entry["expected"].items())
    lines = [f"## N = {size:,}", "", f"Matches: {matches}; copies made with {entry['copy_method']}.", ""]
    lines += workload_table("Seconds:", [
        (LABEL_OF[key], [fmt_seconds(seconds_of(entry, key, workload)) for workload, _ in WORKLOADS])
        for key in present])
    if "quarn" in entry["seconds"]:
        lines += workload_table("Store's time divided by quarn's:", [
            (LABEL_OF[key], [fmt_ratio(ratio_of(entry, key, workload)) for workload, _ in WORKLOADS])
            for key in present if key != "quarn"])
    lines += workload_table("Repetitions timed:", [
        (LABEL_OF[key], [repetitions_cell(entry["seconds"][key].get(workload)) for workload, _ in WORKLOADS])
        for key in present])
    lines += first_find_lines(entry) + index_lines(entry)
    for key, failure in entry["failures"].items():
        lines.append(f"- {LABEL_OF.get(key, key)} failed: {failure}")
    if entry["failures"]:
        lines.append("")
    return lines


def first_find_lines(entry):
    """quarn's first uncached run of each query (its plan's first choice: a scan) beside
    the steady state (the median of the uncached runs after it)."""
    figures = entry["seconds"].get("quarn", {})
    finds = [workload for workload in UNCACHED_FINDS if workload in figures]
    if not finds:
        return []
    lines = [("First uncached find (quarn): the first run of each query (before any index of "
              "quarn's own for its path), and the median of the repetitions (steady state), the "
              "cache emptied before each run:"), "",
             "| | " + " | ".join(LABELS[workload] for workload in finds) + " |",
             "|---|" + "---:|" * len(finds)]
    first = {w: figures[w].get("first", figures[w]["warmup"]) for w in finds}
    lines.append(table_row("first run (seconds)", [fmt_seconds(first[w]) for w in finds]))
    lines.append(table_row("steady state (seconds)", [fmt_seconds(figures[w]["seconds"]) for w in finds]))
    lines.append(table_row("first / steady", [fmt_ratio(first[w] / figures[w]["seconds"])
                                               if figures[w]["seconds"] else "n/a" for w in finds]))
    lines.append("")
    return lines


def index_lines(entry):
    """Index creation of the stores that build theirs apart from the workloads."""
    lines = []
    for key in STORE_KEYS:
        figure = entry["seconds"].get(key, {}).get("create_index")
        if figure:
            lines.append(f"Index creation ({LABEL_OF[key]}, not in any column): "
                         f"{fmt_seconds(figure['seconds'])} s.")
    return lines + [""] if lines else []


def repetitions_cell(figure):
    return str(figure["reps"]) if figure else ""


def memory_lines(data):
    entries = entries_of(data)
    lines = ["## Memory held per document", "", MEMORY_METHOD, ""]
    lines.append("| | " + " | ".join(f"N = {size:,}" for size in entries) + " |")
    lines.append("|---|" + "---:|" * len(entries))

    def memory_row(label, values):
        lines.append(table_row(label, [f"{v:.0f}" if v is not None else "n/a" for v in values]))

    memory_row("JSON text (compact)", [entry.get("json_bytes_per_doc") for entry in entries.values()])
    memory_row("Python dicts (tracemalloc of json.load)",
               [entry.get("dict_bytes_per_doc") for entry in entries.values()])
    for key in STORE_KEYS:
        values = [entry["memory"].get(key) for entry in entries.values()]
        if any(v is not None for v in values):
            memory_row(LABEL_OF[key], values)
    lines.append("")
    return lines


def target_lines(data):
    lines = ["## Targets", ""]
    lines.append("Computed from the figures above (`python3 bench/run.py --targets` recomputes "
                 "them from bench/results.json).")
    lines.append("")
    for description, status, detail in evaluate_targets(data):
        lines.append(f"- **{status}**: {description}{in_parentheses(detail)}")
    lines.append("")
    return lines


def render_markdown(data):
    lines = meta_lines(data["meta"]) + [METHOD, ""] + store_lines(data)
    for size, entry in entries_of(data).items():
        lines += size_lines(size, entry)
    lines += memory_lines(data) + target_lines(data)
    return "\n".join(lines)


def write_report(data, prefix):
    """prefix.json, prefix.md and (with matplotlib) prefix.png."""
    with open(prefix + ".json", "w") as handle:
        json.dump(data, handle, indent=1)
    with open(prefix + ".md", "w") as handle:
        handle.write(render_markdown(data))
    render_chart(data, prefix + ".png")


def render_readme_summary(data):
    """The summary of docs/performance.md: command, machine, chart, and the ratios at the largest N
    that every store ran."""
    meta = data["meta"]
    sizes = [size for size in sizes_of(data) if size <= ALL_STORES_UP_TO] or sizes_of(data)
    size = max(sizes)
    entry = data["sizes"][str(size)]
    lines = ["", f"Figures of `{meta['command']}`, run {meta['date']} on {meta['machine']}, {meta['python']}."]
    if meta.get("draft"):
        lines += ["", f"**{meta['draft']}**"]
    lines += ["",
              "![seconds per workload, log scale](../bench/results.png)", "",
              f"Each store's time divided by quarn's at N = {size:,} (above 1, quarn is faster):", ""]
    lines += [HEADER, RULE]
    lines.append(table_row("quarn (seconds)",
                           [fmt_seconds(seconds_of(entry, "quarn", workload)) for workload, _ in WORKLOADS]))
    for key in STORE_KEYS:
        if key != "quarn" and key in entry["seconds"]:
            lines.append(table_row(LABEL_OF[key],
                                   [fmt_ratio(ratio_of(entry, key, workload)) for workload, _ in WORKLOADS]))
    targets = evaluate_targets(data)
    missed = sum(1 for _, status, _ in targets if status == "missed")
    judged = sum(1 for _, status, _ in targets if status != "not measured")
    lines.append("")
    lines.append(f"Targets missed in this run: {missed} of {judged} (listed in bench/results.md).")
    lines.append("")
    return "\n".join(lines)


def update_readme(data):
    """Replaces the summary between the markers of docs/performance.md; a page without them
    is left alone."""
    path = os.path.join(os.path.dirname(HERE), "docs", "performance.md")
    try:
        with open(path) as handle:
            text = handle.read()
    except OSError:
        return
    start, end = text.find(README_START), text.find(README_END)
    if start < 0 or end < start:
        return
    text = text[:start + len(README_START)] + "\n" + render_readme_summary(data) + text[end:]
    with open(path, "w") as handle:
        handle.write(text)
