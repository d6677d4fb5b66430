"""The type stubs: checked against the module by mypy's stubtest, and used by mypy
from where they are installed (beside the module, as the package quarn-stubs)."""
import ast
import os
import re
import shutil
import subprocess
import sys

import pytest

import quarn
from conftest import child_env, installed_files

HERE = os.path.dirname(os.path.abspath(__file__))
MODULE_DIR = os.path.dirname(quarn.__file__)
STUB = os.path.join(MODULE_DIR, "quarn-stubs", "__init__.pyi")


@pytest.fixture(scope="module")
def stubs():
    files = installed_files()
    if files is not None:  # an installed quarn must bring its stubs
        assert {"quarn.pyi", "quarn-stubs/__init__.pyi"} <= files
    elif not os.path.isfile(STUB):
        pytest.skip(f"no quarn-stubs beside {quarn.__file__}: neither installed nor built by CMake")


@pytest.fixture(scope="module")
def mypy_ready(stubs):
    if sys.implementation.name != "cpython":
        pytest.skip("mypy is in the test extras on CPython only")
    pytest.importorskip("mypy")


def run_mypy(args, cwd):
    # From a scratch directory, so that only the installed stubs can be found.
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=str(cwd), env=child_env(), capture_output=True, text=True, timeout=300
    )


def test_stubs_beside_the_module_are_one_file(stubs):
    with open(STUB, "rb") as package_stub, open(os.path.join(MODULE_DIR, "quarn.pyi"), "rb") as module_stub:
        assert package_stub.read() == module_stub.read()


def test_stubtest_finds_no_difference(mypy_ready, tmp_path):
    result = run_mypy(["mypy.stubtest", "quarn"], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found in 1 module" in result.stdout


def test_mypy_uses_the_installed_stubs(mypy_ready, tmp_path):
    shutil.copy(os.path.join(HERE, "typed_usage.py"), tmp_path / "typed_usage.py")
    result = run_mypy(["mypy", "--strict", "--no-error-summary", "typed_usage.py"], tmp_path)
    reported = set()
    for line in result.stdout.splitlines():
        if re.match(r"typed_usage\.py:\d+: note: ", line):
            continue  # notes accompany errors, such as the variants of an overload
        match = re.match(r"typed_usage\.py:(\d+): error: .*\[([a-z-]+)\]$", line)
        assert match, line
        reported.add((int(match.group(1)), match.group(2)))
    with open(tmp_path / "typed_usage.py") as handle:
        marks = [(number, re.search(r"  # E: ([a-z-]+)$", line)) for number, line in enumerate(handle, start=1)]
        expected = {(number, mark.group(1)) for number, mark in marks if mark}
    assert reported == expected, result.stdout


def test_every_method_and_the_class_are_documented(stubs):
    with open(STUB) as handle:
        tree = ast.parse(handle.read())
    (cls,) = [node for node in tree.body if isinstance(node, ast.ClassDef)]
    documented = {cls.name: ast.get_docstring(cls)}
    for node in cls.body:
        if isinstance(node, ast.FunctionDef) and not node.name.startswith("__"):
            documented[node.name] = documented.get(node.name) or ast.get_docstring(node)
    public = sorted(name for name in dir(quarn.Quarn) if not name.startswith("_"))
    assert sorted(name for name in documented if name != "Quarn") == public
    for name, text in documented.items():
        assert text and "Example: ``" in text, name
        assert "Raises:" in text or name == "clear_cache", name
