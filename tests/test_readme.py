"""The examples of README.md and of every page in docs/, taken from the pages themselves,
do what the pages say they do.

Each page runs on its own, in a fresh namespace and a fresh temporary directory, in a
fixed order (README.md first, then docs/*.md by name). Its Python blocks run in order in
that one namespace; an expression followed by a comment that is a Python literal (or
starts with one and ": ") must have that value. Lines "    $ command" run in a shell,
with the indented lines that follow them as their output (standard output and standard
error, as a terminal shows them). Every relative link of the pages must lead to a file,
and to a heading there when it names one.
"""
import ast
import importlib.util
import io
import os
import re
import shlex
import subprocess
import tokenize

import pytest

from conftest import child_env
from test_cli import quarn_command

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))
DOCS = os.path.join(ROOT, "docs")
PAGES = ["README.md"] + sorted(
    f"docs/{name}" for name in (os.listdir(DOCS) if os.path.isdir(DOCS) else []) if name.endswith(".md")
)


def read(page):
    with open(os.path.join(ROOT, page), encoding="utf-8") as handle:
        return handle.read()


def examples(page):
    """The page's examples in order: ("python", code, first line) and ("shell", command,
    output lines, line)."""
    lines = read(page).splitlines()
    found, at = [], 0
    while at < len(lines):
        fence = re.fullmatch(r"( *)```python", lines[at])
        if fence:
            end = lines.index(fence.group(1) + "```", at)
            code = "\n".join(line[len(fence.group(1)) :] for line in lines[at + 1 : end])
            found.append(("python", code, at + 2))
            at = end
        elif lines[at].startswith("    $ "):
            start, output = at, []
            while at + 1 < len(lines) and lines[at + 1].startswith("    ") and not lines[at + 1].startswith("    $ "):
                output.append(lines[at + 1][4:])
                at += 1
            found.append(("shell", lines[start][6:], output, start + 1))
        at += 1
    return found


def claimed(comment):
    for text in (comment, comment.split(": ", 1)[0]):
        try:
            return True, ast.literal_eval(text)
        except (ValueError, SyntaxError):
            pass
    return False, None


def run_python(code, first_line, page, namespace):
    """Runs a block statement by statement; returns how many claims it checked."""
    code = "\n" * (first_line - 1) + code  # line numbers of the page, in tracebacks too
    tree = ast.parse(code, page)
    comments = {}
    for token in tokenize.generate_tokens(io.StringIO(code).readline):
        if token.type == tokenize.COMMENT:
            comments[token.start[0]] = token.string[1:].strip()
    ends = [statement.lineno for statement in tree.body[1:]] + [len(code.splitlines()) + 1]
    checked = 0
    for statement, end in zip(tree.body, ends):
        comment = " ".join(comments[line] for line in range(statement.lineno, end) if line in comments)
        is_claim, expected = claimed(comment) if isinstance(statement, ast.Expr) else (False, None)
        if is_claim:
            value = eval(compile(ast.Expression(statement.value), page, "eval"), namespace)
            where = f"{page}, line {statement.lineno}: {ast.get_source_segment(code, statement)}"
            assert repr(value) == repr(expected), where
            checked += 1
        else:
            exec(compile(ast.Module([statement], []), page, "exec"), namespace)
    return checked


def missing_imports(code):
    """The modules a block imports that are not installed here."""
    names = set()
    for statement in ast.parse(code).body:
        if isinstance(statement, ast.Import):
            names.update(alias.name.split(".")[0] for alias in statement.names)
        elif isinstance(statement, ast.ImportFrom) and statement.module:
            names.add(statement.module.split(".")[0])
    return [name for name in sorted(names) if importlib.util.find_spec(name) is None]


def claims_in(code):
    """How many claims a block makes, counted without running it."""
    comments = {}
    for token in tokenize.generate_tokens(io.StringIO(code).readline):
        if token.type == tokenize.COMMENT:
            comments[token.start[0]] = token.string[1:].strip()
    tree = ast.parse(code)
    ends = [statement.lineno for statement in tree.body[1:]] + [len(code.splitlines()) + 1]
    return sum(
        isinstance(statement, ast.Expr)
        and claimed(" ".join(comments[line] for line in range(statement.lineno, end) if line in comments))[0]
        for statement, end in zip(tree.body, ends)
    )


@pytest.mark.parametrize("page", PAGES)
def test_examples_do_what_the_page_says(page, tmp_path, monkeypatch):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "quarn").write_text(f'#!/bin/sh\nexec {" ".join(map(shlex.quote, quarn_command()))} "$@"\n')
    (bin_dir / "quarn").chmod(0o755)
    env = child_env()
    env["PATH"] = f"{bin_dir}{os.pathsep}{env['PATH']}"
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    namespace, blocks, skipped, claims, commands = {}, 0, 0, 0, 0
    for example in examples(page):
        if example[0] == "python":
            _, code, first_line = example
            if missing_imports(code):
                skipped += 1  # the interop extra's libraries: tests/test_interop.py runs these with them
                continue
            claims += run_python(code, first_line, page, namespace)
            blocks += 1
            continue
        _, command, output, line = example
        result = subprocess.run(
            ["sh", "-c", command], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env, timeout=120
        )
        assert result.stdout.decode().splitlines() == output, f"{page}, line {line}: {command}"
        commands += 1
    # The extraction found every block and transcript the page shows, and each ran.
    text = read(page)
    assert blocks + skipped == len(re.findall(r"(?m)^ *```python$", text))
    assert commands == len(re.findall(r"(?m)^    \$ ", text))


def test_pages_hold_their_examples():
    """The sanity counts: the extraction finds the pages' examples, so the test above is
    not passing on nothing."""
    counts = {}
    for page in PAGES:
        found = examples(page)
        counts[page] = (
            sum(claims_in(example[1]) for example in found if example[0] == "python"),
            sum(example[0] == "shell" for example in found),
        )
    assert {"README.md", "docs/cli.md", "docs/api.md", "docs/queries.md", "docs/files.md"} <= set(PAGES)
    assert counts["README.md"][0] >= 20 and counts["README.md"][1] >= 2, counts
    assert counts["docs/cli.md"][1] >= 15, counts
    assert all(claims >= 5 for page, (claims, _) in counts.items() if page in
               ("docs/api.md", "docs/queries.md", "docs/files.md")), counts
    assert sum(claims for claims, _ in counts.values()) >= 60, counts


def test_pages_use_no_block_that_is_not_run():
    """Code is shown in python blocks or as "    $ " transcripts, both run above; a
    fenced block of any other kind would not be."""
    for page in PAGES:
        fences = re.findall(r"(?m)^ *```(.*)$", read(page))
        assert [fence for fence in fences if fence not in ("python", "")] == [], page
        prompts = re.findall(r"(?m)^( *)\$ ", read(page))
        assert [indent for indent in prompts if indent != "    "] == [], page


def slug(heading):
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def anchors(page):
    text = re.sub(r"(?ms)^ *```.*?^ *```$", "", read(page))
    return {slug(match) for match in re.findall(r"(?m)^#{1,6} (.*)$", text)}


def test_relative_links_lead_somewhere():
    checked = 0
    for page in PAGES + ["DESIGN.md"]:
        text = re.sub(r"(?ms)^ *```.*?^ *```$", "", read(page))
        for target in re.findall(r"\]\(([^)\s]+)\)", text):
            if re.match(r"[a-z]+:", target):
                continue
            path, _, anchor = target.partition("#")
            linked = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
            assert os.path.exists(os.path.join(ROOT, linked)), f"{page}: {target}"
            if anchor:
                assert linked.endswith(".md") and anchor in anchors(linked), f"{page}: {target}"
            checked += 1
    assert checked >= 20


def test_help_examples_are_among_the_pages_examples():
    help_text = subprocess.run([*quarn_command(), "--help"], capture_output=True, env=child_env(), check=True)
    listed = help_text.stdout.decode().split("\nexamples", 1)[1].split("\n\n", 1)[0].splitlines()[1:]
    shown = {example[1] for page in PAGES for example in examples(page) if example[0] == "shell"}
    assert len(listed) >= 5
    assert [line for line in listed if line.strip() not in shown] == []
