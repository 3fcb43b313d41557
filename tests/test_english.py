"""The English names: klimora.ufuncs' second names for its ufuncs,
klimora.radiation's keyword functions (the ufunc's result, bit for bit),
and docs/glossary.md against both and against the ufuncs' docstrings."""

import inspect
import re
import zlib
from pathlib import Path

import numpy as np
import pytest

import klimora.Strahlkit as S
import klimora.ufuncs as U
from declared import ENGLISH, UFUNC   # the names' one declaration, ufuncs/functions.toml
from inputs import DAY, PARAMETERS
from klimora import radiation

GLOSSARY = Path(__file__).resolve().parent.parent / "docs" / "glossary.md"


def test_english_names_are_the_same_ufuncs():
    assert U.__all__ == [*ENGLISH, "equation_of_time", "solar_time", "wbgt", "globe_temperature",
                         *ENGLISH.values(), "utci", "utci_category", "pet",
                         "pet_person"]
    for german, english in ENGLISH.items():
        assert getattr(U, english) is getattr(U, german)
        assert not hasattr(S, english)
    assert radiation.__all__ == list(UFUNC)


def same_bits(got, want):
    got, want = np.asarray(got), np.asarray(want)
    return got.dtype == want.dtype == np.float64 and got.shape == want.shape and \
        bool((got.view(np.uint64) == want.view(np.uint64)).all())


def random_columns(german, rng, n=400):
    """n inputs per ufunc input from the usual ranges, a tenth exact
    boundary values and a tenth NaN."""
    # solar_time takes what Sonnenzeit takes: hours, zone, longitude, day.
    specs = [DAY] if german == "equation_of_time" else \
        [column for column in PARAMETERS["Sonnenzeit" if german == "solar_time" else german]
         if None not in column[1]]   # MittlStrTemp's unused two
    columns = []
    for (low, high), exact in specs:
        column = rng.uniform(low, high, n)
        pick = rng.random(n) < 0.1
        column[pick] = rng.choice(np.array(exact, dtype=float), pick.sum())
        column[rng.random(n) < 0.1] = np.nan
        columns.append(column)
    return columns


@pytest.mark.parametrize("english", UFUNC)
def test_keywords_in_any_order_give_the_ufunc_bit_for_bit(english):
    function, ufunc = getattr(radiation, english), getattr(U, UFUNC[english])
    keywords = list(inspect.signature(function).parameters)
    rng = np.random.default_rng(zlib.crc32(english.encode()))
    columns = random_columns(UFUNC[english], rng)
    assert len(keywords) == ufunc.nin == len(columns)
    given = dict(zip(keywords, columns))
    with np.errstate(all="ignore"):
        want = ufunc(*columns)
        assert np.isnan(want).any() and not np.isnan(want).all()
        shuffled = [keywords[i] for i in rng.permutation(len(keywords))]
        for order in (keywords, keywords[::-1], shuffled):
            assert same_bits(function(**{k: given[k] for k in order}), want), order
        assert same_bits(function(*columns), want)
        for i in (0, 1, 2):   # scalars: NumPy float64 scalars as the ufunc gives them
            got = function(**{k: float(c[i]) for k, c in given.items()})
            assert type(got) is np.float64 and same_bits(got, want[i])
    with pytest.raises(TypeError):
        function(**given, bogus=1.0)
    with pytest.raises(TypeError):
        function(**{(k + "s" if k == keywords[0] else k): v for k, v in given.items()})


@pytest.mark.parametrize("english", UFUNC)
def test_xarray_and_dask_pass_through(english):
    """Each argument in turn an xarray or dask array: NumPy's dispatch
    gives that type back, with the ufunc's bits."""
    xr = pytest.importorskip("xarray")
    da = pytest.importorskip("dask.array")
    function, ufunc = getattr(radiation, english), getattr(U, UFUNC[english])
    columns = random_columns(UFUNC[english], np.random.default_rng(7), n=50)
    with np.errstate(all="ignore"):
        want = ufunc(*columns)
        for i in range(len(columns)):
            wrapped = columns.copy()
            wrapped[i] = xr.DataArray(columns[i], dims="t")
            got = function(*wrapped)
            assert isinstance(got, xr.DataArray) and same_bits(got.values, want), i
            wrapped[i] = da.from_array(columns[i], chunks=20)
            got = function(*wrapped)
            assert isinstance(got, da.Array) and same_bits(got.compute(), want), i


def documented(ufunc):
    """A ufunc docstring's unit of the result and its (parameter, unit)
    pairs, from its numpydoc sections ("name : array_like" and a meaning
    ending in "[unit]")."""
    doc = ufunc.__doc__.split("\n\n", 1)[1]   # NumPy's signature first
    parameters, unit = docstring_units(doc)
    return unit, parameters


def code(cell):
    """`name` -> name; "" stays ""; a dash or words (no such name) -> None."""
    match = re.fullmatch(r"`(\w+)`", cell)
    return match[1] if match else ("" if not cell else None)


def unit_of(cell):
    """"text [unit]" -> (text, unit); text without a unit -> (text, "—")."""
    match = re.fullmatch(r"(.*) \[([^\]]+)\]", cell)
    return (match[1], match[2]) if match else (cell, "—")


def glossary():
    """docs/glossary.md's table: one entry per function, with its rows'
    (German parameter, English keyword, unit)."""
    rows = [[cell.strip() for cell in line.strip().strip("|").split("|")]
            for line in GLOSSARY.read_text(encoding="utf-8").splitlines() if line.startswith("|")]
    header, _, *rows = rows
    assert header == ["English name", "Strahlkit and ufunc", "Gives [unit]", "German parameter",
                      "English keyword", "Meaning [unit]"]
    entries = []
    for english, both, gives, german, keyword, meaning in rows:
        if english:
            # "`name`", or "`name` (ufunc only; ...)" for a ufunc of no Strahlkit function.
            ufunc = re.match(r"`(\w+)`", both)[1]
            strahlkit = None if "(ufunc only;" in both else code(both)
            gives, unit = unit_of(gives)
            entries.append({"english": code(english), "strahlkit": strahlkit, "ufunc": ufunc,
                            "unit": unit, "parameters": []})
            assert gives and unit != "—"
        else:
            assert not both and not gives
        meaning, parameter_unit = unit_of(meaning)
        assert meaning and code(german)
        entries[-1]["parameters"].append((code(german), code(keyword), parameter_unit))
    return entries


def docstring_units(doc):
    """The [unit] of each array_like parameter, in order, and of the result
    in a numpydoc docstring."""
    found = re.findall(r"^(\w+) : array_like\n.*?\[([^\]]+)\]$", doc, re.M | re.S)
    returns = re.search(r"^Returns\n-+\n\w+ : .*?\[([^\]]+)\]$", doc, re.M | re.S)[1]
    return found, returns


def test_glossary_lists_every_function_with_the_ufunc_units():
    entries = glossary()
    assert [e["english"] for e in entries] == radiation.__all__
    for e in entries:
        ufunc = getattr(U, e["ufunc"])
        assert e["ufunc"] == UFUNC[e["english"]] and getattr(U, e["english"]) is ufunc
        assert e["strahlkit"] == (e["ufunc"] if hasattr(S, e["ufunc"]) else None)
        german = [g for g, _, _ in e["parameters"]]
        if e["strahlkit"]:
            assert german == list(inspect.signature(getattr(S, e["strahlkit"])).parameters)
        inputs = [(g, k, unit) for g, k, unit in e["parameters"] if k is not None]
        unused = [(g, unit) for g, k, unit in e["parameters"] if k is None]
        assert all(unit == "—" for _, unit in unused) and len(inputs) == ufunc.nin
        result_unit, parameters = documented(ufunc)
        assert e["unit"] == result_unit, e["english"]
        assert [(g, unit) for g, _, unit in inputs] == parameters, e["english"]
        # klimora.radiation: the keywords in this order, the same units.
        function = getattr(radiation, e["english"])
        keywords = [k for _, k, _ in inputs]
        assert list(inspect.signature(function).parameters) == keywords
        found, returns = docstring_units(inspect.getdoc(function))
        assert found == [(k, unit) for _, k, unit in inputs] and returns == e["unit"], e["english"]
        assert f"klimora.ufuncs.{e['ufunc']}" in function.__doc__
