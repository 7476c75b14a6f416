"""The README's python blocks and the scripts in examples/ run, so what they claim holds."""

import re
import subprocess
import sys

import pytest

from helpers import SOURCE_ROOT

README = (SOURCE_ROOT / "README.md").read_text()


def readme_blocks():
    """(section heading, first line number, code) of each python block, in order."""
    blocks = []
    for match in re.finditer(r"^```python\n(.*?)^```$", README, re.M | re.S):
        headings = re.findall(r"^## (.+)$", README[: match.start()], re.M)
        line = README.count("\n", 0, match.start(1)) + 1
        blocks.append((headings[-1] if headings else "top", line, match.group(1)))
    return blocks


def test_the_readme_blocks_are_found():
    # A changed fence would leave the test below with nothing to run, and passing.
    assert len(readme_blocks()) == README.count("```python")


@pytest.mark.parametrize("section, line, code", readme_blocks(), ids=[f"{s}:{n}" for s, n, _ in readme_blocks()])
def test_readme_block_runs(section, line, code):
    # Each block stands alone; the padding keeps the README's line numbers in a traceback.
    exec(compile("\n" * (line - 1) + code, "README.md", "exec"), {"__name__": "readme"})


@pytest.mark.parametrize("script", sorted(p.name for p in (SOURCE_ROOT / "examples").glob("*.py")))
def test_example_runs(script):
    out = subprocess.run([sys.executable, str(SOURCE_ROOT / "examples" / script)], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
