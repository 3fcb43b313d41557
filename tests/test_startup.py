"""Start-up, each case in a fresh interpreter: one module object per process,
one interpreter, the imports of numpy and fractions, failing start-ups."""

import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import klimora.Strahlkit as S


def run(code, cwd=None, path=None):
    env = dict(os.environ)
    if path:
        env["PYTHONPATH"] = path
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, cwd=cwd or "/", env=env, timeout=120)


def check(code, **kwargs):
    done = run(code, **kwargs)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_import_again_returns_the_same_module():
    check("""
        import sys, importlib, warnings
        warnings.simplefilter("error")
        import klimora.Strahlkit as first
        first.marker = 1
        del sys.modules["klimora.Strahlkit"]
        import klimora.Strahlkit as second
        assert second is first and second.marker == 1
        assert importlib.reload(second) is first
    """)


def test_a_second_interpreter_is_refused():
    out = run("""
        import _testcapi, klimora.Strahlkit
        assert _testcapi.run_in_subinterp("import klimora.Strahlkit") == -1
    """)
    assert out.returncode == 0, out.stderr
    assert ("ImportError: Interpreter change detected - this module can only be loaded into "
            "one interpreter per process.") in out.stderr


def test_a_numpy_inside_the_package_is_taken_as_np(tmp_path):
    package = tmp_path / "klimora"
    package.mkdir()
    shutil.copy(S.__file__, package)
    (package / "__init__.py").write_text("")
    (package / "numpy.py").write_text("from numpy import *\nLOCAL = True\n")
    check("""
        import klimora.Strahlkit as S
        assert S.np.__name__ == "klimora.numpy" and S.np.LOCAL
        assert S.Zenitwinkel(12, 50, 172) > 0
    """, path=str(tmp_path))


@pytest.mark.parametrize("blocker, exception, message, line", [
    ('sys.modules["numpy"] = None', "ModuleNotFoundError",
     "import of numpy halted; None in sys.modules", 1),
    ('sys.modules["fractions"] = types.ModuleType("fractions")', "ImportError",
     "cannot import name Fraction", 2),
])
def test_failed_start_up_reports_and_can_be_retried(blocker, exception, message, line):
    check(f"""
        import sys, types, traceback
        saved = {{name: sys.modules.get(name) for name in ("numpy", "fractions")}}
        {blocker}
        try:
            import klimora.Strahlkit
        except ImportError as e:
            assert type(e).__name__ == "{exception}" and str(e) == "{message}", repr(e)
            last = traceback.extract_tb(e.__traceback__)[-1]
            assert (last.filename, last.lineno, last.name) == (
                "klimora/Strahlkit", {line}, "init klimora.Strahlkit"), last
        else:
            raise AssertionError("import succeeded")
        for name, module in saved.items():
            if module is None:
                sys.modules.pop(name, None)
            else:
                sys.modules[name] = module
        sys.modules.pop("klimora.Strahlkit", None)
        import klimora.Strahlkit as S
        assert S.DirStrMBew(800, 2) == 600.0 and S.__test__ == {{}}
    """)


def test_warning_free_import_under_its_own_version():
    check("""
        import warnings
        warnings.simplefilter("error")
        import klimora.Strahlkit
    """)


@pytest.mark.parametrize("sibling, line", [("numpy", 1), ("fractions", 2)])
def test_a_warning_made_an_error_fails_start_up_and_can_be_retried(tmp_path, sibling, line):
    # A module of that name inside the package is imported first; it warns,
    # and with warnings as errors the warning ends start-up at its line.
    package = tmp_path / "klimora"
    package.mkdir()
    shutil.copy(S.__file__, package)
    (package / "__init__.py").write_text("")
    (package / f"{sibling}.py").write_text(
        f"import warnings\nwarnings.warn('klimora.{sibling} is a stand-in')\n"
        f"from {sibling} import *\nfrom {sibling} import __name__ as _\n"
        + ("from fractions import Fraction\n" if sibling == "fractions" else ""))
    check(f"""
        import sys, traceback, warnings
        warnings.simplefilter("error")
        try:
            import klimora.Strahlkit
        except UserWarning as e:
            assert str(e) == "klimora.{sibling} is a stand-in", repr(e)
            entries = traceback.extract_tb(e.__traceback__)
            assert [(f.name, f.lineno) for f in entries if f.filename == "klimora/Strahlkit"] == [
                ("init klimora.Strahlkit", {line})], entries
            assert entries[-1].filename.endswith("klimora/{sibling}.py"), entries
        else:
            raise AssertionError("import succeeded")
        assert "klimora.Strahlkit" not in sys.modules
        warnings.resetwarnings()
        warnings.simplefilter("ignore")
        import klimora.Strahlkit as S
        assert sys.modules["klimora.{sibling}"].__file__.startswith({str(package)!r})
        assert S.DirStrMBew(800, 2) == 600.0 and S.__test__ == {{}}
        assert S.Zenitwinkel(12, 50, 172) > 0 and S.Fraction(1, 2) * 2 == 1
    """, path=str(tmp_path))


def other_pythons():
    """CPython 3.10 to 3.13 interpreters on this machine other than the running one."""
    found = {}
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    for minor in range(10, 14):
        if minor == sys.version_info.minor:
            continue
        candidates = []
        versions = os.path.join(root, "versions")
        if os.path.isdir(versions):
            candidates += [os.path.join(versions, v, "bin", "python") for v in
                           sorted(os.listdir(versions)) if v.startswith(f"3.{minor}.")]
        candidates.append(shutil.which(f"python3.{minor}"))   # pyenv's shims last
        for c in candidates:
            if c and os.access(c, os.X_OK):
                found[minor] = c
                break
    return sorted(found.items())


def test_a_build_for_another_version_warns_and_refuses(tmp_path):
    pythons = other_pythons()
    assert pythons, "no other CPython 3.10 to 3.13 to load the build into"
    for minor, python in pythons:
        package = tmp_path / f"3.{minor}" / "klimora"
        package.mkdir(parents=True)
        (package / "__init__.py").write_text("")
        # The build under the name the other interpreter looks for.
        shutil.copy(S.__file__, package / f"Strahlkit.cpython-3{minor}-x86_64-linux-gnu.so")
        done = subprocess.run([python, "-c", "import klimora.Strahlkit"], capture_output=True,
                              text=True, cwd=tmp_path, timeout=120,
                              env={**os.environ, "PYTHONPATH": str(package.parent)})
        built = f"{sys.version_info.major}.{sys.version_info.minor}"
        last = done.stderr.rstrip().splitlines()[-1]
        if minor < sys.version_info.minor and "undefined symbol" in last:
            continue   # an older interpreter's linker refuses a newer build itself
        assert f"RuntimeWarning: compiletime version {built} of module 'klimora.Strahlkit' " \
               f"does not match runtime version 3.{minor}" in done.stderr, done.stderr
        assert last == (
            f"ImportError: klimora.Strahlkit was built for CPython {built} and cannot run on "
            f"CPython 3.{minor}: install klimora for this Python"), done.stderr
