"""Batch extraction over a generated collection: on threads and on a real
two-process Dask cluster, against serial calls of the package; failures,
resumed and interrupted runs, a killed worker, and bad invocations."""

import contextlib
import http.server
import json
import logging
import os
import signal
import socketserver
import threading
import time
from pathlib import Path

import dask
import numpy as np
import pytest
import soundfile
import zarr
from distributed import Client, WorkerPlugin

import vexolin
from vexolin import batch, cli
from vexolin.batch import _cluster, _progress, _threads, _work
from vexolin.batch import store as _store
from vexolin.batch._params import checked
from vexolin.batch._run import Run
from vexolin.batch.store import LocalStore, _local, _zarr_entry


@pytest.fixture(scope="module")
def collection(tmp_path_factory):
    """18 readable files (three rates, mono and stereo, WAV and FLAC, one
    level of subfolders) and two bad ones: not audio, and empty."""
    root = tmp_path_factory.mktemp("collection")
    rng = np.random.default_rng(7)
    good = []
    for i in range(18):
        sr = (16000, 22050, 44100)[i % 3]
        channels = 1 + i % 2
        t = np.arange(int((1.0 + 0.25 * (i % 5)) * sr)) / sr
        tone = np.sin(2 * np.pi * 110.0 * 2 ** (i / 12) * t)
        y = np.stack([tone * (0.3 + 0.1 * c) + 0.01 * rng.standard_normal(t.size) for c in range(channels)], axis=1)
        path = root / ("sub" if i % 4 == 0 else "") / f"t{i:02d}.{'flac' if i % 3 == 1 else 'wav'}"
        path.parent.mkdir(exist_ok=True)
        soundfile.write(path, y, sr)
        good.append(str(path))
    corrupt, empty = root / "corrupt.wav", root / "sub" / "empty.wav"
    corrupt.write_bytes(b"RIFF\x10\x00\x00\x00WAVEjunk" * 8)
    empty.write_bytes(b"")
    (root / "notes.txt").write_text("not an audio file, and not looked at")
    return {"root": str(root), "good": sorted(good), "corrupt": str(corrupt), "empty": str(empty)}


def entry_dir(out, path):
    return Path(out, _store.ENTRIES, _store.entry_key(path))


def serial_chroma(path):
    y, sr = vexolin.load(path)
    return vexolin.chroma_cqt(y, sr=sr)


def entry_files(out):
    """Every file under the store with its inode and modification time."""
    return {str(p): (p.stat().st_ino, p.stat().st_mtime_ns) for p in Path(out).rglob("*") if p.is_file()}


def test_cluster_run_equals_serial_calls_records_failures_and_resumes(collection, dask_client, tmp_path):
    client = dask_client
    out = tmp_path / "chroma.zarr"
    summary = batch.extract(collection["root"], out=out, client=client, progress=False)
    assert (summary.files, summary.computed, summary.skipped) == (20, 18, 0)
    assert summary.failed.keys() == {collection["corrupt"], collection["empty"]}
    assert "not a readable audio file" in summary.failed[collection["corrupt"]]
    assert "empty" in summary.failed[collection["empty"]]

    store = batch.open(out)
    assert list(store) == collection["good"] and store.feature == "chroma"
    for path in collection["good"]:
        np.testing.assert_array_equal(store[path], serial_chroma(path))
        about = store.info(path)
        assert (about["source"], about["sr"]) == (path, soundfile.info(path).samplerate)
        # Provenance: the version, the run's parameters and this file's estimated tuning.
        assert about["vexolin"] == vexolin.__version__ and about["params"]["tuning"] is None
        assert about["tuning"] == vexolin.estimate_tuning(*vexolin.load(path)[:1], sr=about["sr"])
        assert about["duration"] == pytest.approx(soundfile.info(path).duration)
    table = {row["path"]: row for row in store.table()}
    assert len(table) == 20
    assert {table[p]["status"] for p in collection["good"]} == {"done"}
    assert table[collection["corrupt"]]["status"] == "failed" and table[collection["corrupt"]]["error"]
    assert int(table[collection["good"][0]]["frames"]) == store[collection["good"][0]].shape[-1]

    before = entry_files(out / "entries")
    again = batch.extract(collection["root"], out=out, client=client, progress=False)
    assert (again.computed, again.skipped, len(again.failed)) == (0, 18, 2)  # known failures kept
    assert entry_files(out / "entries") == before

    # A file that changed is computed again, and only that one.
    changed = tmp_path / "changed.wav"
    soundfile.write(changed, np.sin(2 * np.pi * 440.0 * np.arange(22050) / 22050), 22050)
    third = batch.extract([collection["good"][1], str(changed)], out=out, client=client, progress=False)
    assert (third.computed, third.skipped) == (1, 1)
    soundfile.write(changed, np.sin(2 * np.pi * 261.63 * np.arange(33075) / 22050), 22050)
    fourth = batch.extract([str(changed)], out=out, client=client, progress=False)
    assert fourth.computed == 1
    np.testing.assert_array_equal(batch.open(out)[changed], serial_chroma(changed))


def test_thread_pool_and_command_line_keep_channels_and_parameters(collection, tmp_path, capsys):
    out = tmp_path / "cqt.zarr"
    args = ["batch", collection["root"], "--out", str(out), "--feature", "cqt", "--no-mono",
            "--hop-length", "256", "--n-bins", "60", "--workers", "2", "-q"]
    assert cli.main(args) == 1
    errors = capsys.readouterr().err.splitlines()
    assert len(errors) == 2 and all(line.startswith("vexolin: error: ") for line in errors)
    assert {collection["corrupt"], collection["empty"]} == {line.split(": ")[2] for line in errors}

    store = batch.open(out)
    assert store.params["n_bins"] == 60 and store.params["mono"] is False
    for path in collection["good"]:
        y, sr = vexolin.load(path, mono=False)
        want = vexolin.cqt_magnitude(y, sr=sr, hop_length=256, n_bins=60)
        assert want.shape[0] == soundfile.info(path).channels
        np.testing.assert_array_equal(store[path], want)


@pytest.mark.parametrize("feature, params, function", [
    ("vqt", {"gamma": 15.0, "filter_scale": 0.9, "n_bins": 60}, vexolin.vqt_magnitude),
    ("hcqt", {"harmonics": (1, 2, 3), "n_bins": 36, "bins_per_octave": 12, "fmin": 55.0}, vexolin.hcqt_magnitude),
])
@pytest.mark.parametrize("streamed", [False, True])
def test_widened_and_harmonic_features_are_stored_with_their_parameters(collection, tmp_path, monkeypatch,
                                                                        feature, params, function, streamed):
    if streamed:  # every file long enough to be computed in blocks
        monkeypatch.setattr(_work, "STREAM_BYTES", 1000)
    out = tmp_path / f"{feature}.zarr"
    paths = collection["good"][:4]
    assert batch.extract(paths, out=out, feature=feature, workers=2, progress=False, **params).computed == 4
    store = batch.open(out)
    for name, value in params.items():
        assert store.params[name] == (list(map(float, value)) if isinstance(value, tuple) else value)
    for path in paths:
        y, sr = vexolin.load(path)
        np.testing.assert_array_equal(store[path], function(y, sr=sr, **params))
    assert batch.extract(paths, out=out, feature=feature, progress=False, **params).skipped == 4


def stereo_file(tmp_path, seconds=0.5, sr=22050):
    path = tmp_path / "stereo.wav"
    t = np.arange(int(seconds * sr)) / sr
    soundfile.write(path, np.stack([0.3 * np.sin(2 * np.pi * 220.0 * t), 0.2 * np.sin(2 * np.pi * 330.0 * t)],
                                   axis=1), sr)
    return str(path)


@pytest.mark.parametrize("where", ["local folder", "memory:// URL"])
@pytest.mark.parametrize("mono, axes", [(True, ["harmonic", "bin", "frame"]),
                                        (False, ["channel", "harmonic", "bin", "frame"])])
def test_a_harmonic_entry_comes_back_in_its_own_shape_with_its_axes_named(tmp_path, where, mono, axes):
    path = stereo_file(tmp_path)
    out = str(tmp_path / "hcqt.zarr") if where == "local folder" else f"memory://shapes/{tmp_path.name}/hcqt.zarr"
    batch.extract(path, out=out, feature="hcqt", mono=mono, workers=1, progress=False)
    store = batch.open(out)
    y, sr = vexolin.load(path, mono=mono)
    want = vexolin.hcqt_magnitude(y, sr=sr)
    got = store[path]
    assert (got.shape, got.dtype) == (want.shape, want.dtype) and got.shape[-3:-1] == (6, 360)
    assert got.tobytes() == want.tobytes()
    assert store.info(path)["axes"] == axes and store.info(path)["channels"] == (1 if mono else 2)


def as_format_1(out):
    """The store as versions before format 2 wrote it: hcqt entries as
    (harmonics x bins, frames) rows, their axes not named."""
    group = Path(out, "zarr.json")
    document = json.loads(group.read_text())
    document["attributes"][_store._shared.FORMAT]["version"] = 1
    group.write_text(json.dumps(document))
    for entry in Path(out, _store.ENTRIES).iterdir():
        if entry.is_dir():
            values = zarr.open_array(entry, mode="r")[...]
            attrs = json.loads((entry / "zarr.json").read_text())["attributes"]
            del attrs["axes"], attrs["chunk_bytes"]
            for name in os.listdir(entry):
                os.remove(entry / name)
            for name, data in _zarr_entry.encode_entry(values.reshape(-1, values.shape[-1]), attrs).items():
                (entry / name).write_bytes(data)


def test_a_store_of_rows_opens_as_before_and_a_resumed_run_adds_rows_to_it(collection, tmp_path):
    out = tmp_path / "rows.zarr"
    first, second = collection["good"][:2]
    small = {"harmonics": (1, 2, 3), "n_bins": 24, "bins_per_octave": 12, "fmin": 55.0}
    batch.extract(first, out=out, feature="hcqt", progress=False, **small)
    as_format_1(out)
    summary = batch.extract([first, second], out=out, feature="hcqt", progress=False, **small)
    assert (summary.skipped, summary.computed) == (1, 1)
    store = batch.open(out)
    for path in (first, second):
        y, sr = vexolin.load(path)
        np.testing.assert_array_equal(store[path], vexolin.hcqt_magnitude(y, sr=sr, **small).reshape(3 * 24, -1))
        assert "axes" not in store.info(path)


def test_a_store_made_at_hcqts_former_default_hop_resumes_when_asked_for_it(collection, tmp_path):
    # Its hop was 512 by default, and stores record the hop whatever it is.
    out = tmp_path / "hop512.zarr"
    paths = collection["good"][:2]
    small = {"harmonics": (1, 2), "n_bins": 24, "bins_per_octave": 12, "fmin": 55.0}
    batch.extract(paths, out=out, feature="hcqt", hop_length=512, progress=False, **small)
    with pytest.raises(ValueError, match=r"made with hop_length=512, but this run asks for hop_length=256.*"
                                         r"to add to it, ask for hop_length=512$"):
        batch.extract(paths, out=out, feature="hcqt", progress=False, **small)
    assert batch.extract(paths, out=out, feature="hcqt", hop_length=512, progress=False, **small).skipped == 2


def test_an_interrupted_run_leaves_only_whole_entries_and_a_rerun_completes(collection, tmp_path, monkeypatch):
    out = tmp_path / "interrupted.zarr"
    stage_entry, written = LocalStore.stage_entry, []

    def cut_off_at_the_fourth(self, key, files):
        files = dict(files)
        if len(written) == 3:  # the data is on disk, it is never placed
            partial = os.path.join(self.path, _store.PARTIAL, key)
            os.makedirs(partial)
            for name, data in files.items():
                with open(os.path.join(partial, name), "wb") as f:
                    f.write(data)
            raise KeyboardInterrupt
        written.append(json.loads(files["zarr.json"])["attributes"]["source"])
        return stage_entry(self, key, files.items())

    monkeypatch.setattr(LocalStore, "stage_entry", cut_off_at_the_fourth)
    with pytest.raises(KeyboardInterrupt):
        batch.extract(collection["good"], out=out, workers=1, progress=False)
    monkeypatch.undo()

    store = batch.open(out)
    assert sorted(store) == sorted(written) and len(written) == 3
    statuses = [row["status"] for row in store.table()]
    assert statuses.count("done") == 3 and statuses.count("pending") == 15

    summary = batch.extract(collection["good"], out=out, workers=2, progress=False)
    assert (summary.computed, summary.skipped, summary.failed) == (15, 3, {})
    assert not any((out / _store.PARTIAL).iterdir())  # the cut-off write was cleared away
    store = batch.open(out)
    assert list(store) == collection["good"]
    for path in collection["good"]:
        np.testing.assert_array_equal(store[path], serial_chroma(path))


def test_entries_are_zarr_arrays_cut_along_time_and_damage_is_an_error(tmp_path, monkeypatch):
    monkeypatch.setattr(_zarr_entry, "_CHUNK_BYTES", 4 * 12 * 10)  # 10 frames a chunk
    path = str(tmp_path / "tone.wav")
    soundfile.write(path, np.sin(2 * np.pi * 440.0 * np.arange(22050) / 22050), 22050)
    out = tmp_path / "store.zarr"
    batch.extract(path, out=out, workers=1, progress=False)
    entry = entry_dir(out, path)
    array = zarr.open_group(out, mode="r")[_store.ENTRIES][entry.name]
    assert array.chunks == (12, 10) and array.attrs["source"] == path
    np.testing.assert_array_equal(array[...], serial_chroma(path))

    chunk = entry / "c.0.2"
    damaged = bytearray(chunk.read_bytes())
    damaged[len(damaged) // 2] ^= 0xFF
    chunk.write_bytes(bytes(damaged))
    with pytest.raises(ValueError, match="damaged"):
        batch.open(out)[path]


class KillOnce(WorkerPlugin):
    """Kills its worker's process outright as the worker's third task starts,
    once for the whole cluster (the marker file stays)."""

    def __init__(self, marker):
        self.marker = marker
        self.started = 0

    def transition(self, key, start, finish, **kwargs):
        if finish != "executing":
            return
        self.started += 1
        if self.started < 3:
            return
        try:
            os.close(os.open(self.marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
        except FileExistsError:
            return
        os.kill(os.getpid(), signal.SIGKILL)


def test_a_worker_killed_midway_loses_only_its_file_and_a_rerun_completes(collection, new_cluster, tmp_path):
    out, marker = tmp_path / "killed.zarr", tmp_path / "killed-once"
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}), new_cluster() as cluster, \
            Client(cluster) as c:
        c.register_plugin(KillOnce(str(marker)))
        first = batch.extract(collection["good"], out=out, client=c, progress=False)
        assert marker.exists()
        lost = [path for path, reason in first.failed.items() if "KilledWorker" in reason]
        assert lost and first.computed == 18 - len(first.failed)
        second = batch.extract(collection["good"], out=out, client=c, progress=False)
    assert (second.computed, second.skipped, second.failed) == (len(first.failed), first.computed, {})
    store = batch.open(out)
    assert list(store) == collection["good"]
    for path in collection["good"]:
        np.testing.assert_array_equal(store[path], serial_chroma(path))


def test_a_cluster_lost_midway_is_a_clear_error_and_a_rerun_completes(collection, new_cluster, tmp_path,
                                                                      monkeypatch):
    out = tmp_path / "lost.zarr"
    cluster = new_cluster()
    record, seen = _progress.Progress.__call__, []

    def close_after_three(self, row):
        record(self, row)
        seen.append(row)
        if len(seen) == 3:
            cluster.close()

    monkeypatch.setattr(_progress.Progress, "__call__", close_after_three)
    # What Dask's loggers in this process let through (its scheduler's
    # warnings on losing the workers, the client's tracebacks), and their levels.
    dask_loggers = {name: logging.getLogger(name) for name in logging.Logger.manager.loggerDict
                    if name.split(".")[0] == "distributed"}
    levels = {name: logger.level for name, logger in dask_loggers.items()}
    shown = []
    recorder = logging.Handler()
    recorder.emit = shown.append
    with contextlib.ExitStack() as stack:
        for logger in dask_loggers.values():
            logger.addHandler(recorder)
            stack.callback(logger.removeHandler, recorder)
        with Client(cluster) as c, pytest.raises(ConnectionError, match="lost the Dask cluster"):
            batch.extract(collection["good"], out=out, client=c, progress=False)
    monkeypatch.undo()
    assert [f"{r.name}: {r.getMessage()}" for r in shown if r.levelno >= logging.WARNING] == []
    assert {name: logger.level for name, logger in dask_loggers.items()} == levels

    statuses = [row["status"] for row in batch.open(out).table()]
    assert statuses.count("done") >= 3 and statuses.count("done") + statuses.count("pending") == 18
    summary = batch.extract(collection["good"], out=out, workers=2, progress=False)
    assert summary.computed + summary.skipped == 18 and not summary.failed
    store = batch.open(out)
    for path in collection["good"]:
        np.testing.assert_array_equal(store[path], serial_chroma(path))


def test_a_run_on_threads_never_has_more_threads_alive_than_its_budget(tmp_path, monkeypatch):
    monkeypatch.delenv("VEXOLIN_THREADS", raising=False)
    rng = np.random.default_rng(11)
    paths = [str(tmp_path / f"long{i}.wav") for i in range(8)]
    for path in paths:  # 30 s at hop 64: 10337 frames, room for 20 engine threads per call
        soundfile.write(path, 0.1 * rng.standard_normal(30 * 22050), 22050)
    params = dict(feature="cqt", hop_length=64, progress=False)
    # Zarr starts its I/O thread once per process, on first use: not this run's.
    batch.extract(paths[:1], out=tmp_path / "warm.zarr", workers=1, **params)

    counts, done = [], threading.Event()

    def sample():
        while not done.is_set():
            counts.append(len(os.listdir("/proc/self/task")))
            time.sleep(0.0002)

    sampler = threading.Thread(target=sample)
    sampler.start()
    before = len(os.listdir("/proc/self/task"))  # the sampler included
    try:
        summary = batch.extract(paths, out=tmp_path / "run.zarr", workers=4, **params)
    finally:
        done.set()
        sampler.join()
    assert summary.computed == 8
    # The pool's 4 threads, and nothing besides: each file's transform runs
    # on its pool thread. Allowance 0: the sampler is counted in `before`,
    # the bar is off (no tqdm monitor), Zarr's I/O thread was started above.
    print(f"threads: {before} before, at most {max(counts)} during the run, {len(counts)} samples")
    assert max(counts) <= before + 4
    assert max(counts) > before  # the sampler saw the pool


def test_a_file_at_fault_is_recorded_with_advice_the_caller_can_follow(tmp_path):
    nan, low, loud = tmp_path / "nan.wav", tmp_path / "low.wav", tmp_path / "loud.wav"
    noise, pipe = tmp_path / "noise.mp3", tmp_path / "pipe.wav"
    soundfile.write(nan, np.full(22050, np.nan), 22050, subtype="FLOAT")
    soundfile.write(low, np.sin(2 * np.pi * 440.0 * np.arange(8000) / 8000), 8000)
    # Finite samples whose transform overflows float32.
    soundfile.write(loud, 1e38 * np.sin(2 * np.pi * 440.0 * np.arange(22050) / 22050), 22050, subtype="FLOAT")
    noise.write_bytes(np.random.default_rng(4).bytes(5000))
    os.mkfifo(pipe)
    out = tmp_path / "a.zarr"
    summary = batch.extract([nan, low, loud, noise, pipe], out=out, workers=1, progress=False)
    assert summary.computed == 0 and len(batch.open(out)) == 0
    assert {row["status"] for row in batch.open(out).table()} == {"failed"}
    assert "holds NaN or infinite samples" in summary.failed[str(nan)]
    assert summary.failed[str(loud)] == ("the result is not finite: samples of up to 1e+38 overflow float32; "
                                         "scale the audio down")
    assert summary.failed[str(noise)] == "not a readable audio file (not an audio format this build reads)"
    assert summary.failed[str(pipe)] == "is a named pipe (FIFO), not a regular file"
    assert "check_finite" not in summary.failed[str(nan)]  # batch has no such argument
    # The default chroma reaches past 4 kHz, the file's Nyquist limit: the
    # reason names what to lower, and lowering it works.
    assert "Nyquist" in summary.failed[str(low)] and "n_octaves" in summary.failed[str(low)]
    assert batch.extract(low, out=tmp_path / "b.zarr", n_octaves=6, workers=1, progress=False).computed == 1


def test_bad_invocations_get_one_clear_error_and_leave_the_store_alone(collection, tmp_path):
    out = tmp_path / "kept.zarr"
    batch.extract(collection["good"][:2], out=out, workers=1, progress=False)
    before = entry_files(out)
    (tmp_path / "empty-dir").mkdir()
    a_file = tmp_path / "a-file"
    a_file.write_text("x")
    good = collection["good"][2:4]
    cases = [
        (dict(inputs=[str(tmp_path / "missing.wav")], out=out), FileNotFoundError, "no such file"),
        (dict(inputs=str(tmp_path / "empty-dir"), out=out), ValueError, "holds no audio files"),
        (dict(inputs=str(tmp_path / "*.nothing"), out=out), ValueError, "matches no files"),
        (dict(inputs=good, out=a_file), ValueError, "is a file"),
        (dict(inputs=good, out=out, n_octaves=6), ValueError, "write these to a new store"),
        (dict(inputs=good, out=out, feature="cqt"), ValueError, "feature='chroma'"),
        (dict(inputs=good, out=out, n_bins=60), TypeError, "unknown parameter n_bins"),
        (dict(inputs=good, out=out, sr=8000), ValueError, "Nyquist"),
        (dict(inputs=good, out=out, client="tcp://127.0.0.1:1"), ConnectionError, "cannot reach the Dask scheduler"),
        (dict(inputs=good, out=out, client="tcp://127.0.0.1:1", workers=2), ValueError, "workers"),
    ]
    for kwargs, error, words in cases:
        with pytest.raises(error, match=words):
            batch.extract(progress=False, **kwargs)
        assert entry_files(out) == before, kwargs
    assert a_file.read_text() == "x"
    with LocalStore(str(out)).lock(), pytest.raises(ValueError, match="another run is writing"):
        batch.extract(good, out=out, progress=False)
    lock = str(out / _store.LOCK)  # written by the holder above, which names itself there
    assert {k: v for k, v in entry_files(out).items() if k != lock} == \
        {k: v for k, v in before.items() if k != lock}


@contextlib.contextmanager
def not_a_scheduler(kind):
    """The address of a server on 127.0.0.1 where no Dask scheduler listens:
    a web server, or a port that takes connections and never says a word."""
    if kind == "http":
        class Web(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):  # stderr is the command's, under test
                pass

        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Web)
    else:
        class Silent(socketserver.BaseRequestHandler):
            def handle(self):
                while self.request.recv(65536):  # until the client gives up
                    pass

        server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Silent)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        yield f"tcp://127.0.0.1:{server.server_address[1]}"
    finally:
        server.shutdown()
        server.server_close()


@pytest.mark.parametrize("peer, via", [("silent", "extract"), ("http", "command line")])
def test_an_address_where_no_scheduler_listens_is_one_clear_error_not_a_hang(collection, tmp_path, capsys,
                                                                             peer, via):
    out = tmp_path / "never.zarr"
    outcome = {}
    with not_a_scheduler(peer) as address:
        def call():
            try:
                if via == "extract":
                    batch.extract(collection["good"][:1], out=out, client=address, progress=False)
                else:
                    outcome["status"] = cli.main(["batch", collection["good"][0], "--out", str(out),
                                                  "--scheduler", address, "-q"])
            except Exception as e:
                outcome["error"] = e

        caller = threading.Thread(target=call, daemon=True)
        caller.start()
        caller.join(30)  # the promise is 5 s; this only keeps a regression from hanging the suite
        assert not caller.is_alive(), "still waiting for the peer after 30 s"
    if via == "extract":
        assert isinstance(outcome["error"], ConnectionError)
        message = str(outcome["error"])
    else:
        assert outcome == {"status": 1}
        [message] = capsys.readouterr().err.splitlines()
    assert address in message and "is not a Dask scheduler" in message
    assert not out.exists()


@pytest.fixture(scope="module")
def command_line_cluster(tmp_path_factory):
    """A scheduler and two workers started as a user starts them, from the
    command line, each its own process; the scheduler's address from its log."""
    import subprocess
    import sys

    bin_dir = os.path.dirname(sys.executable)
    log = tmp_path_factory.mktemp("dask") / "scheduler.log"
    processes = []
    try:
        with open(log, "wb") as sink:
            processes.append(subprocess.Popen([os.path.join(bin_dir, "dask"), "scheduler", "--host", "127.0.0.1",
                                               "--port", "0", "--no-dashboard"], stdout=sink, stderr=sink))
        address, deadline = None, time.monotonic() + 60
        while address is None and time.monotonic() < deadline:
            for line in log.read_text(errors="replace").splitlines():
                if "Scheduler at:" in line:
                    address = line.split("Scheduler at:")[1].strip()
            time.sleep(0.1)
        assert address, log.read_text(errors="replace")
        for _ in range(2):
            processes.append(subprocess.Popen([os.path.join(bin_dir, "dask"), "worker", address, "--nthreads", "1",
                                               "--no-dashboard"], stdout=subprocess.DEVNULL,
                                              stderr=subprocess.DEVNULL))
        with Client(address, timeout=30) as c:
            c.wait_for_workers(2, timeout=60)
        yield address
    finally:
        for process in reversed(processes):
            process.terminate()
        for process in reversed(processes):
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


@pytest.mark.parametrize("via", ["extract", "command line"])
def test_a_scheduler_address_runs_on_processes_started_from_the_command_line(collection, command_line_cluster,
                                                                             tmp_path, via):
    out = tmp_path / "address.zarr"
    files = collection["good"][:6] + [collection["corrupt"]]
    if via == "extract":
        summary = batch.extract(files, out=out, client=command_line_cluster, progress=False)
        assert (summary.computed, list(summary.failed)) == (6, [collection["corrupt"]])
    else:
        assert cli.main(["batch", *files, "--out", str(out), "--scheduler", command_line_cluster, "-q"]) == 1
    store = batch.open(out)
    assert list(store) == sorted(collection["good"][:6])
    for path in collection["good"][:6]:
        np.testing.assert_array_equal(store[path], serial_chroma(path))


@pytest.mark.parametrize("workers", [1, 2])
def test_sigterm_stops_a_run_like_ctrl_c_and_the_table_agrees_with_the_entries(collection, tmp_path, workers):
    import subprocess
    import sys

    out = tmp_path / "terminated.zarr"
    # Each file takes at least 0.2 s, so the signal lands mid-run.
    script = ("import sys, time\n"
              "from vexolin.batch import _work\n"
              "compute = _work.compute\n"
              "_work.compute = lambda *a, **k: (time.sleep(0.2), compute(*a, **k))[1]\n"
              "from vexolin import cli\n"
              "sys.exit(cli.main(sys.argv[1:]))\n")
    run = subprocess.Popen([sys.executable, "-c", script, "batch", *collection["good"], "--out", str(out),
                            "--workers", str(workers), "-q"], stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and len(list((out / "entries").glob("*/zarr.json"))) < 2:
        time.sleep(0.02)
    run.send_signal(signal.SIGTERM)
    _, err = run.communicate(timeout=60)
    assert (run.returncode, err.strip()) == (143, "vexolin: terminated")
    statuses = [row["status"] for row in batch.open(out).table()]
    assert statuses.count("done") == len(batch.open(out)) and statuses.count("pending") > 0
    assert len(statuses) == 18


def test_a_missing_or_stale_table_is_rebuilt_from_the_entries(collection, tmp_path):
    out = tmp_path / "table.zarr"
    batch.extract(collection["good"][:4] + [collection["corrupt"]], out=out, workers=1, progress=False)
    table = out / _store.TABLE
    written = table.read_text()
    table.unlink()
    assert {(row["path"], row["status"]) for row in batch.open(out).table()} == \
        {(path, "done") for path in collection["good"][:4]}
    # A run killed before its table: its files still say pending; one entry gone since.
    table.write_text(written.replace(",done,", ",pending,"))
    LocalStore(str(out)).remove_entry(_store.entry_key(collection["good"][0]))
    rows = {row["path"]: row for row in batch.open(out).table()}
    assert [rows[path]["status"] for path in collection["good"][:4]] == ["pending", "done", "done", "done"]
    assert rows[collection["good"][1]]["frames"] == str(batch.open(out)[collection["good"][1]].shape[-1])
    assert rows[collection["corrupt"]]["status"] == "failed"


def test_short_files_share_cluster_tasks_up_to_a_target_of_audio_seconds():
    one_second = 44144  # a 22.05 kHz 16-bit mono WAV of 1 s
    paths = [f"/m/{i:04d}.wav" for i in range(2000)] + ["/m/long.flac"]
    groups = _cluster.group_files(paths, [one_second] * 2000 + [8000 * 3600], 120.0, 8)
    assert [path for group in groups for path in group] == paths  # every file once, in order
    assert groups[-1] == ["/m/long.flac"]
    # Estimated on the high side (16000 bytes per second of PCM): 43 files a task.
    assert {len(group) for group in groups[:-2]} == {43} and len(groups) == 48
    assert len(_cluster.group_files(paths[:20], [one_second] * 20, 120.0, 8)) == 10  # every thread gets work
    assert all(len(group) == 1 for group in _cluster.group_files(paths[:50], [one_second] * 50, 0.0, 8))


def test_a_cluster_task_runs_each_file_on_one_engine_thread_and_pins_blas(tmp_path, monkeypatch):
    monkeypatch.delenv("VEXOLIN_THREADS", raising=False)
    path = str(tmp_path / "long.wav")  # 30 s at hop 64: room for 20 engine threads
    soundfile.write(path, 0.1 * np.random.default_rng(5).standard_normal(30 * 22050), 22050)
    out = str(tmp_path / "task.zarr")
    run = Run(LocalStore(out), *checked("cqt", {"hop_length": 64}))
    _store.create_store(run.store, run.params, vexolin.__version__)
    counts, done = [], threading.Event()

    def sample():
        while not done.is_set():
            counts.append(len(os.listdir("/proc/self/task")))
            time.sleep(0.0002)

    _work.extract_files([path], run)  # Zarr's and numcodecs' threads start once, not this call's
    sampler = threading.Thread(target=sample)
    sampler.start()
    before = len(os.listdir("/proc/self/task"))
    try:
        [record] = _work.extract_files([path], run)
    finally:
        done.set()
        sampler.join()
    assert record["status"] == "done" and max(counts) == before

    # Dask's nanny starts workers with OMP/MKL/OPENBLAS_NUM_THREADS=1; a
    # worker started without one (dask worker --no-nanny) is pinned by its
    # first task. A fresh process with two CPUs' worth of BLAS threads:
    import subprocess
    import sys
    script = ("import sys, threadpoolctl\n"
              "from vexolin.batch import _work\n"
              "from vexolin.batch._params import checked\n"
              "from vexolin.batch._run import Run\n"
              "from vexolin.batch.store import LocalStore\n"
              "threads = lambda: sorted({p['num_threads'] for p in threadpoolctl.threadpool_info()})\n"
              "before = threads()\n"
              "run = Run(LocalStore(sys.argv[2]), *checked('chroma', {}))\n"
              "[record] = _work.extract_files([sys.argv[1]], run)\n"
              "print(before, threads(), record['status'])\n")
    env = {k: v for k, v in os.environ.items() if not k.endswith("_NUM_THREADS")}
    env["OPENBLAS_NUM_THREADS"] = "2"
    shown = subprocess.run([sys.executable, "-c", script, path, out], env=env, capture_output=True, text=True,
                           timeout=120, check=True).stdout.split()
    assert shown == ["[2]", "[1]", "done"]


def test_a_cluster_task_places_its_entries_after_one_flush_and_only_while_its_run_holds_the_lock(
        collection, tmp_path, monkeypatch):
    out = str(tmp_path / "ended.zarr")
    store = LocalStore(out)
    _store.create_store(store, Run(store, *checked("chroma", {})).params, vexolin.__version__)
    flushes = []  # what is staged, not yet placed, at each flush
    monkeypatch.setattr(_local, "_sync_filesystem", lambda path: flushes.append(
        (len(os.listdir(os.path.join(path, _store.PARTIAL))), len(batch.open(path)))))
    with store.lock() as run:
        records = _work.extract_files(collection["good"][:3], Run(store, *checked("chroma", {}), owner=run))
    assert [r["status"] for r in records] == ["done"] * 3 and flushes == [(3, 0)]
    assert sorted(batch.open(out)) == collection["good"][:3]
    with store.lock():  # the next run holds the store now
        records = _work.extract_files(collection["good"][3:6], Run(store, *checked("chroma", {}), owner=run))
    assert records == [{"path": collection["good"][3], "status": "pending"}]
    assert sorted(batch.open(out)) == collection["good"][:3] and not os.listdir(os.path.join(out, _store.PARTIAL))


def test_entries_reach_the_disk_before_they_are_placed_and_damaged_ones_are_redone(collection, tmp_path, monkeypatch):
    out = tmp_path / "durable.zarr"
    events = []
    stage, sync, rename = LocalStore.stage_entry, _local._sync_filesystem, os.rename

    def staging(self, key, files):
        events.append(("staged", key))
        return stage(self, key, files)

    def flushing(path):
        events.append(("flushed", None))
        sync(path)

    def placing(source, target):
        events.append(("placed", os.path.basename(target)))
        rename(source, target)

    monkeypatch.setattr(LocalStore, "stage_entry", staging)
    monkeypatch.setattr(_local, "_sync_filesystem", flushing)
    monkeypatch.setattr(os, "rename", placing)
    monkeypatch.setattr(_threads, "_PLACE_EVERY_FILES", 2)
    monkeypatch.setattr(_threads, "_PLACE_EVERY_S", 60.0)
    files = collection["good"][:3]
    batch.extract(files, out=out, workers=1, progress=False)
    for key in map(_store.entry_key, files):  # a flush of the disk between its staging and its placing
        assert ("flushed", None) in events[events.index(("staged", key)):events.index(("placed", key))]
    assert events.count(("flushed", None)) == 2  # one per group of two files, not one per file
    events.clear()
    batch.extract(collection["good"][3:4], out=out, workers=1, progress=False, fsync=False)
    assert ("flushed", None) not in events and ("placed", _store.entry_key(collection["good"][3])) in events
    monkeypatch.undo()

    # A chunk missing, a chunk cut short: each entry is redone, the others kept.
    missing, short = (entry_dir(out, path) / "c.0.0" for path in files[:2])
    missing.unlink()
    short.write_bytes(short.read_bytes()[:-5])
    summary = batch.extract(files, out=out, workers=1, progress=False)
    assert (summary.computed, summary.skipped) == (2, 1)
    for path in files:
        np.testing.assert_array_equal(batch.open(out)[path], serial_chroma(path))


def test_a_full_disk_stops_the_run_with_one_clear_error(collection, tmp_path, monkeypatch, capsys):
    import errno
    out = tmp_path / "full.zarr"
    stage_entry, written = LocalStore.stage_entry, []

    def full_after_two(self, key, files):
        if len(written) == 2:
            raise OSError(errno.ENOSPC, "No space left on device")
        written.append(key)
        return stage_entry(self, key, files)

    monkeypatch.setattr(LocalStore, "stage_entry", full_after_two)
    status = cli.main(["batch", *collection["good"], "--out", str(out), "--workers", "1", "-q"])
    [line] = capsys.readouterr().err.splitlines()
    assert status == 1 and line.startswith(f"vexolin: error: {out}: no space left for the store")
    monkeypatch.undo()
    statuses = [row["status"] for row in batch.open(out).table()]
    assert (statuses.count("done"), statuses.count("failed"), statuses.count("pending")) == (2, 0, 16)


def test_a_fault_in_reporting_progress_is_not_taken_for_a_lost_cluster(collection, dask_client, tmp_path,
                                                                       monkeypatch):
    def broken(self, row):
        raise RuntimeError("a bug in the progress bar")

    monkeypatch.setattr(_progress.Progress, "__call__", broken)
    with pytest.raises(RuntimeError, match="a bug in the progress bar"):
        batch.extract(collection["good"][:4], out=tmp_path / "bug.zarr", client=dask_client, progress=False)


def test_known_bad_files_keep_their_failure_until_retried_or_changed(collection, tmp_path, capsys):
    bad = tmp_path / "bad.wav"
    bad.write_bytes(Path(collection["corrupt"]).read_bytes())
    out = tmp_path / "retry.zarr"
    args = ["batch", str(bad), collection["good"][0], "--out", str(out), "--workers", "1"]

    def row():
        [found] = [r for r in batch.open(out).table() if r["path"] == str(bad)]
        return found["status"], found["attempts"], found["error"]

    assert cli.main(args) == 1
    status, attempts, error = row()
    assert (status, attempts) == ("failed", "1") and "not a readable audio file" in error
    capsys.readouterr()
    again = batch.extract([bad, collection["good"][0]], out=out, progress=False)
    assert (again.computed, again.skipped, again.not_retried, again.failed) == (0, 1, 1, {str(bad): error})
    assert row() == ("failed", "1", error)  # not read again
    assert cli.main(args) == 1
    assert "1 failed (1 as before, not tried again without --retry-failed)" in capsys.readouterr().err
    assert cli.main([*args, "--retry-failed", "-q"]) == 1
    assert row() == ("failed", "2", error)
    soundfile.write(bad, np.sin(2 * np.pi * 440.0 * np.arange(22050) / 22050), 22050)  # mended
    assert batch.extract([bad], out=out, progress=False).computed == 1
    assert row()[:2] == ("done", "1")


@pytest.mark.parametrize("via", ["threads", "cluster"])
def test_cens_in_batch_equals_chroma_cens_of_each_file(collection, dask_client, tmp_path, monkeypatch, via):
    # Long or not, CENS is computed on the whole signal: it smooths across frames.
    monkeypatch.setattr(_work, "STREAM_BYTES", 0)
    files = collection["good"][:4]
    how = {"workers": 2} if via == "threads" else {"client": dask_client}
    summary = batch.extract(files, out=tmp_path / "cens.zarr", feature="cens", progress=False, **how)
    assert (summary.computed, summary.failed) == (4, {})
    store = batch.open(tmp_path / "cens.zarr")
    assert store.feature == "cens" and store.params["win_len_smooth"] == 41
    for path in files:
        y, sr = vexolin.load(path)
        np.testing.assert_array_equal(store[path], vexolin.chroma_cens(y, sr=sr))


@pytest.mark.parametrize("where", ["client", "workers"])
def test_a_cluster_run_lacking_a_package_is_one_error_naming_it_before_anything_is_written(
        collection, new_cluster, tmp_path, monkeypatch, capsys, where):
    import sys

    out = tmp_path / "lacking.zarr"
    if where == "client":
        monkeypatch.setitem(sys.modules, "distributed", None)
        # Before the inputs are even listed: this one is missing.
        with pytest.raises(ImportError, match=r"lacks distributed: pip install 'vexolin\[batch\]'"):
            batch.extract(str(tmp_path / "missing.wav"), out=out, client="tcp://127.0.0.1:1", progress=False)
        assert not out.exists()
        return
    # Workers whose environment lacks threadpoolctl, which a task pins BLAS with.
    with new_cluster(preload=["import sys; sys.modules['threadpoolctl'] = None"]) as cluster, \
            Client(cluster) as c:
        with pytest.raises(ImportError, match=r"lacks threadpoolctl; install vexolin with its batch extra .*"
                                              r"pip install 'vexolin\[batch\]'"):
            batch.extract(collection["good"][:2], out=out, client=c, progress=False)
        assert cli.main(["batch", collection["good"][0], "--out", str(out), "--scheduler",
                         cluster.scheduler_address, "-q"]) == 1
    [line] = capsys.readouterr().err.splitlines()
    assert line.startswith("vexolin: error: the Dask workers cannot run vexolin's tasks: ") and "threadpoolctl" in line
    assert not out.exists()
