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


def surface(bowen, balance=400.0):
    n = len(bowen)
    return "OberflTemp", [np.full(n, balance), np.full(n, 20.0), np.full(n, 2.0), np.asarray(bowen)]


#: A side taken by most of a block is first run over all its elements; the
#: others' values there are thrown away, and so must their flags be.
SIDE_CASES = {
    # Bowen 0: the air temperature itself, no division; the other side
    # divides by Bowen, which for those elements is 1 / 0.
    "no sensible heat among most": surface(np.resize([1.0, 1.0, 1.0, 0.0], 3 * BLOCK)),
    "one element without sensible heat": surface(joined([0.0], np.full(BLOCK - 1, 0.5))),
    # Bowen -1 is clipped to -0.9; with the unclipped side's formula its
    # sensible heat would divide by 1 + 1 / -1 = 0.
    "Bowen -1 among unclipped ones": surface(np.resize([0.5, 0.5, 0.5, -1.0], BLOCK)),
    # Negative and positive balance, and Bowen 0 within each side.
    "both balances, Bowen 0 in each": ("OberflTemp", [
        np.resize([400.0, -50.0], BLOCK), np.full(BLOCK, 20.0), np.full(BLOCK, 2.0),
        np.resize([0.5, 0.5, 0.0, 0.0, 0.5, 0.5, 0.5, 0.5], BLOCK)]),
    # A side's own element divides by zero (no heat transfer at this
    # wind): its flag stays.
    "own element without transfer": ("OberflTemp", [
        np.resize([400.0, -50.0], BLOCK), np.full(BLOCK, 20.0),
        joined([-6.2 / 4.26], np.full(BLOCK - 1, 2.0)), np.full(BLOCK, 0.5)]),
    "air mass past the table and inside": ("RelOptLuftmasse", [
        np.resize([45.0, 45.0, 45.0, 95.0, 90.5, 85.0, 1e308], BLOCK)]),
}


@pytest.mark.parametrize("case", SIDE_CASES)
def test_a_side_run_over_the_whole_block_reports_only_its_own_flags(case):
    name, columns = SIDE_CASES[case]
    want, kinds = oracle(name, columns)
    got, reported = warned(name, columns)
    assert np.array_equal(got.view(np.uint64), want.view(np.uint64))
    assert reported == kinds


def shuffled(values, n, seed):
    """n values drawn from `values` in a random order."""
    return np.random.default_rng(seed).choice(np.asarray(values, dtype=float), n)


#: Blocks divided again and again: sides tried over the whole block, sides
#: gathered from sides (their values taken through two lists of positions),
#: a trial that gives up at a costly call, and later blocks that remember
#: it.  Each element must still be its own scalar call.
SPLIT_CASES = {
    "air mass, five ranges of a fifth each": ("RelOptLuftmasse", [
        shuffled([-5.0, 40.0, 85.0, 90.55, 120.0], 3 * BLOCK + 17, 1)]),
    "a few Kasten-Young among secants": ("RelOptLuftmasse", [
        shuffled([30.0] * 9 + [84.0], 3 * BLOCK, 2)]),
    "solar time folded either way, twice": ("Sonnenzeit", [
        shuffled([-20.0, 3.0, 12.0, 30.0, 55.0], 2 * BLOCK, 3),
        shuffled([-12.0, 0.0, 14.0], 2 * BLOCK, 4),
        shuffled([-200.0, 0.0, 150.0], 2 * BLOCK, 5), shuffled([1.0, 172.0, 400.0], 2 * BLOCK, 6)]),
    "azimuth on both sides of noon": ("Azimutwinkel", [
        shuffled([6.0, 11.0, 12.0, 13.0, 18.0], 2 * BLOCK, 7), shuffled([-60.0, 0.0, 48.0], 2 * BLOCK, 8),
        shuffled([1.0, 172.0], 2 * BLOCK, 9)]),
    "surface, both balances and clipped Bowen": ("OberflTemp", [
        shuffled([400.0, -50.0, 0.0], 2 * BLOCK, 10), np.full(2 * BLOCK, 20.0),
        shuffled([0.0, 2.0, -6.2 / 4.26], 2 * BLOCK, 11), shuffled([-2.0, 0.0, 0.5, 1e-300], 2 * BLOCK, 12)]),
}


@pytest.mark.parametrize("case", SPLIT_CASES)
def test_blocks_divided_again_and_again_are_their_elements_calls(case):
    name, columns = SPLIT_CASES[case]
    want, kinds = oracle(name, columns)
    got, reported = warned(name, columns)
    assert np.array_equal(got.view(np.uint64), want.view(np.uint64))
    assert reported == kinds
