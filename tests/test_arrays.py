"""The element-wise functions on labelled (xarray) and chunked (dask) arrays,
through NumPy's own dispatch, against the NumPy result element by element; and
the scalar-only functions applied element-wise."""

import numpy as np
import pytest

import klimora.Strahlkit as S

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
xr = pytest.importorskip("xarray")

LAT = np.linspace(-60.0, 70.0, 14)
LON = np.linspace(-10.0, 30.0, 5)
HOUR = np.arange(0.0, 24.0, 1.5)
SHAPE = (LAT.size, LON.size, HOUR.size)
COORDS = {"lat": LAT, "lon": LON, "hour": HOUR}
DIMS = ("lat", "lon", "hour")


def field(low, high, seed):
    """A deterministic field of values from low to high over the grid."""
    return np.random.default_rng(seed).uniform(low, high, SHAPE)


LAT_FIELD = np.broadcast_to(LAT[:, None, None], SHAPE).copy()
HOUR_FIELD = np.broadcast_to(HOUR[None, None, :], SHAPE).copy()

# name, positional arguments (arrays over the grid, or scalars)
CASES = [
    ("Zenitwinkel", (HOUR_FIELD, LAT_FIELD, 172)),
    ("Zenitwinkel", (HOUR_FIELD, LAT_FIELD, field(1, 365, 1).round())),
    ("DirStrMBew", (field(0, 1000, 2), field(0, 8, 3))),
    ("DirStrMBew", (field(0, 1000, 4), 3)),
    ("AtmosGegenstr", (field(-30, 40, 5), field(1, 30, 6), field(0, 8, 7))),
    ("AtmosGegenstr", (field(-30, 40, 8), 12.0, 8)),
    ("MittlStrTemp", (field(0, 90, 9), field(100, 200, 10), field(150, 250, 11), 0.0,
                      field(0, 300, 12), field(0, 900, 13), None, 0.3, None)),
    ("MittlStrTemp", (field(0, 120, 14), 170.0, field(150, 250, 15), field(0, 50, 16),
                      100.0, 500.0, None, field(0.1, 0.5, 17), None)),
]
IDS = [f"{name}-{i}" for i, (name, _) in enumerate(CASES)]


def numpy_result(name, args):
    with np.errstate(invalid="ignore"):
        return getattr(S, name)(*args)


def as_xarray(value):
    if isinstance(value, np.ndarray):
        return xr.DataArray(value, coords=COORDS, dims=DIMS)
    return value


def as_dask(value):
    if isinstance(value, np.ndarray):
        return da.from_array(value, chunks=(5, 2, 8))
    return value


@pytest.mark.parametrize("name, args", CASES, ids=IDS)
def test_numpy_result_is_elementwise(name, args):
    result = numpy_result(name, args)
    assert isinstance(result, np.ndarray) and result.shape == SHAPE
    index = (3, 1, 7)
    scalars = [a[index] if isinstance(a, np.ndarray) else a for a in args]
    assert np.array_equal(result[index], numpy_result(name, scalars), equal_nan=True)


@pytest.mark.parametrize("name, args", CASES, ids=IDS)
def test_xarray_keeps_coordinates_and_values(name, args):
    expected = numpy_result(name, args)
    with np.errstate(invalid="ignore"):
        result = getattr(S, name)(*map(as_xarray, args))
    assert isinstance(result, xr.DataArray)
    assert result.dims == DIMS
    for dim, values in COORDS.items():
        assert np.array_equal(result[dim].values, values)
    assert result.dtype == expected.dtype
    np.testing.assert_array_equal(result.values, expected)


@pytest.mark.parametrize("name, args", CASES, ids=IDS)
def test_dask_builds_a_chunked_graph_and_computes_the_same(name, args):
    expected = numpy_result(name, args)
    result = getattr(S, name)(*map(as_dask, args))
    assert isinstance(result, da.Array)
    assert result.numblocks == (3, 3, 2) and result.shape == SHAPE
    with np.errstate(invalid="ignore"):
        computed = result.compute(scheduler="threads")
    assert isinstance(computed, np.ndarray) and computed.dtype == expected.dtype
    np.testing.assert_array_equal(computed, expected)


def test_dask_inside_xarray(tmp_path):
    zenith = xr.DataArray(field(0, 90, 20), coords=COORDS, dims=DIMS).chunk(
        {"lat": 7, "lon": 5, "hour": 4})
    beam = xr.DataArray(field(0, 900, 21), coords=COORDS, dims=DIMS).chunk(
        {"lat": 7, "lon": 5, "hour": 4})
    result = S.MittlStrTemp(zenith, 170.0, 200.0, 0.0, 100.0, beam, None, 0.3, None)
    assert isinstance(result.data, da.Array) and result.chunks == ((7, 7), (5,), (4, 4, 4, 4))
    with dask.config.set(scheduler="threads"):
        computed = result.compute()
    expected = S.MittlStrTemp(zenith.values, 170.0, 200.0, 0.0, 100.0, beam.values, None, 0.3,
                              None)
    np.testing.assert_array_equal(computed.values, expected)
    assert np.array_equal(computed["lat"].values, LAT)


# The functions that test comparisons for truth (RelOptLuftmasse also takes
# int() of its argument) take scalars; applied element-wise they give the
# same as a loop.
SCALAR_CASES = [
    ("Sonnenzeit", (HOUR, 1, 11.58, 172)),
    ("Azimutwinkel", (HOUR, 48.14, 172)),
    ("LinkeTruebung", (172, 48.14, np.array([20.0, 60.0, 84.9, 85.0, 92.5, 99.9, 100.0]))),
    ("RelOptLuftmasse", (np.array([0.0, 45.0, 79.9, 80.0, 89.0, 90.0, 90.55, 91.0, 95.0]),)),
    ("MaxDirekteStrahlung", (172, 520, np.array([10.0, 45.0, 85.0, 89.9, 90.0]), 3.5,
                             np.array([1.02, 1.41, 10.3, 30.0, 37.92]))),
    ("MaxGlobalstrahlung", (172, 520, np.array([10.0, 45.0, 85.0, 89.9, 90.0]), 3.5)),
    ("OberflTemp", (np.array([-80.0, 0.0, 400.0, 600.0]), 20.0, 2.0,
                    np.array([0.5, 1.0, 0.0, -2.0]))),
]


def loop(fn, args):
    arrays = [a for a in args if isinstance(a, np.ndarray)]
    shape = np.broadcast_shapes(*(a.shape for a in arrays))
    out = np.empty(shape)
    for index in np.ndindex(shape):
        out[index] = fn(*(a[index] if isinstance(a, np.ndarray) else a for a in args))
    return out


@pytest.mark.parametrize("name, args", SCALAR_CASES, ids=[c[0] for c in SCALAR_CASES])
def test_scalar_functions_refuse_arrays_and_vectorize(name, args):
    fn = getattr(S, name)
    with pytest.raises((ValueError, TypeError), match="array"):
        fn(*args)
    expected = loop(fn, args)
    np.testing.assert_array_equal(np.vectorize(fn, otypes=[float])(*args), expected)
    labelled = [xr.DataArray(a, dims=["i"]) if isinstance(a, np.ndarray) else a for a in args]
    applied = xr.apply_ufunc(np.vectorize(fn, otypes=[float]), *labelled, dask="parallelized")
    np.testing.assert_array_equal(applied.values, expected)
