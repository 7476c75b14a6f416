"""The reproductions of faults reported from outside, kept beside the checkout in ../shared/repro: each
script exits 0 and prints no FAULT line once its fault is mended."""

import subprocess
import sys

import pytest

import helpers

REPRO = helpers.SOURCE_ROOT.parent / "shared" / "repro"
SCRIPTS = sorted(path.name for path in REPRO.glob("*.py")) if REPRO.is_dir() else []
SLOW = {"diff_equality_aborts_on_oom.py"}  # eighty child processes under memory caps: about a minute


@pytest.mark.skipif(not SCRIPTS, reason="no reproductions beside this checkout")
@pytest.mark.parametrize("script", SCRIPTS)
def test_reproduction_shows_no_fault(script):
    if script in SLOW and not helpers.FULL:
        pytest.skip("takes about a minute: runs with --full")
    run = subprocess.run([sys.executable, str(REPRO / script)], capture_output=True, text=True, timeout=900)
    assert run.returncode == 0 and "FAULT" not in run.stdout, run.stdout[-3000:] + run.stderr[-3000:]
