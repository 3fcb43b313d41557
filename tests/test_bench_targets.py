"""bench/targets.py: the speed table gathered from the bench scripts' lines
``TARGET <row> <ratio> <target> met|missed``; a target is a most."""

import runpy
import types
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parent.parent / "bench" / "targets.py"
targets = types.SimpleNamespace(**runpy.run_path(str(SCRIPT)))


def status(lines, row):
    """The state the table shows for ``row``."""
    found = targets.collect(lines)
    table, _ = targets.table(found)
    (line,) = [t for t in table if t.split()[0] == row]
    return "not run" if "not run" in line else line.split()[3]


@pytest.mark.parametrize("printed, row, expected", [
    (["TARGET grid-workers 1.30 1.3 met"], "grid-workers", "met"),          # at the target
    (["TARGET grid-workers 1.31 1.3 met"], "grid-workers", "MISSED"),       # the numbers decide
    (["TARGET scalar 0.05 0.1 missed"], "scalar", "met"),
    (["TARGET chain-pvlib 0.9 0.4 missed", "TARGET chain-pvlib 0.3 0.4 met"],
     "chain-pvlib", "met"),                                                 # the last one counts
    (["ratio 0.3 (target: at most 0.4)", "TARGET chain-pvlib 0.3"], "chain-pvlib", "not run"),
    (["TARGET csv-input 1.1 1.2 met"], "grid-workers", "not run"),
    (["TARGET a-new-row 2 3 met"], "a-new-row", "met"),                     # rows beyond the list
])
def test_each_row_met_missed_or_not_run(tmp_path, printed, row, expected):
    output = tmp_path / "script.txt"
    output.write_text("1. some figures\n" + "\n".join(printed) + "\n")
    assert status([output], row) == expected


def test_rows_missed_are_counted_across_files(tmp_path):
    (tmp_path / "a.txt").write_text("TARGET scalar 0.2 0.1 missed\n")
    (tmp_path / "b.txt").write_text("TARGET chain-pvlib 0.3 0.4 met\nTARGET csv-input 2 1.2 x\n")
    found = targets.collect(sorted(tmp_path.glob("*.txt")))
    assert targets.table(found)[1] == 2
