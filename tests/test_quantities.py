"""The registry of quantities: the places not made from it agree with it,
its units read as CF units, and its one check says where the bad values
are."""

import re
from pathlib import Path

import numpy as np
import pytest

from klimora import quantities as Q
from klimora import ufuncs as U
from klimora.chain import Site, Weather, chain

ROOT = Path(__file__).resolve().parent.parent

#: The column each function's value becomes in the chain.
COLUMN_OF = {"Sonnenzeit": "solar_time", "Zenitwinkel": "zenith", "Azimutwinkel": "azimuth",
             "LinkeTruebung": "linke", "RelOptLuftmasse": "air_mass",
             "MaxDirekteStrahlung": "direct_max", "MaxGlobalstrahlung": "global_max",
             "DirStrMBew": "direct", "AtmosGegenstr": "counter", "OberflTemp": "surface_temp",
             "MittlStrTemp": "mrt"}


def spelled(unit: str) -> str:
    """A unit as the docstrings and stubs write it, in the registry's symbols."""
    return {"deg C": "degC"}.get(unit, unit)


@pytest.mark.parametrize("function, column", COLUMN_OF.items())
def test_ufunc_docstrings_give_the_registry_unit(function, column):
    returns = re.search(r"Returns\n-------\n\S+ : [^\n]*\n((?:    [^\n]*\n)+)",
                        getattr(U, function).__doc__)[1]
    unit = re.findall(r"\[([^\]]+)\]", returns)[-1]
    assert spelled(unit) == Q.COLUMNS[column].symbol


def test_ufunc_stub_gives_the_registry_units():
    stub = (ROOT / "src/klimora/ufuncs.pyi").read_text()
    units = {name: unit for unit, name in re.findall(r"# \(.*\) -> (.+)\n(\w+): Final", stub)}
    for function, column in COLUMN_OF.items():
        assert spelled(units[function]) == Q.COLUMNS[column].symbol, function


def test_units_read_as_cf_units_and_match_their_symbols():
    """The UDUNITS spelling is what pint (with cf-xarray's CF spellings)
    reads, and it is the same unit as the symbol the tables show."""
    pytest.importorskip("pint")
    pytest.importorskip("cf_xarray")
    from klimora.grid.cf import registry

    units = registry()
    symbols = {"W/m2": "W m-2", "%": "percent", "oktas": "okta", "m/s": "m s-1",
               "deg": "degree", "h": "hour"}
    for q in (*Q.WEATHER.values(), *Q.SITE.values(), *Q.COLUMNS.values(), Q.UTCI):
        cf = units.Unit(q.units)
        shown = units.Unit(symbols.get(q.symbol, q.symbol))
        if q.units in ("degrees_north", "degrees_east"):
            shown = units.Unit("degree")
        assert cf == shown or units.Quantity(1, cf).to(shown).magnitude == pytest.approx(1), q


def test_every_declaration_is_whole():
    for q in (*Q.WEATHER.values(), *Q.SITE.values()):
        assert q.valid_min < q.valid_max, q.name
        assert q.default is not None or q.worked_out, q.name
        if q.default is not None:
            assert q.valid_min <= q.default <= q.valid_max, q.name


@pytest.mark.parametrize("value, missing, position, count, shown", [
    (9.0, True, (), 1, "not 9"),
    ([5.0, 2.0, 9.0, -1.0, 7.0], True, (2,), 2, "not 9 (2 values)"),
    ([5.0, np.nan, 2.0], False, (1,), 1, "not nan"),
    ([5.0, np.inf], True, (1,), 1, "not inf"),
    ([[1.0, 2.0], [3.0, 400.0]], True, (1, 1), 1, "not 400"),
    ([[1.0, -2.0], [300.0, 4.0]], True, (0, 1), 2, "not -2 (2 values)"),
])
def test_check_says_where_and_how_many(value, missing, position, count, shown):
    with pytest.raises(Q.OutOfRange) as caught:
        Q.check("cloud", value, missing=missing)
    e = caught.value
    assert (e.position, e.count, e.name) == (position, count, "cloud")
    assert str(e) == f"cloud must be between 0 and 8 oktas, {shown}"


def test_check_lets_missing_values_pass_and_names_the_option():
    Q.check("cloud", [np.nan, 5.0])
    with pytest.raises(Q.OutOfRange, match=r"^--cloud must be between 0 and 8 oktas, not nan$"):
        Q.check("cloud", np.nan, label="--cloud", missing=False)


def test_the_chain_refuses_at_the_row_of_the_first_bad_value():
    import pandas as pd

    times = pd.date_range("2025-06-21", periods=6, freq="h")
    frame = pd.DataFrame({"air_temp": [20.0, 21.0, 22.0, 23.0, 24.0, 25.0],
                          "vapour_pressure": [10.0, 10.0, 10.0, 10.0, 80.0, 90.0]}, index=times)
    with pytest.raises(Q.OutOfRange, match="above saturation") as caught:
        chain(frame, site=Site(latitude=48.14, longitude=11.58, height=520.0, zone=1.0))
    assert (caught.value.row, caught.value.count) == (4, 2)
    frame["wind"] = [1.0, 2.0, -3.0, 1.0, 1.0, 1.0]
    with pytest.raises(Q.OutOfRange, match="wind must be between") as caught:
        chain(frame, site=Site(latitude=48.14, longitude=11.58, height=520.0, zone=1.0))
    assert caught.value.row == 2


def test_weather_is_one_value_with_the_registry_defaults():
    w = Weather(cloud=4.0)
    assert w.cloud == 4.0 and w.air_temp == Q.WEATHER["air_temp"].default
    assert w.vapour_pressure is None
    assert list(w.asdict()) == list(Q.WEATHER)
    assert w == Weather(cloud=4.0) and hash(w) == hash(Weather(cloud=4.0))
    assert w != Weather(cloud=5.0)
    with pytest.raises(AttributeError):
        w.cloud = 3.0
    with pytest.raises(TypeError, match="'clouds'"):
        Weather(clouds=4.0)
    with pytest.raises(Q.OutOfRange, match="cloud must be between 0 and 8 oktas, not 9"):
        Weather(cloud=9.0)


@pytest.mark.parametrize("name", list(Q.WEATHER))
def test_every_weather_input_reaches_every_entry(name):
    """A weather quantity declared in the registry is an option of the day
    (if it is one), a column of --input and a variable of a grid, with
    nothing else to edit."""
    from klimora.cli.day_command import build_parser
    from klimora.iotools.weather_csv import COLUMNS

    options = {s for a in build_parser()._actions for s in a.option_strings}
    assert (("--" + name.replace("_", "-")) in options) == Q.WEATHER[name].day_option
    assert name in COLUMNS
    pytest.importorskip("cf_xarray")
    from klimora.grid.cf import BY_NAME, FIELDS

    assert name in BY_NAME or (Q.WEATHER[name].standard_name, name) in \
        {(sn, chain_name) for sn, (chain_name, _) in FIELDS.items()}
