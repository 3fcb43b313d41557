"""The files of ``klimora grid``: the output apart from the input, written
under a temporary name beside it that takes the output's name once
complete, and what runs that crashed left removed.

The output takes its name in one step that neither replaces what another
run put there meanwhile (without ``--overwrite``) nor leaves the name
empty if replacing fails (with it): Linux's ``renameat2`` with
``RENAME_NOREPLACE`` or ``RENAME_EXCHANGE``, and where the system or the
file system lacks it, a hard link for a file, the rename of a folder
(which takes no name that holds files) or the old output moved aside and
put back if the new one cannot take its place.  A symbolic link at the
output's name is replaced itself; what it points to is left as it is."""

from __future__ import annotations

import ctypes
import errno
import functools
import os
import shutil
import socket
import sys
from typing import Any, Optional

from klimora.grid.cf import GridError

#: What lies at the top of a Zarr store: a group's or an array's metadata
#: (version 2), or version 3's.
ZARR_MARKERS = (".zgroup", ".zarray", ".zattrs", "zarr.json")
#: renameat2's flags: fail if the new name exists; swap the two names.
RENAME_NOREPLACE, RENAME_EXCHANGE = 1, 2
#: renameat2's "relative to the current folder".
AT_FDCWD = -100
#: What renameat2 fails with where the kernel or the file system lacks it
#: (or the flag): the rename is then done without it.
UNSUPPORTED = {errno.ENOSYS, errno.EINVAL, errno.ENOTSUP, errno.EOPNOTSUPP}


def apart(source: str, target: str) -> None:
    """GridError unless the output ``target`` lies apart from the input
    ``source``.  The output is written beside its name and then renamed over
    it: were it the input, under another spelling, through a link or as a
    file inside the input's Zarr store (or the input inside the output's),
    the weather it is computed from would be replaced or deleted."""
    real_source, real_target = os.path.realpath(source), os.path.realpath(target)
    if real_source == real_target or same_file(source, target):
        raise GridError(f"--output {target} is the input {source}: give the output another "
                        "name")
    if real_target.startswith(real_source + os.sep):
        raise GridError(f"--output {target} lies inside the input {source}: give the output "
                        "another name")
    if real_source.startswith(real_target + os.sep):
        raise GridError(f"--output {target} holds the input {source}: give the output "
                        "another name")


def same_file(a: str, b: str) -> bool:
    """Whether two existing paths are one file (a hard link, a bind mount,
    a name that differs only in case on a file system that ignores it)."""
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def replaceable(path: str, zarr: bool) -> None:
    """GridError, one line, unless what lies at ``path`` (if anything) is
    what an output of its format may replace: a NetCDF file, a Zarr store
    (a folder with Zarr's metadata at its top), or a symbolic link, which
    is replaced itself.  Replacing a folder deletes every file in it: one
    that is no Zarr store is no earlier output."""
    if os.path.islink(path) or not os.path.lexists(path):
        return
    if not zarr:
        if os.path.isdir(path):
            raise GridError(f"cannot write {path}: is a directory; give the output another "
                            "name")
        return
    if not os.path.isdir(path):
        raise GridError(f"cannot write {path}: is a file, not a Zarr store; give the output "
                        "another name")
    if not any(os.path.lexists(os.path.join(path, name)) for name in ZARR_MARKERS):
        raise GridError(f"cannot write {path}: is a directory, not a Zarr store (no "
                        f"{', '.join(ZARR_MARKERS[:-1])} or {ZARR_MARKERS[-1]} in it); "
                        "give the output another name")


def part_name(path: str, pid: int) -> str:
    """Where ``path`` is written until complete: beside it, hidden, named
    after this host and process, so that a run that crashed can be told
    from one still under way."""
    folder, base = os.path.split(os.path.abspath(path.rstrip("/")))
    return os.path.join(folder, f".{base}.{socket.gethostname()}-{pid}.part")


def remove_stale(path: str) -> None:
    """Removes what runs on this host that no longer exist (killed, or
    crashed) left of ``path``: their temporary outputs, and an old output
    moved aside while the new one took its place."""
    folder, base = os.path.split(os.path.abspath(path.rstrip("/")))
    prefix, suffix = f".{base}.{socket.gethostname()}-", ".part"
    try:
        names = os.listdir(folder)
    except OSError:
        return
    for name in names:
        stem = name[:-len(".old")] if name.endswith(".old") else name
        pid = stem[len(prefix):-len(suffix)] if stem.startswith(prefix) and \
            stem.endswith(suffix) else ""
        if pid.isdigit() and not alive(int(pid)):
            remove(os.path.join(folder, name))


def alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:   # there, but another user's
        return True
    return True


def put(temporary: str, path: str, overwrite: bool, zarr: bool) -> None:
    """Gives the complete output ``temporary`` its name ``path``.  Whatever
    took the name since the run began (another run's output) is kept and
    GridError raised, one line, unless ``overwrite``; with it, what is
    there is replaced if :func:`replaceable`, and is never lost if
    replacing fails."""
    if not (overwrite and os.path.lexists(path)):
        try:
            move_new(temporary, path)
            return
        except FileExistsError:
            if not overwrite:
                raise GridError(f"--output {path} exists, made while this run was computing "
                                "it: give --overwrite to replace it") from None
    replaceable(path, zarr)
    remove(swap(temporary, path))


@functools.lru_cache(maxsize=None)
def renameat2() -> Optional[Any]:
    """The C library's renameat2 (Linux, glibc 2.28 or later), or None."""
    if not sys.platform.startswith("linux"):
        return None
    try:
        function = ctypes.CDLL(None, use_errno=True).renameat2
    except (OSError, AttributeError):
        return None
    function.argtypes = (ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p,
                         ctypes.c_uint)
    function.restype = ctypes.c_int
    return function


def rename2(source: str, target: str, flags: int) -> bool:
    """renameat2 of ``source`` to ``target`` with ``flags``: True once done,
    False where the system or the file system lacks it; OSError (such as
    FileExistsError) for what failed."""
    function = renameat2()
    if function is None:
        return False
    if function(AT_FDCWD, os.fsencode(source), AT_FDCWD, os.fsencode(target), flags) == 0:
        return True
    code = ctypes.get_errno()
    if code in UNSUPPORTED:
        return False
    raise OSError(code, os.strerror(code), source, None, target)


def move_new(temporary: str, path: str) -> None:
    """Renames ``temporary`` to ``path``; FileExistsError, and nothing
    changed, if something is at ``path``."""
    if rename2(temporary, path, RENAME_NOREPLACE):
        return
    if os.path.lexists(path):
        raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), path)
    if os.path.isdir(temporary):
        try:   # a rename replaces an empty folder at most: no output is one
            os.rename(temporary, path)
        except OSError as e:
            if e.errno in (errno.EEXIST, errno.ENOTEMPTY, errno.ENOTDIR):
                raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), path) from None
            raise
        return
    try:
        os.link(temporary, path)
    except FileExistsError:
        raise
    except OSError:   # a file system without hard links
        os.rename(temporary, path)
        return
    os.unlink(temporary)


def swap(temporary: str, path: str) -> str:
    """Puts ``temporary`` in the place of what is at ``path``, and returns
    where that now lies (to be removed; "" if nowhere).  ``path`` holds the
    old output until the new one holds it: the two exchanged in one step, a
    file replaced in one step, or a folder moved aside and put back if the
    new one cannot take its place."""
    if rename2(temporary, path, RENAME_EXCHANGE):
        return temporary
    if not os.path.isdir(temporary):
        os.replace(temporary, path)
        return ""
    old = temporary + ".old"
    os.rename(path, old)
    try:
        os.rename(temporary, path)
    except BaseException:
        os.rename(old, path)
        raise
    return old


def remove(path: str) -> None:
    """Removes a file, a folder with everything in it or a symbolic link
    (not what it points to); nothing if ``path`` is "" or not there."""
    if not path:
        return
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    elif os.path.lexists(path):
        os.remove(path)
