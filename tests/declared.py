"""The functions' declaration, ufuncs/functions.toml, and its generator,
tools/generate_functions.py, for the tests."""

import importlib.util
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def load_generator():
    spec = importlib.util.spec_from_file_location(
        "generate_functions", ROOT / "tools" / "generate_functions.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


generator = load_generator()
DECLARED = generator.load()
FUNCTIONS = DECLARED["function"]
#: German (ufunc) name -> English name, for the ufuncs that have a second name.
ENGLISH = {f["name"]: f["english"] for f in generator.second_names(DECLARED)}
#: klimora.radiation's function -> the name of the ufunc it calls.
UFUNC = {e: generator.by_english(DECLARED)[e]["name"] for e in DECLARED["english_order"]}
