"""The speed table: every row's ratio and target, collected from the lines
``TARGET <row> <ratio> <target> met|missed`` the bench scripts printed
(``make bench`` keeps each script's output in build/bench/), and which are
met.  Runs nothing itself; a row no script printed is shown as not run.

Each ratio is klimora's time over the other side's, measured side by side
in one run; every target is a most."""

import argparse
import sys
from pathlib import Path

#: The rows in the table's order: (row, what it compares), the
#: geometry ufuncs' and the scalar calls' rows as the scripts name them.
ROWS = [
    ("scalar", "scalar calls whose reference takes 1 us or more: worst of klimora over "
               "Python+NumPy (bench/run.py)"),
    ("scalar-cheap", "cheap scalar cases (the sun below the horizon, saturated turbidity): "
                     "worst (bench/run.py)"),
    *((f"floor-{name}", f"{name} ufunc against NumPy's own loops for its transcendental "
                        "calls (bench/ufuncs.py 1b)")
      for name in ("Sonnenzeit", "Zenitwinkel", "Azimutwinkel", "RelOptLuftmasse")),
    ("handwritten-OberflTemp", "OberflTemp ufunc against the hand-written np.where version "
                               "(bench/ufuncs.py 2)"),
    ("grid-workers", "klimora grid --workers 2 against the threaded run (bench/grid.py 4)"),
    ("csv-input", "klimora --input, 100,000 rows, against pandas' read and write "
                  "(bench/csv_speed.py)"),
    ("chain-pvlib", "the chain on 10^6 minutes against pvlib ephemeris + Ineichen "
                    "(bench/chain.py)"),
]


def collect(paths):
    """{row: (ratio, target)} from the TARGET lines of the files; a row
    printed twice keeps its last."""
    found = {}
    for path in paths:
        for line in Path(path).read_text(errors="replace").splitlines():
            parts = line.split()
            if len(parts) == 5 and parts[0] == "TARGET":
                found[parts[1]] = (float(parts[2]), float(parts[3]))
    return found


def table(found):
    """The table's lines and the number of rows missed."""
    lines = [f"{'row':24} {'ratio':>7} {'target':>7}  {'':7} what",
             f"{'-' * 24} {'-' * 7} {'-' * 7}  {'-' * 7} {'-' * 4}"]
    missed = 0
    rows = ROWS + [(row, "") for row in found if row not in dict(ROWS)]
    for row, what in rows:
        if row in found:
            ratio, target = found[row]
            met = ratio <= target
            missed += not met
            lines.append(f"{row:24} {ratio:7.3f} {target:7.3g}  {'met' if met else 'MISSED':7} "
                         f"{what}")
        else:
            lines.append(f"{row:24} {'':>7} {'':>7}  {'not run':7} {what}")
    return lines, missed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("outputs", nargs="*", default=None,
                        help="the scripts' outputs (default: build/bench/*.txt)")
    args = parser.parse_args()
    paths = args.outputs or sorted(Path("build/bench").glob("*.txt"))
    found = collect(paths)
    lines, missed = table(found)
    print("The speed table (klimora's time over the other's; each target a most):")
    print("\n".join(lines))
    run = sum(row in found for row, _ in ROWS)
    print(f"{run - missed} of {run} rows run met their target"
          + (f"; {len(ROWS) - run} not run" if run < len(ROWS) else ""))


if __name__ == "__main__":
    sys.exit(main())
