"""Arrays large enough for NumPy to reuse temporaries in place: the module
reuses them where Python code would, and the values stay the reference's.

Which NaN an element ends up with when both operands are NaN follows the
order of the operands, which NumPy swaps when it reuses the right one; NumPy
decides that from the native call stack, which tools such as sanitizers
change.  So NaNs are compared as NaN here, and every other element bit for
bit."""

import numpy as np
import pytest

import klimora.Strahlkit as S
import reference as R

N = 40_000   # 320 KB of float64: above NumPy's threshold for reusing temporaries


def payload_nans(rng, n):
    """NaNs of both signs and several payloads."""
    raw = [0x7FF8000000000001, 0xFFF8000000000002, 0x7FF0000000000003, 0xFFF4000000000004]
    bits = np.array(raw, dtype=np.uint64)[rng.integers(len(raw), size=n)]
    return bits.view(np.float64)


def column(rng, low, high):
    x = rng.uniform(low, high, N)
    special = rng.random(N)
    x[special < 0.02] = payload_nans(rng, int((special < 0.02).sum()))
    x[(special >= 0.02) & (special < 0.03)] = np.inf
    return x


ARGUMENTS = {
    "Zenitwinkel": [(-5, 30), (-95, 95), (0, 400)],
    "DirStrMBew": [(0, 1400), (-2, 10)],
    "AtmosGegenstr": [(-60, 60), (0, 40), (-1, 9)],
    "MittlStrTemp": [(0, 100), (0, 500), (0, 500), (0, 500), (0, 300), (0, 1000), None, (0, 1), None],
}


@pytest.mark.parametrize("name", list(ARGUMENTS))
@pytest.mark.parametrize("scalars", [False, True])
def test_large_arrays_match_the_reference(name, scalars):
    rng = np.random.default_rng(5)
    args = []
    for k, spec in enumerate(ARGUMENTS[name]):
        if spec is None:
            args.append(None)
        elif scalars and k % 2:
            args.append(float(rng.uniform(*spec)))
        else:
            args.append(column(rng, *spec))
    with np.errstate(all="ignore"):
        got, want = getattr(S, name)(*args), getattr(R, name)(*args)
    assert type(got) is type(want) and got.dtype == want.dtype and got.shape == want.shape
    nan = np.isnan(want)
    assert (np.isnan(got) == nan).all()
    assert got[~nan].tobytes() == want[~nan].tobytes()


def test_arguments_are_never_written_to():
    rng = np.random.default_rng(6)
    args = [column(rng, 0, 100) for _ in range(3)]
    copies = [a.copy() for a in args]
    with np.errstate(all="ignore"):
        S.Zenitwinkel(*args)
        S.AtmosGegenstr(*args)
        S.DirStrMBew(args[0], args[1])
    assert all(a.tobytes() == c.tobytes() for a, c in zip(args, copies))
