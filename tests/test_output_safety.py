"""`klimora grid`'s output when something else is at its name: a folder
that is no Zarr store, another run's output made while this one computes,
a symbolic link, a replacement that fails half way.  Nothing but the
output is ever deleted, and nothing is left beside it.  Every case runs
with Linux's renameat2 and without it, as on other systems."""

import ctypes
import errno
import hashlib
import os

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("cf_xarray")
pytest.importorskip("netCDF4")

from klimora import cli  # noqa: E402
from klimora.grid import example, files, radiation, store  # noqa: E402

RENAMEAT2 = [pytest.param(True, id="renameat2"), pytest.param(False, id="without renameat2")]


@pytest.fixture(params=RENAMEAT2)
def renameat2(request, monkeypatch):
    """Whether renameat2 is there: as the system has it, or taken away."""
    if request.param:
        if files.renameat2() is None:
            pytest.skip("no renameat2 here")
    else:
        monkeypatch.setattr(files, "renameat2", lambda: None)
    return request.param


@pytest.fixture
def weather(tmp_path):
    path = tmp_path / "w.nc"
    example.weather(6, 4, 5, seed=1).to_netcdf(path)
    return str(path)


def klimora_grid(*args):
    return cli.main(["grid", *map(str, args)])


def tree(folder):
    """Every file, folder and link under folder (by its path there) with a
    digest of its bytes."""
    found = {}
    for root, dirs, names in os.walk(folder):
        for name in dirs + names:
            path = os.path.join(root, name)
            key = os.path.relpath(path, folder)
            if os.path.islink(path):
                found[key] = "-> " + os.readlink(path)
            elif os.path.isfile(path):
                with open(path, "rb") as f:
                    found[key] = hashlib.sha256(f.read()).hexdigest()
            else:
                found[key] = "folder"
    return found


def is_radiation_of(path, source):
    with xr.open_dataset(path, engine=None) as out, xr.open_dataset(source) as ds:
        return np.array_equal(out.mrt.values, radiation(ds).mrt.values, equal_nan=True)


def other_weather(tmp_path):
    path = tmp_path / "other.nc"
    example.weather(6, 4, 5, seed=2).to_netcdf(path)
    return str(path)


# What --overwrite may replace.

def make(path, what):
    """Something that is no output at ``path``."""
    if what == "a file":
        path.write_text("mine")
    elif what == "an empty folder":
        os.makedirs(path)
    elif what == "a folder of files":
        os.makedirs(path / "photos")
        (path / "notes.txt").write_text("mine")
        (path / "photos" / "a.jpg").write_bytes(b"\xff\xd8")
    elif what == "a folder named like Zarr's metadata":
        os.makedirs(path / "data" / ".zgroup")
    return path


@pytest.mark.parametrize("name, what, said", [
    ("precious.zarr", "a folder of files",
     "is a directory, not a Zarr store (no .zgroup, .zarray, .zattrs or zarr.json in it); give "
     "the output another name"),
    ("precious.zarr", "an empty folder", "is a directory, not a Zarr store"),
    ("precious.zarr", "a folder named like Zarr's metadata", "is a directory, not a Zarr store"),
    ("precious.zarr", "a file", "is a file, not a Zarr store; give the output another name"),
    ("precious.nc", "a folder of files", "is a directory; give the output another name"),
])
def test_overwrite_deletes_no_folder_that_is_not_an_output(tmp_path, weather, capsys, name, what,
                                                          said):
    target = make(tmp_path / name, what)
    before = tree(tmp_path)
    assert klimora_grid("--input", weather, "--output", target, "--overwrite") == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith(f"klimora: error: cannot write {target}: {said}")
    assert tree(tmp_path) == before


@pytest.mark.parametrize("store_of", ["version 2", "version 3"])
def test_overwrite_replaces_a_zarr_store(tmp_path, weather, renameat2, store_of):
    target = tmp_path / "out.zarr"
    if store_of == "version 2":
        example.weather(2, 2, 2, seed=3).to_zarr(target, zarr_format=2)
    else:   # its layout: a group's zarr.json at the top, each array's in its folder
        os.makedirs(target / "mrt" / "c")
        (target / "zarr.json").write_text('{"zarr_format": 3, "node_type": "group"}')
        (target / "mrt" / "zarr.json").write_text('{"zarr_format": 3, "node_type": "array"}')
    assert klimora_grid("--input", weather, "--output", target, "--overwrite") == 0
    assert is_radiation_of(target, weather)
    assert sorted(os.listdir(tmp_path)) == ["out.zarr", "w.nc"]


# Another run's output, made while this one computes.

def meanwhile(monkeypatch, kind, made):
    """``made()`` called once every block is stored, before the output
    takes its name: as another run that ends then does."""
    closing = kind.close

    def close(self):
        closing(self)
        made()

    monkeypatch.setattr(kind, "close", close)


@pytest.mark.parametrize("suffix", [".nc", ".zarr"])
@pytest.mark.parametrize("overwrite", [False, True])
def test_an_output_made_meanwhile_is_kept_or_overwritten(tmp_path, weather, capsys, monkeypatch,
                                                         renameat2, suffix, overwrite):
    other = other_weather(tmp_path)
    winner, target = tmp_path / f"winner{suffix}", tmp_path / f"out{suffix}"
    assert klimora_grid("--input", other, "--output", winner) == 0
    meanwhile(monkeypatch, store.Zarr if suffix == ".zarr" else store.NetCDF,
              lambda: os.rename(winner, target))
    options = ["--overwrite"] if overwrite else []
    status = klimora_grid("--input", weather, "--output", target, *options)
    err = capsys.readouterr().err
    assert sorted(os.listdir(tmp_path)) == sorted(["w.nc", "other.nc", target.name])
    if overwrite:
        assert (status, err) == (0, "") and is_radiation_of(target, weather)
    else:
        assert (status, err) == (2, f"klimora: error: --output {target} exists, made while "
                                    "this run was computing it: give --overwrite to replace "
                                    "it\n")
        assert is_radiation_of(target, other)


def test_a_folder_made_meanwhile_is_not_overwritten(tmp_path, weather, capsys, monkeypatch,
                                                   renameat2):
    target = tmp_path / "out.zarr"
    meanwhile(monkeypatch, store.Zarr, lambda: make(target, "a folder of files"))
    assert klimora_grid("--input", weather, "--output", target, "--overwrite") == 2
    assert capsys.readouterr().err == (f"klimora: error: cannot write {target}: is a directory, "
                                       "not a Zarr store (no .zgroup, .zarray, .zattrs or "
                                       "zarr.json in it); give the output another name\n")
    reference = make(tmp_path / "reference" / "out.zarr", "a folder of files")
    assert tree(target) == tree(reference)
    assert sorted(os.listdir(tmp_path)) == ["out.zarr", "reference", "w.nc"]


# A replacement that fails half way.

def failing(rename, target):
    """``rename`` (os.rename or os.replace), but failing as a disk does when
    it moves a temporary output to ``target``."""
    def wrapped(source, destination, *args, **kwargs):
        if str(source).endswith(".part") and os.path.abspath(destination) == str(target):
            raise OSError(errno.EIO, os.strerror(errno.EIO))
        return rename(source, destination, *args, **kwargs)
    return wrapped


@pytest.mark.parametrize("suffix", [".nc", ".zarr"])
def test_a_replacement_that_fails_keeps_the_old_output(tmp_path, weather, capsys, monkeypatch,
                                                       renameat2, suffix):
    other, target = other_weather(tmp_path), tmp_path / f"out{suffix}"
    assert klimora_grid("--input", other, "--output", target) == 0
    before = tree(tmp_path)
    monkeypatch.setattr(os, "rename", failing(os.rename, target))
    monkeypatch.setattr(os, "replace", failing(os.replace, target))
    if renameat2:
        system = files.renameat2()

        def exchange_fails(fd, source, fd2, destination, flags):
            if flags == files.RENAME_EXCHANGE:
                ctypes.set_errno(errno.EIO)
                return -1
            return system(fd, source, fd2, destination, flags)

        monkeypatch.setattr(files, "renameat2", lambda: exchange_fails)
    assert klimora_grid("--input", weather, "--output", target, "--overwrite") == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith(
        f"klimora: error: cannot read {weather} or write {target}: [Errno 5] "), err
    assert tree(tmp_path) == before


# A symbolic link at the output's name.

@pytest.mark.parametrize("suffix, points_to", [
    (".zarr", "an earlier output"), (".zarr", "a folder of files"), (".zarr", "nothing"),
    (".nc", "an earlier output"), (".nc", "a folder of files"), (".nc", "nothing"),
])
def test_overwrite_replaces_a_symbolic_link_itself(tmp_path, weather, renameat2, suffix,
                                                   points_to):
    """The link gives way to the output; what it pointed to is left as it
    was, and nothing is left beside the output."""
    other, kept = other_weather(tmp_path), tmp_path / "kept"
    os.mkdir(kept)
    pointed = kept / f"earlier{suffix}"
    if points_to == "an earlier output":
        assert klimora_grid("--input", other, "--output", pointed) == 0
    elif points_to == "a folder of files":
        make(pointed, points_to)
    link = tmp_path / f"link{suffix}"
    os.symlink(pointed, link)
    before = tree(kept)
    assert klimora_grid("--input", weather, "--output", link, "--overwrite") == 0
    assert not os.path.islink(link) and is_radiation_of(link, weather)
    assert tree(kept) == before
    assert sorted(os.listdir(tmp_path)) == sorted(["w.nc", "other.nc", "kept", link.name])
