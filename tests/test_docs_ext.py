"""docs/_ext/klimora_docs.py's break opportunities in tables' code: between
the parts of a name, never within a number or at a name's end."""

import importlib.util
import runpy
from pathlib import Path

import pytest

EXT = Path(__file__).resolve().parent.parent / "docs" / "_ext" / "klimora_docs.py"


@pytest.fixture(scope="module")
def breaks():
    # The documentation's own tools, which make test does not install: not
    # an extra that --require-extras asks for.
    if importlib.util.find_spec("sphinx") is None:
        pytest.skip("needs the documentation's tools: pip install -r requirements-docs.txt")
    return runpy.run_path(str(EXT))["_NAME_BREAKS"]


@pytest.mark.parametrize("text, parts", [
    ("solar_zenith_angle", ["solar_", "zenith_", "angle"]),
    ("MaxDirekteStrahlung", ["Max", "Direkte", "Strahlung"]),
    ("midc_raw_20181018.txt", ["midc_", "raw_", "20181018.", "txt"]),
    ("klimora.ufuncs", ["klimora.", "ufuncs"]),
    ("-0.9", ["-0.9"]),
    ("2025-06-21T12:00+02:00", ["2025-06-21T12:00+02:00"]),
    ("dayofyear", ["dayofyear"]),
    ("a_", ["a_"]),
    ("RH", ["RH"]),
])
def test_names_break_between_their_parts(breaks, text, parts):
    assert breaks.split(text) == parts
