"""The README's python blocks and the scripts in examples/ run, so what they claim holds."""

import subprocess
import sys

import pytest

from helpers import SOURCE_ROOT, readme_blocks


def test_the_readme_blocks_are_found():
    # A changed fence would leave the test below with nothing to run, and passing.
    assert len(readme_blocks()) == (SOURCE_ROOT / "README.md").read_text().count("```python")


@pytest.mark.parametrize("section, line, code", readme_blocks(), ids=[f"{s}:{n}" for s, n, _ in readme_blocks()])
def test_readme_block_runs(section, line, code):
    # Each block stands alone; the padding keeps the README's line numbers in a traceback.
    exec(compile("\n" * (line - 1) + code, "README.md", "exec"), {"__name__": "readme"})


@pytest.mark.parametrize("script", sorted(p.name for p in (SOURCE_ROOT / "examples").glob("*.py")))
def test_example_runs(script):
    out = subprocess.run([sys.executable, str(SOURCE_ROOT / "examples" / script)], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
