import pathlib
import sys

# The plain-Python model of the module's rules, shared with the benchmarks.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "model"))
