import os
import subprocess
import sys

EXAMPLES = os.path.join(os.path.dirname(__file__), os.pardir, "examples")


def test_quickstart_runs():
    result = subprocess.run(
        [sys.executable, os.path.join(EXAMPLES, "quickstart.py")], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert "Update operator found Increment" in lines
    assert lines.index("Update operator found Increment") > lines.index(
        "update('users', {'age': {'$inc': 1}}) prints its trace lines:"
    )
    assert "Invalid collection name '../outside'" in result.stdout
