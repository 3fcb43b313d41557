"""`klimora grid` when things go wrong: a local cluster that does not start,
an output that is the input, files left open, a block under way as the
input is closed, the graph optimised for every block, a worker killed, a
crashed run's leftovers and Ctrl-C.  Every failure is one line on stderr
and leaves nothing behind."""

import hashlib
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from klimora.cli.grid_command import NEEDS

for _module, _ in NEEDS:   # what klimora grid refuses to run without
    pytest.importorskip(_module)
xr = pytest.importorskip("xarray")

import xarray.backends.file_manager as file_manager  # noqa: E402

from klimora import cli  # noqa: E402
from klimora.grid import example, radiation, scheduler, store  # noqa: E402


@pytest.fixture
def weather(tmp_path):
    """A small grid in tmp_path: weather.nc."""
    path = tmp_path / "weather.nc"
    example.weather(12, 8, 9, seed=5).to_netcdf(path)
    return str(path)


def klimora_grid(*args):
    return cli.main(["grid", *map(str, args)])


def tree(folder):
    """Every file under folder with a digest of its bytes (links as links)."""
    found = {}
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            path = os.path.join(root, name)
            if os.path.islink(path):
                found[path] = "-> " + os.readlink(path)
            elif os.path.isfile(path):
                with open(path, "rb") as f:
                    found[path] = hashlib.sha256(f.read()).hexdigest()
    return found


def nothing_open():
    """No file of xarray's cache and none of h5py's still open."""
    import h5py

    return not list(file_manager.FILE_CACHE.keys()) and \
        not h5py.h5f.get_obj_ids(types=h5py.h5f.OBJ_FILE)


# The local cluster does not start.

@pytest.mark.parametrize("failure, said", [
    (RuntimeError("Nanny failed to start."), "Nanny failed to start."),
    (OSError(98, "Address already in use"), "[Errno 98] Address already in use"),
    (TimeoutError(), "TimeoutError"),
])
@pytest.mark.parametrize("input_ok", [True, False])
def test_a_cluster_that_does_not_start_is_one_line(tmp_path, weather, capsys, monkeypatch,
                                                   failure, said, input_ok):
    distributed = pytest.importorskip("distributed")

    def fails(*args, **kwargs):
        raise failure

    monkeypatch.setattr(distributed, "LocalCluster", fails)
    source = weather if input_ok else str(tmp_path / "missing.nc")
    before = tree(tmp_path)
    assert klimora_grid("--input", source, "--output", tmp_path / "out.nc",
                        "--workers", 2) == 2
    err = capsys.readouterr().err
    # The input's own error, when there is one, is what is reported.
    want = f"--workers 2: the local dask.distributed cluster did not start: {said}\n" \
        if input_ok else f"cannot read {source}: "
    assert err.count("\n") == 1 and err.startswith(f"klimora: error: {want}"), err
    assert tree(tmp_path) == before and nothing_open()


# The output is the input.

def spell(tmp_path, case):
    """(input, output) of a case, made in tmp_path, which is the current
    folder."""
    weather = example.weather(6, 4, 5, seed=1)
    if case.startswith("zarr"):
        weather.to_zarr(tmp_path / "w.zarr", zarr_format=2, consolidated=True)
    else:
        weather.to_netcdf(tmp_path / "w.nc")
    if case == "symlink":
        os.symlink("w.nc", tmp_path / "link.nc")
    if case == "hard link":
        os.link(tmp_path / "w.nc", tmp_path / "hard.nc")
    if case == "folder symlink":
        os.symlink(".", tmp_path / "here")
    if case == "input in output store":
        os.mkdir(tmp_path / "r.zarr")
        os.rename(tmp_path / "w.nc", tmp_path / "r.zarr" / "w.nc")
    return {
        "same name": ("w.nc", "w.nc"),
        "./ before it": ("w.nc", "./w.nc"),
        "absolute and relative": (str(tmp_path / "w.nc"), "w.nc"),
        "through ..": ("w.nc", f"../{tmp_path.name}/w.nc"),
        "doubled slash": ("w.nc", ".//w.nc"),
        "symlink": ("w.nc", "link.nc"),
        "hard link": ("w.nc", "hard.nc"),
        "folder symlink": ("w.nc", "here/w.nc"),
        "zarr": ("w.zarr", "w.zarr"),
        "zarr trailing slash": ("w.zarr", "w.zarr/"),
        "zarr two slashes": ("w.zarr/", "./w.zarr//"),
        "zarr output inside": ("w.zarr", "w.zarr/out.nc"),
        "zarr store inside": ("w.zarr", "w.zarr/tas/out.zarr"),
        "input in output store": ("r.zarr/w.nc", "r.zarr"),
    }[case]


@pytest.mark.parametrize("case", [
    "same name", "./ before it", "absolute and relative", "through ..", "doubled slash",
    "symlink", "hard link", "folder symlink", "zarr", "zarr trailing slash",
    "zarr two slashes", "zarr output inside", "zarr store inside", "input in output store",
])
def test_an_output_that_is_the_input_is_refused(tmp_path, capsys, monkeypatch, case):
    monkeypatch.chdir(tmp_path)
    source, target = spell(tmp_path, case)
    before = tree(tmp_path)
    assert klimora_grid("--input", source, "--output", target) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith(f"klimora: error: --output {target} "), err
    assert tree(tmp_path) == before


def test_an_output_beside_the_input_is_written(tmp_path, monkeypatch):
    """Names alike but apart: w.nc and w.nc.zarr, w.zarr and w.zarr2.nc."""
    monkeypatch.chdir(tmp_path)
    example.weather(6, 4, 5, seed=1).to_netcdf("w.nc")
    assert klimora_grid("--input", "w.nc", "--output", "w.nc.zarr") == 0
    assert klimora_grid("--input", "w.nc", "--output", "w.nc.zarr2.nc") == 0


# --var naming a coordinate, or a variable that is another quantity too.

def spelled(ds, how):
    """The example grid as some files hold it."""
    if how == "wind speed alone":
        speed = np.hypot(ds.uas, ds.vas).assign_attrs(standard_name="wind_speed", units="m s-1")
        return ds.drop_vars(["uas", "vas"]).assign(sfcWind=speed)
    if how == "a variable linke":
        return ds.assign(linke=(ds.tas.dims, np.full(ds.tas.shape, 3.0)))
    if how == "the altitude a coordinate":
        return ds.drop_vars("orog").assign_coords(z=(ds.orog.dims, ds.orog.values,
                                                     {"units": "m"}))
    if how == "a second cloud fraction":
        return ds.assign(clt2=(ds.clt.dims, ds.clt.values / 2, ds.clt.attrs))
    return ds


#: What a run on a grid spelled so computes: the example grid, or with a
#: body albedo of its own.
MEANT = {"the altitude a coordinate": lambda ds: ds,
         "a second cloud fraction": lambda ds: ds.assign(body_albedo=ds.clt / 2)}


@pytest.mark.parametrize("how, names, said", [
    ("as made", ["air_temperature=lat"], "--var air_temperature=lat: 'lat' is a coordinate, "
                                         "not a data variable; name a data variable of "),
    ("wind speed alone", ["wind_speed=lon"], "--var wind_speed=lon: 'lon' is a coordinate, "),
    ("as made", ["surface_altitude=lat"], "--var surface_altitude=lat: 'lat' is a coordinate, "),
    ("as made", ["linke=time"], "--var linke=time: 'time' is a coordinate, "),
    ("as made", ["body_albedo=clt"],
     "--var body_albedo=clt: 'clt' is also cloud_area_fraction (its standard_name); one "
     "variable cannot be two quantities: give each its own"),
    ("as made", ["air_temperature=hurs"],
     "--var air_temperature=hurs: 'hurs' is also relative_humidity (its standard_name); "),
    ("a variable linke", ["body_albedo=linke"],
     "--var body_albedo=linke: 'linke' is also linke (its name); "),
    ("as made", ["air_temperature=tas", "dew_point_temperature=tas"],
     "--var air_temperature=tas: 'tas' is also dew_point_temperature (--var "
     "dew_point_temperature=tas); "),
    ("the altitude a coordinate", ["surface_altitude=z"], None),
    ("a second cloud fraction", ["body_albedo=clt2", "cloud_area_fraction=clt"], None),
])
def test_var_takes_no_coordinate_and_no_variable_twice(tmp_path, capsys, how, names, said):
    ds = example.weather(6, 4, 5, seed=1)
    spelled(ds, how).to_netcdf(source := tmp_path / "w.nc")
    status = klimora_grid("--input", source, "--output", tmp_path / "r.nc",
                          *sum((["--var", name] for name in names), []))
    err = capsys.readouterr().err
    if said is None:
        assert (status, err) == (0, "")
        with xr.open_dataset(tmp_path / "r.nc") as out:
            assert columns_equal(out, MEANT[how](ds))
        return
    assert status == 2 and err.count("\n") == 1 and err.startswith(f"klimora: error: {said}"), err
    assert sorted(os.listdir(tmp_path)) == ["w.nc"]


# An output that exists.

@pytest.mark.parametrize("suffix", [".nc", ".zarr"])
@pytest.mark.parametrize("case", ["refused", "a failing run", "overwritten"])
def test_an_existing_output_is_replaced_only_with_overwrite(tmp_path, weather, capsys, suffix,
                                                            case):
    target = tmp_path / f"out{suffix}"
    assert klimora_grid("--input", weather, "--output", target) == 0
    other = tmp_path / "other.nc"
    ds = example.weather(12, 8, 9, seed=6)
    if case == "a failing run":   # refused in its last block, once the others are stored
        ds["tas"][-1, -1, -1] = 673.15
    ds.to_netcdf(other)
    before = tree(tmp_path)
    status = klimora_grid("--input", other, "--output", target, "--chunks", "time=3",
                          *([] if case == "refused" else ["--overwrite"]))
    err = capsys.readouterr().err
    if case == "overwritten":
        assert (status, err) == (0, "")
        with xr.open_dataset(target) as out, xr.open_dataset(other) as given:
            assert np.array_equal(out.mrt.values, radiation(given).mrt.values, equal_nan=True)
        assert sorted(os.listdir(tmp_path)) == sorted(["weather.nc", "other.nc", target.name])
        return
    said = f"--output {target} exists: give --overwrite to replace it" if case == "refused" \
        else f"{other}: tas (air_temperature, as air_temp) must be between"
    assert status == 2 and err.count("\n") == 1 and err.startswith(f"klimora: error: {said}")
    assert tree(tmp_path) == before


# Files left open; blocks still reading as the input is closed.

@pytest.mark.parametrize("case", ["netcdf", "zarr", "zarr input", "refused part-way",
                                  "write fails", "bad chunks"])
def test_every_file_is_closed_whatever_happens(tmp_path, weather, monkeypatch, case):
    source, target = weather, str(tmp_path / ("out.zarr" if case == "zarr" else "out.nc"))
    status = 0
    if case == "zarr input":
        source = str(tmp_path / "weather.zarr")
        xr.open_dataset(weather).load().to_zarr(source, zarr_format=2, consolidated=True)
    elif case == "refused part-way":
        ds = example.weather(12, 8, 9, seed=5)
        ds["tas"][-1, -1, -1] = 673.15
        ds.to_netcdf(source := str(tmp_path / "bad.nc"))
        status = 2
    elif case == "write fails":
        def fails(self, parts):
            raise OSError(28, "No space left on device")
        monkeypatch.setattr(store.NetCDF, "store", fails)
        status = 2
    chunks = "time=-1" if case == "bad chunks" else "time=3,lat=4"
    status = 2 if case == "bad chunks" else status
    before = set(os.listdir(tmp_path))
    assert klimora_grid("--input", source, "--output", target, "--chunks", chunks) == status
    assert nothing_open()
    assert set(os.listdir(tmp_path)) == before | ({os.path.basename(target)} if status == 0
                                                  else set())


def test_the_input_is_closed_once_no_block_reads_it(tmp_path, monkeypatch):
    """A block refused while others are under way: those are finished (or
    never started) when the input is closed."""
    running, started, seen = set(), [], []
    encode = store.Encoder.__call__

    def slow(self, values, region):
        me = threading.get_ident(), time.perf_counter()
        running.add(me)
        started.append(me)
        try:
            time.sleep(0.2)
            return encode(self, values, region)
        finally:
            running.discard(me)

    def close(self):
        seen.append((len(started), len(running)))
        return closing(self)

    closing = xr.Dataset.close
    monkeypatch.setattr(store.Encoder, "__call__", slow)
    monkeypatch.setattr(xr.Dataset, "close", close)
    ds = example.weather(12, 8, 9, seed=5)
    ds["tas"][1, 0, 0] = 673.15   # in the second block: the first is under way
    ds.to_netcdf(source := str(tmp_path / "bad.nc"))
    assert klimora_grid("--input", source, "--output", tmp_path / "out.nc",
                        "--chunks", "time=1,lat=4") == 2
    # The input opened for the blocks is closed after they began, none running.
    assert seen and seen[-1][0] > 0 and seen[-1][1] == 0, seen


def test_the_graph_is_optimised_once_a_run_not_once_a_block(tmp_path, weather):
    """Optimising the whole grid's graph for every block made a block's cost
    grow with the number of blocks."""
    import dask
    from dask.array.optimization import optimize

    calls = []

    def counted(dsk, keys, **kwargs):
        calls.append(len(keys) if isinstance(keys, list) else 1)
        return optimize(dsk, keys, **kwargs)

    with dask.config.set(array_optimize=counted):
        assert klimora_grid("--input", weather, "--output", tmp_path / "out.nc",
                            "--chunks", "time=2,lat=2,lon=3") == 0
    assert len(calls) <= 2, f"{len(calls)} optimisations for 6 x 4 x 3 blocks"


# dask.distributed's log: the terminal holds the command's lines alone.

def kill_a_busy_worker(run, clusters):
    """Kills (SIGKILL) a worker of the recorded cluster as it computes,
    while the run goes on; its pid, or None if the run ended first."""
    import distributed

    while run.is_alive() and not clusters:
        time.sleep(0.01)
    if not clusters:
        return None
    # Not dask's default scheduler: the run computes in another thread.
    with distributed.Client(clusters[0].scheduler_address, timeout="10s",
                            set_as_default=False) as client:
        while run.is_alive():
            busy = [w for w, tasks in client.processing().items() if tasks]
            if busy:
                pid = client.run(os.getpid, workers=busy[:1])[busy[0]]
                os.kill(pid, signal.SIGKILL)
                return pid
            time.sleep(0.01)
    return None


@pytest.fixture
def port_8787_taken():
    """Port 8787 (dask's dashboard's) taken, as by another cluster."""
    taken = socket.socket()
    try:
        taken.bind(("127.0.0.1", 8787))
        taken.listen()
    except OSError:
        pass   # taken already
    yield
    taken.close()


def record_clusters(monkeypatch):
    """The local clusters the command starts, as they start."""
    clusters = []
    start = scheduler.local_cluster

    def recorded(*args):
        clusters.append(start(*args))
        return clusters[-1]

    monkeypatch.setattr(scheduler, "local_cluster", recorded)
    return clusters


@pytest.mark.parametrize("case", ["a worker killed", "a value refused on a worker"])
def test_stderr_holds_the_commands_lines_alone(tmp_path, weather, capfd, monkeypatch, case):
    pytest.importorskip("distributed")
    clusters = record_clusters(monkeypatch)
    source, status, said = weather, 0, ""
    if case == "a value refused on a worker":
        ds = example.weather(12, 8, 9, seed=5)
        ds["tas"][5, 3, 2] = 673.15
        ds.to_netcdf(source := str(tmp_path / "bad.nc"))
        status = 2
        said = (f"klimora: error: {source}: tas (air_temperature, as air_temp) must be "
                "between -90 and 60 degC, not 400\n")
    result = {}
    run = threading.Thread(target=lambda: result.update(status=klimora_grid(
        "--input", source, "--output", tmp_path / "k.nc", "--workers", 2,
        "--chunks", "time=1,lat=1")))
    run.start()
    killed = kill_a_busy_worker(run, clusters) if case == "a worker killed" else None
    run.join()
    err = capfd.readouterr().err
    assert result["status"] == status and err == said, err
    if case == "a worker killed":
        assert killed is not None
        assert klimora_grid("--input", weather, "--output", tmp_path / "t.nc") == 0
        with xr.open_dataset(tmp_path / "k.nc") as a, xr.open_dataset(tmp_path / "t.nc") as b:
            assert all(np.array_equal(a[n].values.view(np.uint64),
                                      b[n].values.view(np.uint64)) for n in a.data_vars)


def test_a_taken_dashboard_port_is_no_warning(tmp_path, weather, port_8787_taken):
    """In a process of its own: pytest would catch the warning."""
    pytest.importorskip("distributed")
    done = subprocess.run([sys.executable, "-I", "-m", "klimora", "grid", "--input", weather,
                           "--output", tmp_path / "out.nc", "--workers", "2"],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0 and done.stderr == "", done.stderr


# What a crashed run left.

def test_what_a_crashed_run_left_is_removed_and_a_live_ones_kept(tmp_path, weather):
    gone = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                          capture_output=True, text=True).stdout.strip()
    host = socket.gethostname()
    crashed = [tmp_path / f".out.nc.{host}-{gone}.part", tmp_path / f".out.zarr.{host}-{gone}.part",
               tmp_path / f".out.zarr.{host}-{gone}.part.old"]   # an old output moved aside
    kept = [tmp_path / f".out.nc.{host}-1.part",             # alive: init
            tmp_path / f".out.nc.elsewhere-{gone}.part",     # another host's
            tmp_path / f".other.nc.{host}-{gone}.part"]      # another output's
    for path in crashed[:1] + kept:
        path.write_bytes(b"half")
    for path in crashed[1:]:
        os.mkdir(path)
    assert klimora_grid("--input", weather, "--output", tmp_path / "out.nc") == 0
    assert klimora_grid("--input", weather, "--output", tmp_path / "out.zarr") == 0
    assert not any(path.exists() for path in crashed)
    assert all(path.exists() for path in kept)


# Ctrl-C.

@pytest.mark.parametrize("workers", [None, 2])
@pytest.mark.parametrize("where", ["opening the input", "storing a block"])
def test_ctrl_c_is_one_line_and_leaves_nothing(tmp_path, weather, capsys, monkeypatch,
                                              workers, where):
    if workers:
        pytest.importorskip("distributed")
    clusters = record_clusters(monkeypatch)

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    if where == "opening the input":
        monkeypatch.setattr(store, "chunking", interrupted)
    else:
        monkeypatch.setattr(store.NetCDF, "store", interrupted)
    before = set(os.listdir(tmp_path))
    options = ["--workers", workers] if workers else []
    assert klimora_grid("--input", weather, "--output", tmp_path / "out.nc", *options) == 130
    assert capsys.readouterr().err == "klimora: interrupted\n"
    assert set(os.listdir(tmp_path)) == before and nothing_open()
    assert all(cluster.status.name == "closed" for cluster in clusters)
    assert len(clusters) == (1 if workers else 0)


def session(leader):
    """The processes of the session ``leader`` started that still run."""
    alive = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[3]) == leader and fields[0] != "Z":
            alive.append(int(pid))
    return alive


def children(pid):
    found = []
    for child in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{child}/stat") as f:
                if int(f.read().rsplit(")", 1)[1].split()[1]) == pid:
                    found.append(child)
        except (OSError, ValueError):
            pass
    return found


@pytest.mark.skipif(not os.path.isdir("/proc"), reason="reads the processes from /proc")
@pytest.mark.parametrize("presses", [1, "again and again"])
@pytest.mark.parametrize("when", ["as the workers start", "as the blocks are computed"])
def test_ctrl_c_at_a_terminal_while_a_cluster_starts_or_runs(tmp_path, weather, presses, when):
    """Ctrl-C at a terminal reaches every process of the group: the
    command's, the cluster's workers and multiprocessing's helpers.  Pressed
    once, or again and again while the command winds down: one line, exit
    130, no process left and nothing written."""
    pytest.importorskip("distributed")
    before = tree(tmp_path)
    command = [sys.executable, "-m", "klimora", "grid", "--input", weather, "--output",
               str(tmp_path / "out.nc"), "--workers", "2", "--chunks", "time=1,lat=1"]
    run = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           start_new_session=True,
                           preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    def started():
        if when == "as the workers start":   # multiprocessing's resource tracker, a worker
            return len(children(run.pid)) >= 2
        return any(name.startswith(".out.nc.") for name in os.listdir(tmp_path))

    try:
        while not started() and run.poll() is None:
            time.sleep(0.002)
        os.killpg(run.pid, signal.SIGINT)
        while presses != 1 and run.poll() is None:
            time.sleep(0.1)
            os.killpg(run.pid, signal.SIGINT)
        out, err = run.communicate(timeout=120)
    finally:
        if run.poll() is None:
            run.kill()
    assert (run.returncode, err) == (130, b"klimora: interrupted\n")
    deadline = time.monotonic() + 10
    while session(run.pid) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert session(run.pid) == [] and tree(tmp_path) == before


@pytest.mark.parametrize("curvilinear, damage, message", [
    (False, lambda ds: ds["orog"].__setitem__((2, 3), -9999.0),
     "orog (surface_altitude, as height) must be between -500 and 9000 m, not -9999"),
    (True, lambda ds: ds["lat"].__setitem__((1, 1), 95.0),
     "lat (latitude) must be between -90 and 90 deg, not 95"),
])
def test_a_site_value_out_of_range_in_one_cell_is_refused(tmp_path, capsys, curvilinear, damage,
                                                         message):
    """Site fields read lazily are checked block by block, as the weather is."""
    ds = example.weather(30, 6, 7, seed=1, curvilinear=curvilinear)
    damage(ds)
    ds.to_netcdf(tmp_path / "w.nc")
    status = klimora_grid("--input", str(tmp_path / "w.nc"), "--output", str(tmp_path / "r.nc"))
    err = capsys.readouterr().err
    assert (status, err) == (2, f"klimora: error: {tmp_path / 'w.nc'}: {message}\n")
    assert sorted(os.listdir(tmp_path)) == ["w.nc"]


# Blocks stored in order, whatever order they are done in; each file's
# filters as the bytes were encoded for; a thread's buffers reused.

def columns_equal(out, ds, dtype="float64"):
    want = radiation(ds)
    return all(np.array_equal(out[n].values.astype(dtype).view(f"u{np.dtype(dtype).itemsize}"),
                              want[n].values.astype(dtype).view(f"u{np.dtype(dtype).itemsize}"))
               for n in want.data_vars)


@pytest.mark.parametrize("suffix, slower", [
    (".nc", "the earlier blocks"), (".zarr", "the earlier blocks"),
    (".nc", "every other block"),
])
def test_blocks_done_out_of_order_are_stored_in_order(tmp_path, weather, monkeypatch, suffix,
                                                       slower):
    encode, kind = store.Encoder.__call__, store.Zarr if suffix == ".zarr" else store.NetCDF
    storing, stored = kind.store, []

    def late(self, values, region):
        block = region[0].start // 3 * 4 + region[1].start // 4   # --chunks time=3,lat=4
        delay = 0.05 * (12 - block) if slower == "the earlier blocks" else 0.1 * (block % 2)
        time.sleep(max(delay, 0))
        return encode(self, values, region)

    def recorded(self, parts):
        stored.append(parts[0][1])
        return storing(self, parts)

    monkeypatch.setattr(store.Encoder, "__call__", late)
    monkeypatch.setattr(kind, "store", recorded)
    target = tmp_path / f"out{suffix}"
    assert klimora_grid("--input", weather, "--output", target, "--chunks", "time=3,lat=4") == 0
    assert stored == sorted(stored) and len(stored) == 4 * 2 * 1
    with xr.open_dataset(weather) as ds, xr.open_dataset(target, engine=None) as out:
        assert columns_equal(out, ds)


@pytest.mark.parametrize("compression, netcdf_filters, zarr_codec", [
    ("lz4", {"blosc": {"compressor": "blosc_lz4", "shuffle": 1}}, ("lz4", 1)),
    ("zstd", {"zstd": True, "shuffle": False}, ("zstd", 1)),
    ("zlib", {"zlib": True, "shuffle": True}, ("zlib", "shuffle")),
    ("none", {"zlib": False, "zstd": False, "blosc": False, "shuffle": False}, None),
])
@pytest.mark.parametrize("suffix", [".nc", ".zarr"])
@pytest.mark.parametrize("dtype", ["float64", "float32"])
def test_each_file_decodes_the_bytes_as_encoded(tmp_path, weather, compression, netcdf_filters,
                                                zarr_codec, suffix, dtype):
    """The filters a file declares undo what the encoder did (a shuffle
    done and not declared, or declared and not done, gives other values);
    the grid's edge blocks too (9 is no multiple of 4)."""
    import json

    import netCDF4

    target = str(tmp_path / f"out{suffix}")
    assert klimora_grid("--input", weather, "--output", target, "--compression", compression,
                        "--dtype", dtype, "--chunks", "time=5,lat=3,lon=4") == 0
    if suffix == ".nc":
        with netCDF4.Dataset(target) as f:
            filters = f["mrt"].filters()
        assert {k: filters[k] for k in netcdf_filters} == netcdf_filters
    else:
        with open(os.path.join(target, "mrt", ".zarray")) as f:
            zarray = json.load(f)
        codec, filters = zarray["compressor"], zarray["filters"] or []
        if codec is not None and codec["id"] == "zlib":   # shuffled by a filter of its own
            assert (codec["id"], *[f["id"] for f in filters]) == zarr_codec
            assert filters[0]["elementsize"] == np.dtype(dtype).itemsize
        else:
            assert (codec and (codec["cname"], codec["shuffle"])) == zarr_codec or \
                (codec is None and zarr_codec is None)
    with xr.open_dataset(weather) as ds, xr.open_dataset(target, engine=None) as out:
        assert out["mrt"].dtype == dtype and columns_equal(out, ds, dtype)


@pytest.mark.parametrize("kind, compression", [
    ("netcdf", "lz4"), ("netcdf", "zstd"), ("netcdf", "zlib"), ("netcdf", "none"),
    ("zarr", "lz4"), ("zarr", "zstd"), ("zarr", "zlib"),
])
@pytest.mark.parametrize("dtype", ["float64", "float32"])
@pytest.mark.parametrize("columns", ["side by side", "apart"])
def test_a_threads_buffers_reused_leave_earlier_chunks_intact(kind, compression, dtype, columns):
    """Two blocks encoded one after the other in one thread, each with a
    chunk at the grid's edge, the columns of a cell side by side (as dask
    computes a block) or each column on its own: the first's bytes still
    decode to its values once the second has gone through the same
    buffers."""
    import zlib

    import numcodecs

    from klimora.grid import codecs

    def decoded(data, shape):
        if compression == "none":
            raw = data.tobytes()
        elif compression != "zlib" and (kind == "zarr" or compression == "lz4"):
            raw = numcodecs.Blosc().decode(data)
        elif compression == "zstd":
            raw = numcodecs.Zstd().decode(data)
        else:
            raw = numcodecs.Shuffle(np.dtype(dtype).itemsize).decode(zlib.decompress(data))
        return np.frombuffer(raw, dtype=dtype).reshape(shape)

    rng = np.random.default_rng(1)
    encoder = codecs.Encoder(kind, compression, (4, 6), dtype)
    region = (slice(0, 7), slice(0, 6))   # a whole chunk and one of 3 x 6 at the edge
    first, second = (rng.normal(size=(7, 6, 15)) if columns == "side by side" else
                     np.moveaxis(rng.normal(size=(15, 7, 6)), 0, -1) for _ in range(2))
    parts = encoder(first, region)
    encoder(second, region)
    for k, offset, data in parts:
        got = decoded(data, (4, 6))
        want = np.full((4, 6), np.nan, dtype=dtype)
        piece = first[offset[0]:offset[0] + 4, :, k].astype(dtype)
        want[:len(piece)] = piece
        assert np.array_equal(got, want, equal_nan=True), (k, offset)
