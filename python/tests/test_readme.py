"""Every Python block of the README runs as pasted, as a script of its own."""

import os
import re
import subprocess
import sys

import pytest

README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")


def _blocks():
    with open(README) as f:
        return re.findall(r"^```python\n(.*?)^```", f.read(), re.M | re.S)


@pytest.mark.parametrize("number", range(len(_blocks())))
def test_readme_block_runs_as_a_script(number, tmp_path):
    script = tmp_path / f"block{number}.py"
    script.write_text(_blocks()[number])
    done = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True,
                          text=True, timeout=240)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.strip()            # each block prints what it did
