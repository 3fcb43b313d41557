"""--zone as people write it: a zone name in any case, UTC as "utc" or "Z",
and an offset such as +01:00, each the same run as its canonical form."""

import pytest

from klimora import cli

SITE = ("--lat", "48.14", "--lon", "11.58", "--height", "520", "--date", "2025-03-30")


def run(capsys, zone):
    status = cli.main([*SITE, f"--zone={zone}", "--csv"])   # -05:30 is no option
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize("written, canonical", [
    ("europe/berlin", "Europe/Berlin"),
    ("EUROPE/BERLIN", "Europe/Berlin"),
    ("america/new_york", "America/New_York"),
    ("utc", "UTC"),
    ("Z", "UTC"),
    ("z", "0"),
    ("+01:00", "1"),
    ("-05:30", "-5.5"),
    ("+00:00", "0"),
])
def test_a_zone_is_taken_as_its_canonical_form(capsys, written, canonical):
    got = run(capsys, written)
    assert got[0] == 0, got[2]
    assert got == run(capsys, canonical)


@pytest.mark.parametrize("written", ["Mars/Olympus", "+1:00", "+01:60", "Europe", "UTC+1"])
def test_what_is_no_zone_is_still_refused_in_one_line(capsys, written):
    status, out, err = run(capsys, written)
    assert (status, out) == (2, "")
    assert "argument --zone: neither hours east of UTC nor a time zone name" in err
    assert err.count("\n") == 1
