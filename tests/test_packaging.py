"""What the installed package carries: stubs that match the functions,
py.typed, the console script and the package metadata."""

import ast
import inspect
from importlib import metadata
from pathlib import Path

import pytest

import klimora
import klimora.Strahlkit as S
import reference as R

PACKAGE = Path(klimora.__file__).parent
STUB = PACKAGE / "Strahlkit.pyi"


def stub_functions():
    """Every def in the stub: name -> list of its ast.FunctionDef (overloads)."""
    found = {}
    for node in ast.parse(STUB.read_text(encoding="utf-8")).body:
        if isinstance(node, ast.FunctionDef):
            found.setdefault(node.name, []).append(node)
    return found


def test_installed_package_carries_stubs_and_marker_and_no_sources():
    assert (PACKAGE / "py.typed").is_file() and STUB.is_file()
    assert Path(S.__file__).parent == PACKAGE
    assert not list(PACKAGE.glob("*.cpp")) and not list(PACKAGE.glob("*.hpp"))


def test_stub_has_exactly_the_module_functions():
    assert sorted(stub_functions()) == sorted(R.NAMES)


@pytest.mark.parametrize("name", R.NAMES)
def test_stub_signature_matches_the_function(name):
    runtime = list(inspect.signature(getattr(S, name)).parameters)
    for node in stub_functions()[name]:
        args = node.args
        assert [a.arg for a in args.posonlyargs + args.args] == runtime
        assert not args.kwonlyargs and args.vararg is None and args.kwarg is None
        assert not args.defaults
        assert all(a.annotation is not None for a in args.posonlyargs + args.args)
        assert node.returns is not None
        assert len(args.posonlyargs) == (1 if name == "RelOptLuftmasse" else 0)


def test_positional_only_in_the_stub_is_what_the_function_enforces():
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        S.RelOptLuftmasse(zenitwinkel=45.0)


def test_metadata():
    meta = metadata.metadata("klimora")
    assert meta["Name"] == "klimora" and meta["Version"] == klimora.__version__
    assert meta["License-Expression"] == "MIT"
    assert "mean radiant temperature" in meta["Summary"]
    assert meta["Requires-Python"] and "numpy" in " ".join(meta.get_all("Requires-Dist"))
    assert {"plot", "utci", "grid"} <= set(meta.get_all("Provides-Extra"))
    assert "Typing :: Typed" in meta.get_all("Classifier")
    scripts = {e.name: e.value for e in metadata.entry_points(group="console_scripts")
               if e.dist is not None and e.dist.name == "klimora"}
    assert scripts == {"klimora": "klimora.cli:main"}


# Each line a use of the module, and whether mypy must refuse it.
TYPED_USES = [
    ("x: float = S.Sonnenzeit(10.5, 1, 11.58, 172)", False),
    ("x: np.float64 = S.Zenitwinkel(10.5, 48.14, 172)", False),
    ("y: NDArray[np.float64] = S.Zenitwinkel(np.arange(24.0), 48.14, 172)", False),
    ("x: float = S.RelOptLuftmasse(30.0)", False),
    ("x: float = S.RelOptLuftmasse(zenitwinkel=30.0)", True),
    ("x: float = S.Zenitwinkel('noon', 48.14, 172)", True),
    ("x: float = S.MaxDirekteStrahlung(172, 520, 30.0, 3.0)", True),
    ("x: float = S.OberflTemp(400.0, 20.0, 2.0, Bowen=1.0)", False),
    ("x: float = S.OberflTemp(400.0, 20.0, 2.0, bowen=1.0)", True),
    ("x: str = S.AtmosGegenstr(20.0, 14.0, 2)", True),
    ("x: float = S.MittlStrTemp(30.0, 100.0, 100.0, 0.0, 50.0, 500.0, None, 0.3, None)", False),
    ("z: xr.DataArray = S.MittlStrTemp(xr.DataArray([9.0]), 1.0, 1.0, 0, 0, 0, None, 0.3, None)",
     False),
    ("d: da.Array = S.AtmosGegenstr(da.zeros(4), 14.0, 2)", False),
    ("x: float = S.MittlStrTemp(30.0, 100.0, 100.0, 0.0, 50.0, 500.0, None, 0.3)", True),
]


def test_mypy_reads_the_stubs(tmp_path):
    api = pytest.importorskip("mypy.api")
    head = ["import dask.array as da", "import numpy as np", "import xarray as xr",
            "from numpy.typing import NDArray", "from klimora import Strahlkit as S"]
    lines = head + [f"def use_{i}() -> None:\n    {code}" for i, (code, _) in enumerate(TYPED_USES)]
    source = tmp_path / "uses.py"
    source.write_text("\n".join(lines) + "\n", encoding="utf-8")
    out, _, _ = api.run([str(source), "--strict", "--no-incremental", "--python-version", "3.10"])
    refused = {int(line.split(":")[1]) for line in out.splitlines() if ": error:" in line}
    # use i sits on line len(head) + 2 * i + 2
    expected = {len(head) + 2 * i + 2 for i, (_, bad) in enumerate(TYPED_USES) if bad}
    assert refused == expected, out


def test_ufunc_stub_names_every_ufunc():
    import klimora.ufuncs as U
    tree = ast.parse((PACKAGE / "ufuncs.pyi").read_text(encoding="utf-8"))
    declared = [n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)]
    assert declared == ["__all__"] + U.__all__
    assert U.__all__[:12] == R.NAMES + ["equation_of_time"]
