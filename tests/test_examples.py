import ast
import json
import os
import shlex
import shutil
import subprocess
import sys

import pytest

from quarn import Quarn
from conftest import child_env

EXAMPLES = os.path.join(os.path.dirname(__file__), os.pardir, "examples")


def run_example(name, *args, cwd=None, env=None):
    result = subprocess.run(
        [sys.executable, os.path.join(EXAMPLES, name), *args],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=cwd,
        env=child_env(**(env or {})),
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_quickstart_runs():
    lines = run_example("quickstart.py").splitlines()
    assert "Update operator found Increment" in lines
    assert lines.index("Update operator found Increment") > lines.index(
        "update('users', {'age': {'$inc': 1}}) prints its trace lines:"
    )
    assert "names cannot leave the database directory: ValueError: Invalid collection name '../outside'" in lines


@pytest.mark.parametrize("by_env", [True, False])
def test_todo_list_is_kept_across_runs(tmp_path, by_env):
    directory = str(tmp_path / "todo")

    def todo(*args):
        if by_env:
            return run_example("todo.py", *args, env={"TODO_DIR": directory})
        return run_example("todo.py", "--dir", directory, *args, env={"TODO_DIR": str(tmp_path / "unused")})

    assert todo("list") == "nothing to do\n"
    assert todo("add", "buy", "milk") == "added 1: buy milk\n"
    assert todo("add", "call the bank") == "added 2: call the bank\n"
    out = todo("done", "1").splitlines()
    assert out == ["Update operator found Set", 'Fields: ["done"]', "done 1"]
    assert todo().splitlines() == ["  1 [x] buy milk", "  2 [ ] call the bank"]
    assert todo("list", "--open").splitlines() == ["  2 [ ] call the bank"]
    assert todo("add", "water plants") == "added 3: water plants\n"
    assert Quarn(directory).find("todos", {"done": False}) == [
        {"id": 2, "text": "call the bank", "done": False},
        {"id": 3, "text": "water plants", "done": False},
    ]
    assert not (tmp_path / "unused").exists()


def test_todo_done_of_a_missing_item_fails_and_changes_nothing(tmp_path):
    directory = str(tmp_path / "todo")
    run_example("todo.py", "--dir", directory, "add", "one")
    before = (tmp_path / "todo" / "todos.json").read_bytes()
    result = subprocess.run(
        [sys.executable, os.path.join(EXAMPLES, "todo.py"), "--dir", directory, "done", "2"],
        capture_output=True,
        text=True,
    )
    assert result.returncode == 1
    assert result.stderr == "todo: there is no item 2\n"
    assert (tmp_path / "todo" / "todos.json").read_bytes() == before


def summary(stdout):
    """{label: [titles]} from the import example's output."""
    found, label = {}, None
    for line in stdout.splitlines():
        if line.startswith("    - "):
            found[label].append(line[len("    - ") :])
        elif not line.startswith(" ") and not line.startswith("imported "):
            label = line.rsplit(":", 1)[0]
            found[label] = []
    return found


def expected_summary(books):
    """The example's queries, evaluated in plain Python."""
    return {
        "written before 1900": [b["title"] for b in books if b["year"] < 1900],
        "300 to 499 pages": [b["title"] for b in books if 300 <= b["pages"] < 500],
        "published in Paris": [b["title"] for b in books if b["publisher"]["city"] == "Paris"],
        "anything but novels": [b["title"] for b in books if b["genre"] != "novel"],
        "novels since 1900": [b["title"] for b in books if b["genre"] == "novel" and b["year"] >= 1900],
    }


def test_import_records_with_the_shipped_books():
    stdout = run_example("import_records.py")
    with open(os.path.join(EXAMPLES, "books.json"), encoding="utf-8") as handle:
        books = json.load(handle)
    assert stdout.startswith(f"imported {len(books)} records from ")
    assert summary(stdout) == expected_summary(books)


def test_import_records_into_a_given_directory_replaces_the_earlier_import(tmp_path):
    books = [
        {"title": "A", "author": "x", "year": 1899, "pages": 300, "genre": "novel", "publisher": {"city": "Paris"}},
        {"title": "B", "author": "y", "year": 1900, "pages": 499.5, "genre": "poetry", "publisher": {"city": "Rome"}},
        {"title": "C", "author": "z", "year": 2001, "pages": 500, "genre": "novel", "publisher": {"city": "Paris"}},
    ]
    source = tmp_path / "books.json"
    source.write_text(json.dumps(books))
    directory = str(tmp_path / "library")
    for _ in range(2):
        stdout = run_example("import_records.py", str(source), directory)
        assert summary(stdout) == expected_summary(books)
    assert json.loads((tmp_path / "library" / "books.json").read_text()) == books


def test_update_workflow_writes_once_at_the_end_and_goes_on_next_run(tmp_path):
    sys.path.insert(0, EXAMPLES)
    try:
        from update_workflow import SEED, STEPS
    finally:
        sys.path.remove(EXAMPLES)
    directory = str(tmp_path / "shop")
    stdout = run_example("update_workflow.py", directory)
    lines = stdout.splitlines()
    traces = [line for line in lines if line.startswith("Update operator found ")]
    assert len(traces) == len(STEPS)  # one term per step; the closing empty update has none
    assert lines.index("sell one hammer:") < lines.index("Update operator found Decrement")

    stored = json.loads((tmp_path / "shop" / "products.json").read_text())
    by_sku = {product["sku"]: product for product in stored}
    seed = {product["sku"]: product for product in SEED}
    assert by_sku["HAM-1"]["stock"] == seed["HAM-1"]["stock"] - 1
    assert by_sku["HAM-1"]["price"] == seed["HAM-1"]["price"] + 2
    assert by_sku["SAW-2"]["stock"] == seed["SAW-2"]["stock"] + 10
    assert by_sku["NAI-3"]["status"] == "retired" and by_sku["GLU-4"]["status"] == "active"
    assert by_sku["GLU-4"] == seed["GLU-4"]
    assert all("promo" not in product for product in stored)

    again = run_example("update_workflow.py", directory).splitlines()
    before = again[1 : again.index("sell one hammer:")]
    after = lines[lines.index("after (in memory; arithmetic results are floats):") + 1 : -1]
    assert before == after


def usage_lines(path):
    """The command lines in an example's docstring, as words, without their comments."""
    with open(path, encoding="utf-8") as handle:
        docstring = ast.get_docstring(ast.parse(handle.read())) or ""
    return [shlex.split(line, comments=True) for line in docstring.splitlines() if line.strip().startswith("python3 ")]


def test_every_usage_line_runs_as_written_from_the_top_directory(tmp_path):
    top = tmp_path / "checkout"  # laid out as the checkout: the lines name examples/...
    shutil.copytree(EXAMPLES, top / "examples")
    (tmp_path / "home").mkdir()
    env = child_env(HOME=str(tmp_path / "home"))  # todo.py's default list is ~/.quarn-todo
    env.pop("TODO_DIR", None)
    ran = []
    for name in sorted(os.listdir(top / "examples")):
        for words in usage_lines(top / "examples" / name) if name.endswith(".py") else []:
            result = subprocess.run([sys.executable, *words[1:]], cwd=str(top), env=env, capture_output=True, timeout=120)
            assert result.returncode == 0, (words, result.stderr.decode())
            ran.append(words[1])
    assert {"examples/import_records.py", "examples/todo.py", "examples/update_workflow.py"} <= set(ran)
    assert (top / "data" / "library" / "books.json").is_file() and (top / "data" / "shop" / "products.json").is_file()
