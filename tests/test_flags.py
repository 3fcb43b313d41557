"""The floating-point flags a ufunc reports are those of its elements'
scalar calls, also when a flag raised early in a call is followed by a step
that clears the flags: NumPy's maximum clears them in both registers (SSE
and x87), and the loop raises again what was there before it, which glibc
records in the x87 status word for overflow and underflow.  A later block
whose inputs hold one value (a run of equal humidity) then calls maximum
once, for all its elements, and must keep that flag too."""

import warnings

import numpy as np
import pytest

import klimora.Strahlkit as S
import klimora.ufuncs as U

BLOCK = 1024   # the elements a ufunc loop takes at a time
#: NumPy's names of the flags, and the errstate keyword of each.
KINDS = {"divide by zero": "divide", "overflow": "over", "underflow": "under",
         "invalid value": "invalid"}


def oracle(name, columns):
    """The scalar calls on NumPy float64 scalars, element by element: their
    values (NaN where a call raises) and the union of the flags they
    report (a call that raises counts as the invalid flag, as the ufunc
    reports it)."""
    kinds, values = set(), []
    for row in zip(*columns):
        with np.errstate(all="call", call=lambda kind, flag: kinds.add(kind)):
            try:
                values.append(np.float64(getattr(S, name)(*map(np.float64, row))))
            except (ValueError, OverflowError, IndexError):
                values.append(np.float64(np.nan))
                kinds.add("invalid value")
    return np.array(values), kinds


def joined(*pieces):
    return np.concatenate([np.asarray(p, dtype=float) for p in pieces])


def days_with(n, at):
    """Day 172 for n elements, with the given {position: day}."""
    days = np.full(n, 172.0)
    for i, day in at.items():
        days[i] = day
    return days


def linke(rh, at, latitude=48.0):
    return "LinkeTruebung", [days_with(len(rh), at), np.full(len(rh), latitude), rh]


RNG = np.random.default_rng(85)
MIXED = joined(np.tile([40.0, 60.0, 90.0, 97.0], 256), np.full(100, 90.0))
CASES = {
    # An overflow on the climatology side of the first block; the next
    # block, all at 90 %, calls maximum once.
    "next block one humidity": linke(MIXED, {0: 1e308}),
    "overflow and invalid, then a saturated run": linke(
        joined(np.tile([40.0, 60.0, 90.0, 97.0], 256), np.full(200, 95.0)),
        {0: 1e308, 5: np.inf}),
    # The next block's humid elements share one value: gathered, they call
    # maximum once.
    "negative overflow, next block's humid air one value": linke(
        joined(RNG.uniform(0, 100, BLOCK), np.tile([30.0, 92.0], 200)), {3: -1e308}),
    # Near the block's start: 64 equal days from there would end the block
    # at the flag.
    "flag in the second block, run in the fourth": linke(
        joined(RNG.uniform(0, 100, BLOCK + 10), [40.0], RNG.uniform(0, 100, 2 * BLOCK - 11),
                   np.full(80, 99.5)), {BLOCK + 10: 1e308}),
    "southern site, next block's humid air one value": linke(
        joined(np.resize([10.0, 86.0, 95.0], BLOCK), np.tile([10.0, 86.0], 300)),
        {6: 1e308, 9: np.inf}, latitude=-33.9),
    # No step of the air mass clears the flags: the overflow of its table
    # position stays where it was raised.
    "air mass, a run of one angle after an overflow": ("RelOptLuftmasse", [joined(
        [1e308], RNG.uniform(0, 91, BLOCK - 1), np.full(100, 45.0))]),
}


def warned(name, columns):
    """The flags the ufunc reports under np.errstate(all="warn")."""
    with np.errstate(all="warn"), warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = getattr(U, name)(*columns)
    suffix = f" encountered in {name}"
    assert all(str(w.message).endswith(suffix) for w in caught), caught
    return got, {str(w.message)[:-len(suffix)] for w in caught}


@pytest.mark.parametrize("case", CASES)
def test_flags_raised_before_a_clearing_step_are_reported(case):
    name, columns = CASES[case]
    want, kinds = oracle(name, columns)
    assert "overflow" in kinds   # what the case is about
    got, reported = warned(name, columns)
    np.testing.assert_array_equal(got, want)
    assert reported == kinds
    # Under "raise", each flag of the scalar calls raises, and no other.
    for kind, key in KINDS.items():
        with np.errstate(all="ignore", **{key: "raise"}):
            if kind in kinds:
                with pytest.raises(FloatingPointError, match=f"^{kind} encountered in {name}$"):
                    getattr(U, name)(*columns)
            else:
                getattr(U, name)(*columns)


def test_the_flags_of_each_block_alone_are_its_elements():
    """Cut at the blocks and the run, each piece reports its own elements'
    flags: the flag of the first block is not carried into the second."""
    name, columns = CASES["next block one humidity"]
    for piece in (slice(0, BLOCK), slice(BLOCK, None)):
        part = [c[piece] for c in columns]
        assert warned(name, part)[1] == oracle(name, part)[1]
