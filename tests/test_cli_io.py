"""quarn import, export and --version, driven through a subprocess (and, for a
terminal, a pseudo-terminal); the array reader's window at tiny chunk sizes in-process."""
import io
import json
import os
import platform
import pty
import re
import subprocess
import sys

import pytest

from quarn import Quarn
from conftest import child_env, installed_files
from test_cli import DOCS, command, db_path, ok, quarn, quarn_command  # noqa: F401 - fixtures

NEW = [{"name": "Zed", "n": 1, "note": "é 😀 \"q\"\n"}, {"name": "Yu", "deep": {"a": [1, 2.5, None]}}, {"n": -3}]


def snapshot(directory):
    return {path.name: path.read_bytes() for path in directory.iterdir()} if directory.exists() else None


def test_version(quarn, tmp_path):
    text = ok(quarn("--version"))
    if installed_files() is None:
        assert text.startswith("quarn (version unknown: not run from an installed distribution")
    else:
        from importlib.metadata import version

        assert text == f"quarn {version('quarn')}\n"


def as_jsonl(documents):
    # A blank line and a byte order mark are accepted, as other tools write them.
    return ("\ufeff" + "\n".join(json.dumps(d, ensure_ascii=False) for d in documents) + "\n\n").encode()


def as_array(documents):
    return (" \n" + json.dumps(documents, indent=1, ensure_ascii=False)).encode()


@pytest.mark.parametrize("encode, form", [(as_jsonl, None), (as_array, None), (as_jsonl, "jsonl"), (as_array, "json")])
@pytest.mark.parametrize("from_stdin", [False, True])
@pytest.mark.parametrize("batch", ["1", "10000"])
def test_import_appends_and_writes(quarn, db_path, tmp_path, encode, form, from_stdin, batch):
    (tmp_path / "new").write_bytes(encode(NEW))
    args = [str(db_path), "import", "users", "-" if from_stdin else "new", "--write", "--batch", batch]
    args += ["--format", form] if form else []
    result = quarn(*args, stdin=encode(NEW) if from_stdin else None)
    assert ok(result) == "3\n"
    assert Quarn(str(db_path)).find("users") == DOCS + NEW


@pytest.mark.parametrize("where", ["db/users", "db/fresh", "fresh/c"])
def test_import_without_write_leaves_the_disk_as_it_was(quarn, db_path, tmp_path, where):
    (tmp_path / "new.jsonl").write_bytes(as_jsonl(NEW * 3))
    directory, collection = where.split("/")
    before = snapshot(db_path)
    result = quarn(directory, "import", collection, "new.jsonl", "--batch", "2")
    assert result.returncode == 0 and result.stdout == b"9\n"
    assert result.stderr.decode() == "quarn: checked only, nothing written (add --write to keep the documents)\n"
    assert snapshot(db_path) == before and not (tmp_path / "fresh").exists()


@pytest.mark.parametrize(
    "file, content, status, message, went_in",
    [
        ("absent.jsonl", None, 1, "cannot read absent.jsonl: No such file or directory", None),
        ("adir", None, 1, "cannot read adir: Is a directory", None),
        ("t.json", b'[{"a": 1}, {"a": 2}, {"a": 3}, {"a": 4', 2, "t.json, line 1: not valid JSON: ", 2),
        ("t2.json", b'[{"a": 1}, {"a": 2}, {"a": 3}, {"a": 4}', 2, "t2.json, line 1: not valid JSON: the array is not closed", 4),
        ("u.json", b'[{"a": 1}, {"a": 2},\n {"a": 3}, {"a": 4},\n {"a": "\xff"}]', 1, "u.json, line 3: not UTF-8 text: invalid start byte at byte 51", 0),
        ("u.jsonl", b'{"a": 1}\n{"a": 2}\n{"a": 3}\n{"a": 4}\n{"a": "\xe9"}\n', 1, "u.jsonl, line 5: not UTF-8 text: invalid continuation byte at byte 8 of the line", 4),
        ("n.jsonl", b'{"a": 1}\n{"a": 2}\n\n{"a": 3}\n{"a": 4}\n[1]\n', 1, "n.jsonl, line 6: not a JSON object but an array", 4),
        ("n.json", b'[{"a": 1}, {"a": 2}, {"a": 3},\n{"a": 4},\n "x"]', 1, "n.json, line 3: not a JSON object but a string", 4),
        ("j.jsonl", b'{"a": 1}\n{"a": 2}\n{"a": 3}\n{"a": 4}\n{"a": 5,}\n', 2, "j.jsonl, line 5: not valid JSON: ", 4),
        ("c.jsonl", b'{"a": 1}\n{"a": 2}\n{"a": 3}\n{"a": 4}\n{"a": NaN}\n', 2, "c.jsonl, line 5: NaN is not valid JSON", 4),
        ("e.json", b'[{"a": 1}, {"a": 2}, {"a": 3}, {"a": 4}]\n[]', 2, "e.json, line 2: not valid JSON: extra data after the array at column 1", 4),
        ("d.jsonl", b'{"a": 1}\n{"a": 2}\n{"a": 3}\n{"a": 4}\n{"a": ' + b"[" * 200 + b"]" * 200 + b"}\n", 1, "d.jsonl, line 5: the batch starting here was refused: PanicException: ", 4),
        # rows of values under a row of field names, taken for an array by its first character
        ("rows.jsonl", b'\n["a", "b"]\n[1, 2]\n', 1, "rows.jsonl, line 2: an array, but each line must hold one object; add --header if this line names the fields of the arrays on the lines after it", 0),
    ],
)
@pytest.mark.parametrize("collection", ["users", "fresh"])
def test_bad_input_is_one_line_and_changes_nothing(quarn, db_path, tmp_path, file, content, status, message, went_in, collection):
    (tmp_path / "adir").mkdir()
    if content is not None:
        (tmp_path / file).write_bytes(content)
    before = snapshot(db_path)
    result = quarn(str(db_path), "import", collection, file, "--batch", "2", "--write")
    assert result.returncode == status and result.stdout == b""
    lines = result.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith("quarn: error: "), lines
    assert message in lines[0]
    if went_in is not None:  # whole batches of two; none of them stays
        assert lines[0].endswith(f"({went_in} documents went in before it; nothing was written)")
    assert snapshot(db_path) == before


@pytest.mark.parametrize(
    "collection, content, extra, kept",
    [
        ("users", as_jsonl(NEW), [], NEW),
        ("users", b"", ["--write"], []),
        ("fresh", as_jsonl(NEW), ["--write"], NEW),
        ("users", b'{"a": 1}\n{"a": 2}\n[3]\n', ["--write"], None),  # a fault after a batch: nothing changes
        ("users", b'["name", "n"]\n\n["Zed", 1]\n["Yu", [2.5, null]]\n', ["--write", "--header"],
         [{"name": "Zed", "n": 1}, {"name": "Yu", "n": [2.5, None]}]),
    ],
)
def test_import_replace_makes_the_collection_exactly_the_input(quarn, db_path, tmp_path, collection, content, extra, kept):
    (tmp_path / "new").write_bytes(content)
    os.chmod(db_path / "users.json", 0o640)
    before = snapshot(db_path)
    result = quarn(str(db_path), "import", collection, "new", "--replace", "--batch", "1", *extra)
    assert result.returncode == (0 if kept is not None else 1), result.stderr
    if kept is None or "--write" not in extra:
        assert snapshot(db_path) == before
        return
    assert result.stdout == f"{len(kept)}\n".encode() and Quarn(str(db_path)).find(collection) == kept
    assert set(os.listdir(db_path)) == set(before) | {f"{collection}.json"}
    assert os.stat(db_path / "users.json").st_mode & 0o777 == 0o640


@pytest.mark.parametrize(
    "content, message",
    [
        (b'["a", "b"]\n[1, 2]\n[3]\n', "line 3: 1 value, but line 1 names 2 fields"),
        (b'\n["a", "a"]\n[1, 2]\n', 'line 2: not a header: the field name "a" appears twice'),
        (b'{"a": 1}\n', "line 1: not a header: --header needs an array of field names here, not an object"),
        (b'["a"]\n[1]\n{"a": 1}\n', "line 3: not an array of values but an object"),
    ],
)
def test_a_header_names_the_fields_of_every_row(quarn, db_path, tmp_path, content, message):
    (tmp_path / "rows.jsonl").write_bytes(content)
    before = snapshot(db_path)
    result = quarn(str(db_path), "import", "users", "rows.jsonl", "--header", "--write")
    assert result.returncode == 1 and result.stdout == b""
    assert result.stderr.decode() == f"quarn: error: rows.jsonl, {message} (0 documents went in before it; nothing was written)\n"
    assert snapshot(db_path) == before


@pytest.mark.parametrize("query", [None, {"age": {"$gte": 30}}, {"address.city": "Paris"}, {"name": "nobody"}])
@pytest.mark.parametrize("form", ["jsonl", "json"])
@pytest.mark.parametrize("to_file", [False, True])
def test_export(quarn, db_path, tmp_path, query, form, to_file):
    args = [str(db_path), "export", "users"] + ([json.dumps(query)] if query else []) + ["--format", form]
    expected = Quarn(str(db_path)).find("users", query)
    if to_file:
        (tmp_path / "out").write_text("old")
        assert ok(quarn(*args, "-o", "out")) == f"{len(expected)}\n"
        text = (tmp_path / "out").read_text("utf-8")
        assert sorted(os.listdir(tmp_path)) == ["db", "out"]  # no temporary file left
        assert (tmp_path / "out").stat().st_mode & 0o777 == 0o666 & ~current_umask()
    else:
        text = ok(quarn(*args))
    got = json.loads(text) if form == "json" else [json.loads(line) for line in text.splitlines()]
    assert got == expected


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["export", "missing"], 1, "no collection 'missing' in "),
        (["export", "users", "[]"], 2, "QUERY_JSON must be a JSON object, not an array"),
        (["export", "users", "-o", "adir"], 1, "cannot write adir: Is a directory"),
        (["export", "users", "-o", "nowhere/out.jsonl"], 1, "cannot write nowhere/out.jsonl: No such file or directory"),
        (["import", "users", "x", "--batch", "0"], 2, "argument --batch: expected a whole number >= 1"),
        (["export", "users", "--format", "csv"], 2, "argument --format: invalid choice: 'csv'"),
        (["import", "users", "x", "--header", "--format", "json"], 2, "--header reads JSON Lines, so it cannot go with --format json"),
    ],
)
def test_export_and_usage_errors(quarn, db_path, tmp_path, args, status, message):
    (tmp_path / "adir").mkdir()
    before = snapshot(tmp_path / "adir")
    result = quarn(str(db_path), *args)
    assert result.returncode == status and result.stdout == b""
    assert message in result.stderr.decode() and len(result.stderr.decode().splitlines()) == 1
    assert snapshot(tmp_path / "adir") == before


def on_a_terminal(args, cwd):
    """What the command draws on a terminal as its standard error, and its output."""
    leader, follower = pty.openpty()
    process = subprocess.Popen(args, cwd=cwd, env=child_env(), stdout=subprocess.PIPE, stderr=follower)
    os.close(follower)
    terminal = b""
    while True:
        try:
            data = os.read(leader, 65536)
        except OSError:  # EIO once the child has closed the terminal
            break
        if not data:
            break
        terminal += data
    os.close(leader)
    assert process.wait(timeout=120) == 0
    output = process.stdout.read()
    process.stdout.close()
    return terminal.decode(), output


def test_the_bar_counts_in_one_unit_and_moves_as_the_input_comes(tmp_path):
    pytest.importorskip("tqdm")  # a dependency of the distribution; absent only beside a bare build
    command = quarn_command()
    lines = as_jsonl([{"n": n, "pad": "x" * 50} for n in range(30000)])
    (tmp_path / "big.jsonl").write_bytes(lines)
    screen, output = on_a_terminal([*command, "db", "import", "c", "big.jsonl", "--write"], str(tmp_path))
    assert output == b"30000\n" and "100%" in screen and "B/s" in screen and "docs" not in screen, screen

    # A pipe has no size: documents, redrawn as each fifth of the input arrives rather than once a batch.
    # The parts are cut here: split(1) trips over the sanitizer runtime that CI preloads into children.
    rows = lines.splitlines(keepends=True)
    for part in range(5):
        (tmp_path / ("part.%d" % part)).write_bytes(b"".join(rows[part * len(rows) // 5 : (part + 1) * len(rows) // 5]))
    feed = "for part in part.*; do cat $part; sleep 0.3; done | \"$@\""
    screen, output = on_a_terminal(["sh", "-c", feed, "sh", *command, "db", "import", "c", "-"], str(tmp_path))
    counts = [int(count) for count in re.findall(r"(\d+) docs \[", screen)]
    assert output == b"30000\n" and "B/s" not in screen and counts[-1] == 30000, screen
    assert len(set(counts)) >= 5 and counts == sorted(counts), screen

    piped = subprocess.run([*command, "d", "import", "c", "big.jsonl", "--write"],
                           cwd=str(tmp_path), env=child_env(), capture_output=True)
    assert piped.returncode == 0 and piped.stdout == b"30000\n" and piped.stderr == b""


# The array reader's window, at chunk sizes that split every token somewhere.

TRICKY = b'\xef\xbb\xbf \n[ {"s": "a\\"b\\\\", "u": "\\u00e9\\ud83d\\ude00 \xc3\xa9", "n": [1.5e+3, -0.25, 12345678901234567890]},\n\t{"k": true, "z": null, "e": {}}, {"long": "' + b"y" * 300 + b'"} ]\n'


@pytest.fixture
def common():
    import quarn_common

    return quarn_common


def read_array(common, data, chunk, monkeypatch):
    import quarn_io

    monkeypatch.setattr(quarn_io, "CHUNK", chunk)
    reader = quarn_io.ArrayReader(io.BufferedReader(io.BytesIO(data)), common.json_decoder(), lambda *counts: None)
    return [document for _, document in reader.documents()]


@pytest.mark.parametrize("chunk", [1, 2, 3, 5, 64, 1 << 20])
def test_the_window_reads_what_json_reads(common, monkeypatch, chunk):
    expected = json.loads(TRICKY.decode("utf-8-sig"), parse_int=common.parse_int)
    assert read_array(common, TRICKY, chunk, monkeypatch) == expected


@pytest.mark.parametrize("chunk", [1, 3, 64])
@pytest.mark.parametrize(
    "text",
    [
        '[{"a": 1},\n {"b": 2,\n  "c": [1, 2,, 3]}]',
        '[{"a": 1},\n  {"b": "x\ty"}]',
        '[{"a": 1}, {"b": tru}]',
        '[\n{"a": 1}\n\n  {"b": 2}]',
        '[{"a": 1},\n   {"b": "unterminated}]',
        '[{"a": 1}, {"a": 2},\n ',
    ],
)
def test_the_window_finds_faults_where_json_does(common, monkeypatch, chunk, text):
    import quarn_io

    def fault(size):
        with pytest.raises(quarn_io.BadInput) as caught:
            read_array(common, text.encode(), size, monkeypatch)
        return caught.value.line, str(caught.value)

    whole = fault(1 << 20)
    assert fault(chunk) == whole  # however the text is cut into chunks
    if platform.python_implementation() == "CPython":  # PyPy places some faults a character off
        with pytest.raises(json.JSONDecodeError) as expected:
            json.loads(text)
        assert whole[0] == expected.value.lineno and whole[1].endswith(f" at column {expected.value.colno}")
