"""One N: generate the documents, time every store on them, then measure the memory each
store holds, in fresh processes; the figures go into that N's entry of the results."""
import copy
import gc
import json
import os
import shutil
import tempfile
import time
import traceback

from documents import make_documents
from stores import CLASS_OF, make_store
from timing import dict_bytes, log, memory_held
from workloads import ALL_STORES_UP_TO, expected_matches, run_store

try:
    import orjson
except ImportError:  # the bench extra brings it; the harness still runs without it
    orjson = None


def choose_copy_method(documents, selected):
    """The faster way to give the caller independent copies: deepcopy or an orjson round trip."""
    if orjson is None:
        return "copy.deepcopy", {}
    timings = {}
    for name, function in (("copy.deepcopy", copy.deepcopy),
                           ("orjson round trip", lambda found: orjson.loads(orjson.dumps(found)))):
        runs = []
        for _ in range(3):
            start = time.perf_counter()
            function(selected)
            runs.append(time.perf_counter() - start)
        timings[name] = min(runs)
    faster = min(timings, key=timings.get)
    return ("orjson" if faster.startswith("orjson") else "copy.deepcopy"), timings


def time_store(key, documents, entry, root, quick):
    """Times one store in its own directory under root; returns where its data lies on
    disk (for the memory probe), or None for a memory-only store."""
    directory = os.path.join(root, key)
    os.mkdir(directory)
    store = make_store(key, directory, entry["copy_method"])
    entry["notes"][key] = store.note
    try:
        entry["seconds"][key] = run_store(store, documents, entry["expected"], quick)
    except AssertionError:
        raise  # a wrong result is the harness's fault or the store's: stop
    except Exception as error:  # noqa: BLE001 - a store that fails is reported, the others still run
        traceback.print_exc()
        entry["failures"][key] = f"{type(error).__name__}: {error}"
    location = getattr(store, "directory", None) or getattr(store, "path", None)
    store.close_main()
    return location


def time_stores(keys, documents, entry, root, quick, save):
    """Times every store that runs at this N; returns {key: its data on disk}."""
    count = len(documents)
    files = {}
    for key in keys:
        if count > ALL_STORES_UP_TO and not CLASS_OF[key].big_n:
            continue
        log(f"N = {count}: {key}")
        location = time_store(key, documents, entry, root, quick)
        if location:
            files[key] = location
        gc.collect()
        save()
    return files


def write_json_text(documents, path):
    if orjson is not None:
        with open(path, "wb") as handle:
            handle.write(orjson.dumps(documents))
    else:
        with open(path, "w") as handle:
            json.dump(documents, handle)


def write_json_lines(documents, path):
    with open(path, "w") as handle:
        for document in documents:
            handle.write(json.dumps(document))
            handle.write("\n")


def compact_json_size(documents):
    if orjson is not None:
        return len(orjson.dumps(documents))
    return len(json.dumps(documents, separators=(",", ":")).encode())


def measure_memory(keys, documents, entry, files, root):
    """Memory held per document: of the JSON text, of Python's dicts, and of each store that
    ran, opened from its files (or filled from JSON lines) in a fresh process."""
    count = len(documents)
    text_path = os.path.join(root, "documents.json")
    write_json_text(documents, text_path)
    jsonl_path = os.path.join(root, "documents.jsonl")
    if any(key not in files and key != "python-nocopy" for key in entry["seconds"]):
        write_json_lines(documents, jsonl_path)  # a memory-only store ran: it is filled from these
    entry["json_bytes_per_doc"] = compact_json_size(documents) / count
    if count <= ALL_STORES_UP_TO:  # tracing a million documents takes long
        try:
            entry["dict_bytes_per_doc"] = dict_bytes(text_path) / count
        except RuntimeError as error:
            entry["failures"]["dicts"] = str(error)
    for key in keys:
        if key in entry["failures"] or key not in entry["seconds"] or key == "python-nocopy":
            continue
        log(f"N = {count}: memory of {key}")
        try:
            entry["memory"][key] = memory_held(key, files.get(key, jsonl_path), entry["copy_method"]) / count
        except RuntimeError as error:
            entry["failures"]["memory " + key] = str(error)


def new_entry(documents):
    """The entry of one N before any store ran: the expected matches and how copies are made."""
    expected = expected_matches(documents)
    matches = [d for d in documents if d["group"] == 42]
    copy_method, copy_timings = choose_copy_method(documents, matches)
    return {"expected": expected, "copy_method": copy_method,
            "copy_timings": copy_timings, "seconds": {}, "memory": {}, "failures": {}, "notes": {}}


def benchmark_size(count, stores, quick, data, save):
    """Every store at N = count, into data["sizes"][str(count)]; save() after each store."""
    log(f"N = {count}: generating documents")
    documents = make_documents(count)
    gc.collect()
    gc.freeze()  # the harness's own documents are not the stores' to collect
    entry = new_entry(documents)
    data["sizes"][str(count)] = entry
    root = tempfile.mkdtemp(prefix="quarn-bench-")
    try:
        files = time_stores(stores, documents, entry, root, quick, save)
        measure_memory(stores, documents, entry, files, root)
        save()
    finally:
        shutil.rmtree(root, ignore_errors=True)
        del documents
        gc.unfreeze()
        gc.collect()
