import pathlib
import sys

# The shared test helpers and the plain-Python model, as for tests/python.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "python"))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "model"))
