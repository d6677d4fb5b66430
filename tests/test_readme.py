"""README's examples, taken from README itself, do what README says they do.

Python blocks run in order in one namespace; an expression followed by a comment
that is a Python literal (or starts with one and ": ") must have that value.
Lines "$ command" run in a shell, with what follows them as their output
(standard output and standard error, as a terminal shows them).
"""
import ast
import importlib.util
import io
import os
import re
import shlex
import subprocess
import tokenize

from conftest import child_env
from test_cli import quarn_command

README = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "README.md")


def examples():
    with open(README, encoding="utf-8") as handle:
        lines = handle.read().splitlines()
    found, at = [], 0
    while at < len(lines):
        fence = re.fullmatch(r"( *)```python", lines[at])
        if fence:
            end = lines.index(fence.group(1) + "```", at)
            found.append(("python", "\n".join(line[len(fence.group(1)) :] for line in lines[at + 1 : end])))
            at = end
        elif lines[at].startswith("    $ "):
            output = []
            while at + 1 < len(lines) and lines[at + 1].startswith("    ") and not lines[at + 1].startswith("    $ "):
                output.append(lines[at + 1][4:])
                at += 1
            found.append(("shell", lines[at - len(output)][6:], output))
        at += 1
    return found


def claimed(comment):
    for text in (comment, comment.split(": ", 1)[0]):
        try:
            return True, ast.literal_eval(text)
        except (ValueError, SyntaxError):
            pass
    return False, None


def run_python(code, namespace):
    tree = ast.parse(code)
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
            value = eval(compile(ast.Expression(statement.value), README, "eval"), namespace)
            assert repr(value) == repr(expected), ast.get_source_segment(code, statement)
            checked += 1
        else:
            exec(compile(ast.Module([statement], []), README, "exec"), namespace)
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


def test_readme_examples_do_what_readme_says(tmp_path, monkeypatch):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "quarn").write_text(f'#!/bin/sh\nexec {" ".join(map(shlex.quote, quarn_command()))} "$@"\n')
    (bin_dir / "quarn").chmod(0o755)
    env = child_env()
    env["PATH"] = f"{bin_dir}{os.pathsep}{env['PATH']}"
    monkeypatch.chdir(tmp_path)
    namespace, claims, commands = {}, 0, 0
    for example in examples():
        if example[0] == "python":
            if missing_imports(example[1]):
                continue  # the interop extra's libraries: tests/test_interop.py runs these with them
            claims += run_python(example[1], namespace)
            continue
        _, command, output = example
        result = subprocess.run(
            ["sh", "-c", command], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env, timeout=120
        )
        assert result.stdout.decode().splitlines() == output, command
        commands += 1
    assert claims >= 6 and commands >= 8  # the extraction found README's examples


def test_help_examples_are_among_readme_examples():
    help_text = subprocess.run([*quarn_command(), "--help"], capture_output=True, env=child_env(), check=True)
    listed = help_text.stdout.decode().split("\nexamples", 1)[1].split("\n\n", 1)[0].splitlines()[1:]
    shown = {example[1] for example in examples() if example[0] == "shell"}
    assert len(listed) >= 5
    assert [line for line in listed if line.strip() not in shown] == []

