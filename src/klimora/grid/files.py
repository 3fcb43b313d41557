"""The files of ``klimora grid``: the output apart from the input, written
under a temporary name beside it that takes the output's name once
complete, and what runs that crashed left removed."""

from __future__ import annotations

import os
import shutil
import socket

from klimora.grid.cf import GridError


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


def part_name(path: str, pid: int) -> str:
    """Where ``path`` is written until complete: beside it, hidden, named
    after this host and process, so that a run that crashed can be told
    from one still under way."""
    folder, base = os.path.split(os.path.abspath(path.rstrip("/")))
    return os.path.join(folder, f".{base}.{socket.gethostname()}-{pid}.part")


def remove_stale(path: str) -> None:
    """Removes what runs on this host that no longer exist (killed, or
    crashed) left of ``path``: their temporary outputs."""
    folder, base = os.path.split(os.path.abspath(path.rstrip("/")))
    prefix, suffix = f".{base}.{socket.gethostname()}-", ".part"
    try:
        names = os.listdir(folder)
    except OSError:
        return
    for name in names:
        pid = name[len(prefix):-len(suffix)] if name.startswith(prefix) and \
            name.endswith(suffix) else ""
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


def replace(temporary: str, path: str) -> None:
    if os.path.isdir(temporary):
        if os.path.exists(path):
            old = temporary + ".old"
            os.rename(path, old)
            os.rename(temporary, path)
            remove(old)
        else:
            os.rename(temporary, path)
    else:
        os.replace(temporary, path)


def remove(path: str) -> None:
    if os.path.isdir(path):
        shutil.rmtree(path, ignore_errors=True)
    elif os.path.exists(path):
        os.remove(path)
