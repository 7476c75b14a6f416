import pathlib
import sys

import helpers

# The plain-Python model of the module's rules, shared with the benchmarks.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "model"))


def pytest_addoption(parser):
    parser.addoption(
        "--full",
        action="store_true",
        help="run the expensive cases at full size: a million nesting levels, 400 model examples (CI does)",
    )


def pytest_configure(config):
    helpers.FULL = config.getoption("--full")  # before the test modules are imported
