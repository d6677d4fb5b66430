"""The leak check runs in a child interpreter of its own, so that the suite's
other objects do not blur its measures."""

import os
import subprocess
import sys

LEAKCHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "leakcheck.py")


def test_no_method_leaks_references_or_memory():
    child = subprocess.run([sys.executable, LEAKCHECK], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           text=True, timeout=600)
    print(child.stdout)
    assert child.returncode == 0, child.stdout
    assert "grew by" in child.stdout
