"""Batch extraction over a generated collection: on threads and on a real
two-process Dask cluster, against serial calls of the package; failures,
resumed and interrupted runs, a killed worker, and bad invocations."""

import contextlib
import http.server
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
from distributed import Client, LocalCluster, WorkerPlugin

import vexolin
from vexolin import batch, cli
from vexolin.batch import _run, _store, _zarr_entry


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


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=":0") as cluster, Client(cluster) as c:
        yield c


def serial_chroma(path):
    y, sr = vexolin.load(path)
    return vexolin.chroma_cqt(y, sr=sr)


def entry_files(out):
    """Every file under the store with its inode and modification time."""
    return {str(p): (p.stat().st_ino, p.stat().st_mtime_ns) for p in Path(out).rglob("*") if p.is_file()}


def test_cluster_run_equals_serial_calls_records_failures_and_resumes(collection, client, tmp_path):
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
        assert about["duration"] == pytest.approx(soundfile.info(path).duration)
    table = {row["path"]: row for row in store.table()}
    assert len(table) == 20
    assert {table[p]["status"] for p in collection["good"]} == {"done"}
    assert table[collection["corrupt"]]["status"] == "failed" and table[collection["corrupt"]]["error"]
    assert int(table[collection["good"][0]]["frames"]) == store[collection["good"][0]].shape[-1]

    before = entry_files(out / "entries")
    again = batch.extract(collection["root"], out=out, client=client, progress=False)
    assert (again.computed, again.skipped, len(again.failed)) == (0, 18, 2)  # failures are retried
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


def test_an_interrupted_run_leaves_only_whole_entries_and_a_rerun_completes(collection, tmp_path, monkeypatch):
    out = tmp_path / "interrupted.zarr"
    write_entry, written = _store.write_entry, []

    def cut_off_at_the_fourth(out_, key, values, attrs):
        if len(written) == 3:  # the data is on disk, its rename never happens
            partial = os.path.join(out_, _store.PARTIAL, key)
            os.makedirs(os.path.dirname(partial), exist_ok=True)
            import zarr
            zarr.create_array(store=partial, data=values, attributes=attrs, zarr_format=3)
            raise KeyboardInterrupt
        write_entry(out_, key, values, attrs)
        written.append(attrs["source"])

    monkeypatch.setattr(_store, "write_entry", cut_off_at_the_fourth)
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
    entry = Path(_store.entry_dir(str(out), _store.entry_key(path)))
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


def test_a_worker_killed_midway_loses_only_its_file_and_a_rerun_completes(collection, tmp_path):
    out, marker = tmp_path / "killed.zarr", tmp_path / "killed-once"
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}), \
            LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                         dashboard_address=":0") as cluster, Client(cluster) as c:
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


def test_a_cluster_lost_midway_is_a_clear_error_and_a_rerun_completes(collection, tmp_path, monkeypatch):
    out = tmp_path / "lost.zarr"
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                           dashboard_address=":0")
    record, seen = _run.Progress.__call__, []

    def close_after_three(self, row):
        record(self, row)
        seen.append(row)
        if len(seen) == 3:
            cluster.close()

    monkeypatch.setattr(_run.Progress, "__call__", close_after_three)
    with Client(cluster) as c, pytest.raises(ConnectionError, match="lost the Dask cluster"):
        batch.extract(collection["good"], out=out, client=c, progress=False)
    monkeypatch.undo()

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
    nan, low = tmp_path / "nan.wav", tmp_path / "low.wav"
    soundfile.write(nan, np.full(22050, np.nan), 22050, subtype="FLOAT")
    soundfile.write(low, np.sin(2 * np.pi * 440.0 * np.arange(8000) / 8000), 8000)
    summary = batch.extract([nan, low], out=tmp_path / "a.zarr", workers=1, progress=False)
    assert summary.computed == 0
    assert "holds NaN or infinite samples" in summary.failed[str(nan)]
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
    with _store.run_lock(str(out)), pytest.raises(ValueError, match="another run is writing"):
        batch.extract(good, out=out, progress=False)
    assert entry_files(out) == before


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
