"""One declaration per function (ufuncs/functions.toml): the files written
from it are what tools/generate_functions.py writes today, the built module
is what it declares, and the generator refuses a declaration it cannot
write from."""

import inspect
import re

import numpy as np
import pytest

import klimora.Strahlkit as S
import klimora.ufuncs as U
from declared import DECLARED, FUNCTIONS, ROOT, generator as G
from inputs import PARAMETERS
from klimora import radiation

OUTPUTS = G.outputs()


@pytest.mark.parametrize("path", sorted(OUTPUTS), ids=str)
def test_each_generated_file_is_what_the_declaration_gives(path):
    checked_in = (ROOT / path).read_text(encoding="utf-8")
    assert checked_in == OUTPUTS[path], f"{path} is out of date: run make generate"


@pytest.mark.parametrize("f", FUNCTIONS, ids=lambda f: f["name"])
def test_each_ufunc_docstring_gives_the_declared_parameters_and_units(f):
    doc = getattr(U, f["name"]).__doc__
    parameters = re.findall(r"^(\w+) : array_like\n.*?\[([^\]]+)\]$", doc, re.M | re.S)
    assert parameters == [(p["name"], p["unit"]) for p in G.inputs(f)]
    returns = re.search(r"^Returns\n-+\n(\w+) : .*?\[([^\]]+)\]$", doc, re.M | re.S)
    assert returns.groups() == (f["returns"]["name"], f["returns"]["unit"])
    words = " ".join(doc.split())
    for text in [p["description"] for p in G.inputs(f)] + f.get("references", []):
        assert G.one_line(text) in words


TYPE_CODES = {"float32": "f", "float64": "d"}


@pytest.mark.parametrize("f", FUNCTIONS, ids=lambda f: f["name"])
def test_each_ufunc_has_the_declared_inputs_and_loops(f):
    ufunc = getattr(U, f["name"])
    assert ufunc.nin == len(G.inputs(f)) and ufunc.nout == 1
    assert ufunc.types == [TYPE_CODES[t] * ufunc.nin + "->" + TYPE_CODES[t] for t in f["loops"]]
    if f.get("english", f["name"]) != f["name"]:
        assert getattr(U, f["english"]) is ufunc


@pytest.mark.parametrize("f", FUNCTIONS, ids=lambda f: f["name"])
def test_the_strahlkit_functions_take_the_declared_parameters(f):
    if f["kind"] != "strahlkit":
        assert not hasattr(S, f["name"])
        return
    signature = inspect.signature(getattr(S, f["name"])).parameters.values()
    assert [p.name for p in signature] == [p["name"] for p in f["parameter"]]
    # A call by keyword is refused for want of keywords, or not at all.
    try:
        getattr(S, f["name"])(**{p["name"]: 1.0 for p in f["parameter"]})
        refused = False
    except TypeError as error:
        refused = "keyword" in str(error)
    except Exception:
        refused = False
    assert refused == bool(f["strahlkit"].get("positional_only"))


RESULT_TYPES = {"float": float, "numpy.float64": np.float64}


@pytest.mark.parametrize("f", [f for f in FUNCTIONS if f["kind"] == "strahlkit"],
                         ids=lambda f: f["name"])
def test_the_strahlkit_functions_give_what_their_stubs_declare(f):
    """A scalar call gives the declared type (a NumPy float64 is a float
    too); an array call works element
    by element where the declaration says so, else is refused."""
    function, declared = getattr(S, f["name"]), f["strahlkit"]
    middle = [0.3 if low is None else (low + high) / 2 for (low, high), _ in PARAMETERS[f["name"]]]
    assert isinstance(function(*middle), RESULT_TYPES[declared["result"]])
    arrays = [np.array([x, x]) for x in middle]
    with np.errstate(all="ignore"):
        try:
            works = isinstance(function(*arrays), np.ndarray)
        except (TypeError, ValueError):
            works = False
    assert works == bool(declared.get("arrays"))


def test_ufuncs_are_added_in_the_declared_order():
    assert U.__all__ == G.registered(DECLARED)
    assert radiation.__all__ == DECLARED["english_order"]


def edited(text, old, new):
    assert old in text
    return text.replace(old, new, 1)


# A mistake in the declaration, and the words the generator's refusal has.
MISTAKES = [
    (lambda t: edited(t, 'name = "Azimutwinkel"', 'name = "Zenitwinkel"'), "declared twice"),
    (lambda t: edited(t, '"equation_of_time"]', '"equation_of_time", "wbgt"]'), "english_order"),
    (lambda t: edited(t, '"solar_time", "solar_time_round_trip"', '"solar_time_round_trip"'),
     "english_order"),
    (lambda t: edited(t, 'name = "Sonnenzeit"\nkind = "strahlkit"',
                      'name = "Sonnenzeit"\nkind = "body"'), "go together"),
]


@pytest.mark.parametrize("mistake, words", MISTAKES)
def test_a_wrong_declaration_is_refused_in_one_line(tmp_path, mistake, words):
    (tmp_path / "ufuncs").mkdir()
    text = (ROOT / G.DECLARATION).read_text(encoding="utf-8")
    (tmp_path / G.DECLARATION).write_text(mistake(text), encoding="utf-8")
    with pytest.raises(ValueError, match=words) as raised:
        G.load(tmp_path)
    assert "\n" not in str(raised.value)


@pytest.mark.parametrize("path", ["src/klimora/radiation.py", "docs/glossary.md"])
def test_a_file_without_its_markers_is_refused(tmp_path, path):
    text = (ROOT / path).read_text(encoding="utf-8")
    name = "glossary" if path.endswith(".md") else "python"
    with pytest.raises(ValueError, match="markers"):
        G.splice(text.replace(G.MARKERS[name][1], ""), name, "", path)


def test_the_check_names_a_stale_file_and_fails(tmp_path, monkeypatch, capsys):
    for path in OUTPUTS:
        (tmp_path / path).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / path).write_text((ROOT / path).read_text(encoding="utf-8"), encoding="utf-8")
    (tmp_path / G.DECLARATION).write_text((ROOT / G.DECLARATION).read_text(encoding="utf-8"),
                                          encoding="utf-8")
    stub = tmp_path / "src/klimora/ufuncs.pyi"
    stub.write_text(stub.read_text(encoding="utf-8").replace("-> h\n", "-> s\n", 1),
                    encoding="utf-8")
    monkeypatch.setattr(G, "ROOT", tmp_path)
    assert G.main(["--check"]) == 1
    assert "src/klimora/ufuncs.pyi" in capsys.readouterr().out
    assert G.main([]) == 0 and G.main(["--check"]) == 0
