"""Batch extraction from and into an object store: a local S3-compatible
server (moto, in server mode on loopback) read and written through s3fs, on
a two-process Dask cluster and on threads, against serial calls of the
package on the same files; half-written entries, a killed worker, an
interrupted run, a store that stops answering and the store's lock."""

import collections
import functools
import io
import itertools
import json
import os
import socket
import subprocess
import sys
import threading
import time

import boto3
import dask
import numpy as np
import pytest
import soundfile
import zarr
from distributed import Client
from moto.server import ThreadedMotoServer

import vexolin
from vexolin import batch, cli
from vexolin.batch import _fs, _progress, _work
from vexolin.batch import store as _store
from vexolin.batch._inputs import Inputs
from vexolin.batch._params import checked
from vexolin.batch._run import Run
from vexolin.batch.store import ObjectStore, _object

from test_batch import KillOnce

BUCKET = "music"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="module")
def s3(tmp_path_factory):
    """A moto server holding 10 files (WAV and FLAC, mono and stereo, three
    rates, one in a subfolder) and a file that is not audio; local copies of
    each for the serial reference."""
    port = free_port()
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=port, verbose=False)
    server.start()
    endpoint = f"http://127.0.0.1:{port}"
    options = {"key": "testing", "secret": "testing",
               "client_kwargs": {"endpoint_url": endpoint, "region_name": "us-east-1"}}
    client = boto3.client("s3", endpoint_url=endpoint, region_name="us-east-1",
                          aws_access_key_id="testing", aws_secret_access_key="testing")
    client.create_bucket(Bucket=BUCKET)
    local = tmp_path_factory.mktemp("s3-copies")
    rng = np.random.default_rng(3)
    good = {}
    for i in range(10):
        sr, channels, fmt = (16000, 22050, 44100)[i % 3], 1 + i % 2, ("WAV", "FLAC")[i % 2]
        t = np.arange(int((1.0 + 0.3 * (i % 4)) * sr)) / sr
        y = np.stack([np.sin(2 * np.pi * 130.0 * 2 ** (i / 12) * t) * (0.4 + 0.1 * c)
                      + 0.01 * rng.standard_normal(t.size) for c in range(channels)], axis=1)
        key = f"{'deep/' if i == 4 else ''}s{i}.{fmt.lower()}"
        soundfile.write(local / f"s{i}.{fmt.lower()}", y, sr)
        client.put_object(Bucket=BUCKET, Key=key, Body=(local / f"s{i}.{fmt.lower()}").read_bytes())
        good[f"s3://{BUCKET}/{key}"] = str(local / f"s{i}.{fmt.lower()}")
    client.put_object(Bucket=BUCKET, Key="broken.wav", Body=b"RIFF\x10\x00\x00\x00WAVEjunk" * 8)
    yield {"options": options, "endpoint": endpoint, "good": good, "bad": f"s3://{BUCKET}/broken.wav",
           "client": client}
    server.stop()


def serial(local):
    y, sr = vexolin.load(local)
    return vexolin.chroma_cqt(y, sr=sr)


def objects(s3, prefix):
    listing = s3["client"].list_objects_v2(Bucket=BUCKET, Prefix=prefix).get("Contents", [])
    return {item["Key"]: item["ETag"] for item in listing}


def test_a_cluster_run_from_s3_into_s3_equals_serial_calls_and_resumes(s3, dask_client):
    cluster = dask_client
    out = f"s3://{BUCKET}/runs/chroma.zarr"
    summary = batch.extract(f"s3://{BUCKET}/", out=out, client=cluster, progress=False,
                            storage_options=s3["options"])
    assert (summary.files, summary.computed, list(summary.failed)) == (11, 10, [s3["bad"]])
    assert "not a readable audio file" in summary.failed[s3["bad"]]
    store = batch.open(out, storage_options=s3["options"])
    assert sorted(store) == sorted(s3["good"])
    for url, local in s3["good"].items():
        np.testing.assert_array_equal(store[url], serial(local))
    # A plain Zarr v3 group at the same URL.
    group = zarr.open_group(out, mode="r", storage_options=s3["options"])
    url = sorted(s3["good"])[0]
    array = group[_store.ENTRIES][_store.entry_key(url)]
    assert array.attrs["source"] == url
    np.testing.assert_array_equal(array[...], store[url])
    assert {row["path"]: row["status"] for row in store.table()} == {**dict.fromkeys(s3["good"], "done"),
                                                                     s3["bad"]: "failed"}
    before = objects(s3, "runs/chroma.zarr/entries/")
    again = batch.extract(f"s3://{BUCKET}/", out=out, client=cluster, progress=False,
                          storage_options=s3["options"])
    assert (again.computed, again.skipped) == (0, 10)
    assert objects(s3, "runs/chroma.zarr/entries/") == before


def test_half_written_entries_are_redone_and_an_interrupted_run_completes(s3, monkeypatch):
    out = f"s3://{BUCKET}/runs/interrupted.zarr"
    urls = sorted(s3["good"])
    write_entry, written, arrivals = ObjectStore.write_entry, [], itertools.count()

    def cut_off_at_the_fourth(self, key, files):
        files = dict(files)
        if next(arrivals) >= 3:  # from the fourth on, the chunks are stored, the metadata never is
            self._fs.pipe({self._path(_store.ENTRIES, key, n): d for n, d in files.items() if n != "zarr.json"})
            raise KeyboardInterrupt
        write_entry(self, key, files.items())
        written.append(key)

    monkeypatch.setattr(ObjectStore, "write_entry", cut_off_at_the_fourth)
    with pytest.raises(KeyboardInterrupt):
        batch.extract(urls, out=out, workers=1, progress=False, storage_options=s3["options"])
    monkeypatch.undo()
    store = batch.open(out, storage_options=s3["options"])
    assert len(store) == 3
    statuses = [row["status"] for row in store.table()]
    assert statuses.count("done") == 3 and statuses.count("pending") == 7

    # Damage two whole entries as a crash mid-write would: a chunk missing, a chunk short.
    # Which three were written depends on how the pool's threads ran.
    assert len(written) == 3
    keys = written[:2]
    s3["client"].delete_object(Bucket=BUCKET, Key=f"runs/interrupted.zarr/entries/{keys[0]}/c.0.0")
    chunk = f"runs/interrupted.zarr/entries/{keys[1]}/c.0.0"
    body = s3["client"].get_object(Bucket=BUCKET, Key=chunk)["Body"].read()
    s3["client"].put_object(Bucket=BUCKET, Key=chunk, Body=body[: len(body) // 2])
    assert len(batch.open(out, storage_options=s3["options"])) == 1

    summary = batch.extract(urls, out=out, workers=2, progress=False, storage_options=s3["options"])
    assert (summary.computed, summary.skipped, summary.failed) == (9, 1, {})
    store = batch.open(out, storage_options=s3["options"])
    for url, local in s3["good"].items():
        np.testing.assert_array_equal(store[url], serial(local))


def test_damaged_and_crafted_entries_on_s3_are_read_errors_or_ignored_and_redone(s3):
    out, prefix = f"s3://{BUCKET}/runs/damaged.zarr", "runs/damaged.zarr/entries"
    urls = sorted(s3["good"])[:4]
    batch.extract(urls, out=out, workers=1, progress=False, storage_options=s3["options"])

    def edit(url, name, change):
        key = f"{prefix}/{_store.entry_key(url)}/{name}"
        body = s3["client"].get_object(Bucket=BUCKET, Key=key)["Body"].read()
        s3["client"].put_object(Bucket=BUCKET, Key=key, Body=change(body))

    def with_attrs(**attrs):
        def change(body):
            document = json.loads(body)
            document["attributes"].update(attrs)
            document["shape"][-1] = document["attributes"]["frames"]
            document["chunk_grid"]["configuration"]["chunk_shape"][-1] = 1
            return json.dumps(document).encode()
        return change

    edit(urls[0], "c.0.0", lambda body: body[:20] + bytes([body[20] ^ 0x55]) + body[21:])  # same size
    edit(urls[1], "zarr.json", with_attrs(source=[urls[1]]))
    edit(urls[2], "zarr.json", with_attrs(frames=12 * 10**8))
    store = batch.open(out, storage_options=s3["options"])
    assert sorted(store) == [urls[0], urls[3]]
    with pytest.raises(ValueError, match=f"the entry of {urls[0]} is damaged \\(a chunk does not decode"):
        store[urls[0]]
    with pytest.raises(ValueError, match=f"the entry of {urls[2]} is damaged \\(its shape implies 1200000000 chunks"):
        store[urls[2]]
    summary = batch.extract(urls, out=out, workers=1, progress=False, storage_options=s3["options"])
    assert (summary.computed, summary.skipped) == (3, 1)
    store = batch.open(out, storage_options=s3["options"])
    for url in urls:
        np.testing.assert_array_equal(store[url], serial(s3["good"][url]))


def test_a_worker_killed_midway_on_s3_loses_only_its_file(s3, new_cluster, tmp_path):
    out, marker = f"s3://{BUCKET}/runs/killed.zarr", tmp_path / "killed-once"
    urls = sorted(s3["good"])
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}), new_cluster() as cluster, \
            Client(cluster) as c:
        c.register_plugin(KillOnce(str(marker)))
        first = batch.extract(urls, out=out, client=c, progress=False, storage_options=s3["options"])
        assert marker.exists()
        assert first.failed and all("KilledWorker" in reason for reason in first.failed.values())
        second = batch.extract(urls, out=out, client=c, progress=False, storage_options=s3["options"])
    assert (second.computed, second.skipped, second.failed) == (len(first.failed), first.computed, {})
    store = batch.open(out, storage_options=s3["options"])
    for url, local in s3["good"].items():
        np.testing.assert_array_equal(store[url], serial(local))


def test_the_lock_object_names_its_owner_and_a_lapsed_lease_is_taken_over(s3):
    out = f"s3://{BUCKET}/runs/locked.zarr"
    urls = sorted(s3["good"])[:2]
    store = _store.open_store(out, s3["options"])
    with store.lock():
        held = json.loads(s3["client"].get_object(Bucket=BUCKET, Key="runs/locked.zarr/.lock")["Body"].read())
        assert f"{socket.gethostname()} pid {os.getpid()} run " in held["owner"]
        with pytest.raises(ValueError, match=f"another run is writing to {out} \\({held['owner']}"):
            batch.extract(urls, out=out, workers=1, progress=False, storage_options=s3["options"])
    assert "runs/locked.zarr/.lock" not in objects(s3, "runs/locked.zarr/")
    # A run killed outright leaves its lock; once the lease has run out, the next run goes ahead.
    s3["client"].put_object(Bucket=BUCKET, Key="runs/locked.zarr/.lock",
                            Body=json.dumps({"owner": "elsewhere pid 1 run x", "expires": time.time() - 1}))
    assert batch.extract(urls, out=out, workers=1, progress=False, storage_options=s3["options"]).computed == 2


def test_a_lease_is_renewed_only_while_the_lock_is_still_its_runs(s3, monkeypatch):
    monkeypatch.setattr(_object, "LEASE_S", 0.4)  # renewed every 0.1 s
    store = _store.open_store(f"s3://{BUCKET}/runs/taken.zarr", s3["options"])
    key = "runs/taken.zarr/.lock"
    with store.lock() as owner:
        time.sleep(0.3)
        renewed = json.loads(s3["client"].get_object(Bucket=BUCKET, Key=key)["Body"].read())
        assert renewed["owner"] == owner and renewed["expires"] > time.time()
        # This run stalled past its lease, and another took the store over.
        other = {"owner": "elsewhere pid 2 run y", "expires": time.time() + 60}
        s3["client"].put_object(Bucket=BUCKET, Key=key, Body=json.dumps(other))
        time.sleep(0.4)
        assert json.loads(s3["client"].get_object(Bucket=BUCKET, Key=key)["Body"].read()) == other
        assert store.lock_owner() != owner
    # Ending, the stalled run leaves the other's lock in place.
    assert json.loads(s3["client"].get_object(Bucket=BUCKET, Key=key)["Body"].read()) == other


def test_a_task_writes_nothing_once_its_run_no_longer_holds_the_lock(s3, monkeypatch):
    out = f"s3://{BUCKET}/runs/ended.zarr"
    urls = sorted(s3["good"])[:3]
    store = _store.open_store(out, s3["options"])
    request, sr, mono = checked("chroma", {})
    _store.create_store(store, Run(store, request, sr, mono).params, vexolin.__version__)
    compute, computed = _work.compute, []

    def next_run_takes_over_during_the_second(path, *args):
        computed.append(path)
        if len(computed) == 2:  # this run ends and another takes the store while the file computes
            s3["client"].put_object(Bucket=BUCKET, Key="runs/ended.zarr/.lock", Body=json.dumps(
                {"owner": "elsewhere pid 1 run next", "expires": time.time() + 60}))
        return compute(path, *args)

    monkeypatch.setattr(_work, "compute", next_run_takes_over_during_the_second)
    with store.lock() as owner:
        run = Run(store, request, sr, mono, Inputs(s3["options"]), owner=owner)
        records = _work.extract_files(urls, run)
    assert [r["status"] for r in records] == ["done", "pending"] and computed == urls[:2]
    assert sorted(store.scan().whole) == urls[:1]
    # A task that starts after its run has ended writes no entry, not even its first.
    assert _work.extract_files(urls[2:], run) == [
        {"path": urls[2], "status": "pending"}]
    assert sorted(store.scan().whole) == urls[:1]


def test_a_run_sends_no_request_per_file_beyond_reading_and_writing_it_and_sees_changes_next_time(s3, tmp_path):
    local = tmp_path / "short.wav"
    soundfile.write(local, 0.3 * np.sin(2 * np.pi * 330.0 * np.arange(8000) / 16000), 16000)
    urls = [f"s3://{BUCKET}/many/{i:02d}.wav" for i in range(20)]
    for url in urls:
        s3["client"].put_object(Bucket=BUCKET, Key=url.split("/", 3)[3], Body=local.read_bytes())
    fs, _ = _fs.filesystem(urls[0], s3["options"])
    sent = collections.Counter()

    def count(request, **_):
        sent[request.method] += 1

    fs.s3.meta.events.register("before-send.s3", count)
    try:
        out = f"s3://{BUCKET}/runs/many.zarr"
        assert batch.extract(urls, out=out, workers=2, progress=False, storage_options=s3["options"]).computed == 20
        # One listing of the folder gives every file's size and time: no
        # request per file for its checks, its stamp or opening it (the
        # store's own checks remain, a few per run); a new entry has no old
        # metadata to remove first.
        assert sent["HEAD"] < len(urls) and sent["GET"] < 2 * len(urls) and sent["DELETE"] < len(urls)
        soundfile.write(local, 0.3 * np.sin(2 * np.pi * 330.0 * np.arange(12000) / 16000), 16000)
        s3["client"].put_object(Bucket=BUCKET, Key="many/07.wav", Body=local.read_bytes())
        again = batch.extract(urls, out=out, workers=2, progress=False, storage_options=s3["options"])
    finally:
        fs.s3.meta.events.unregister("before-send.s3", count)
    assert (again.computed, again.skipped) == (1, 19)
    assert batch.open(out, storage_options=s3["options"])[urls[7]].shape[-1] == 12000 // 512 + 1


def test_the_command_line_takes_storage_options_and_fsspec_configuration_from_the_environment(s3, tmp_path):
    out = f"s3://{BUCKET}/runs/cli.zarr"
    url = sorted(s3["good"])[1]
    env = {**os.environ, "FSSPEC_S3_KEY": "testing", "FSSPEC_S3_SECRET": "testing"}
    run = subprocess.run([sys.executable, "-m", "vexolin", "batch", url, s3["bad"], "--out", out, "-q",
                          "--storage-option", f"client_kwargs.endpoint_url={s3['endpoint']}",
                          "--storage-option", "client_kwargs.region_name=us-east-1"],
                         env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == 1, run.stderr
    [line] = run.stderr.splitlines()
    assert line.startswith(f"vexolin: error: {s3['bad']}: not a readable audio file")
    np.testing.assert_array_equal(batch.open(out, storage_options=s3["options"])[url], serial(s3["good"][url]))


def test_inputs_in_s3_go_into_a_local_store(s3, tmp_path):
    url = sorted(s3["good"])[3]
    summary = batch.extract([url], out=tmp_path / "local.zarr", workers=1, progress=False,
                            storage_options=s3["options"])
    assert summary.computed == 1
    np.testing.assert_array_equal(batch.open(tmp_path / "local.zarr")[url], serial(s3["good"][url]))


def test_a_format_not_decodable_from_a_stream_is_read_from_a_local_copy_that_is_removed(s3, monkeypatch, tmp_path):
    monkeypatch.setattr(_work, "load_stream", lambda *a, **k: (_ for _ in ()).throw(
        vexolin.AudioFileError("stream", "cannot decode from a stream")))
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    import tempfile
    monkeypatch.setattr(tempfile, "tempdir", None)
    url = sorted(s3["good"])[2]
    run = Run(_store.LocalStore(str(tmp_path / "unused.zarr")), *checked("chroma", {}), Inputs(s3["options"]))
    values, sr, _, _ = _work.compute(url, None, run, 1)
    np.testing.assert_array_equal(values, serial(s3["good"][url]))
    assert list(tmp_path.iterdir()) == []
    with pytest.raises(vexolin.AudioFileError, match=s3["bad"]):
        _work.compute(s3["bad"], None, run, 1)
    assert list(tmp_path.iterdir()) == []


def test_a_cluster_run_on_s3_interrupted_midway_is_completed_by_the_next(s3, dask_client, monkeypatch):
    cluster = dask_client
    out = f"s3://{BUCKET}/runs/ctrl-c.zarr"
    urls = sorted(s3["good"])
    record, seen = _progress.Progress.__call__, []

    def interrupt_after_three(self, row):
        record(self, row)
        seen.append(row)
        if len(seen) == 3:
            raise KeyboardInterrupt

    monkeypatch.setattr(_progress.Progress, "__call__", interrupt_after_three)
    with pytest.raises(KeyboardInterrupt):
        batch.extract(urls, out=out, client=cluster, progress=False, storage_options=s3["options"])
    monkeypatch.undo()
    # Tasks already running finish their current file (Dask cannot stop
    # them) and then see that the lock is no longer their run's.
    deadline = time.monotonic() + 60
    while any(cluster.processing().values()) and time.monotonic() < deadline:
        time.sleep(0.05)
    store = batch.open(out, storage_options=s3["options"])
    statuses = [row["status"] for row in store.table()]
    assert 3 <= statuses.count("done") == len(store) and statuses.count("pending") == 10 - len(store)
    summary = batch.extract(urls, out=out, client=cluster, progress=False, storage_options=s3["options"])
    assert summary.computed + summary.skipped == 10 and not summary.failed
    store = batch.open(out, storage_options=s3["options"])
    for url, local in s3["good"].items():
        np.testing.assert_array_equal(store[url], serial(local))


def test_long_remote_files_are_streamed_from_a_local_copy_that_is_removed(s3, monkeypatch, tmp_path):
    monkeypatch.setattr(_work, "STREAM_BYTES", 0)
    monkeypatch.setattr(_work, "_COPY_BYTES", 0)
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    import tempfile
    monkeypatch.setattr(tempfile, "tempdir", None)
    streamed = []
    stream = _work.streamed_entry
    monkeypatch.setattr(_work, "streamed_entry", lambda *a: (streamed.append(a[0]), stream(*a))[1])
    out = f"s3://{BUCKET}/runs/streamed.zarr"
    urls = sorted(s3["good"])[:4]
    summary = batch.extract(urls, out=out, workers=1, progress=False, storage_options=s3["options"])
    assert summary.computed == 4 and len(streamed) == 4 and list(tmp_path.iterdir()) == []
    store = batch.open(out, storage_options=s3["options"])
    for url in urls:
        np.testing.assert_array_equal(store[url], serial(s3["good"][url]))


def test_on_threads_waits_on_the_store_overlap_while_no_more_files_compute_than_the_budget(s3, monkeypatch):
    compute, write = _work.compute, ObjectStore.write_entry
    now = {"compute": 0, "write": 0}
    most = {"compute": 0, "write": 0}
    guard = threading.Lock()

    def counted(kind, fn):
        def run(*args, **kwargs):
            with guard:
                now[kind] += 1
                most[kind] = max(most[kind], now[kind])
            try:
                if kind == "write":
                    time.sleep(0.05)  # a slow store
                return fn(*args, **kwargs)
            finally:
                with guard:
                    now[kind] -= 1
        return run

    monkeypatch.setattr(_work, "compute", counted("compute", compute))
    monkeypatch.setattr(ObjectStore, "write_entry", counted("write", write))
    out = f"s3://{BUCKET}/runs/overlap.zarr"
    urls = sorted(s3["good"])
    summary = batch.extract(urls, out=out, workers=1, progress=False, storage_options=s3["options"])
    assert summary.computed == len(urls)
    assert most["compute"] == 1 and most["write"] > 1
    store = batch.open(out, storage_options=s3["options"])
    for url in urls:
        np.testing.assert_array_equal(store[url], serial(s3["good"][url]))


@pytest.fixture
def outage(tmp_path):
    """A store on a moto server of its own, which a test stops and starts
    again on the same port (moto keeps its objects in this process), and
    twelve short local files."""
    port = free_port()
    servers = [ThreadedMotoServer(ip_address="127.0.0.1", port=port, verbose=False)]
    servers[0].start()
    endpoint = f"http://127.0.0.1:{port}"
    client = boto3.client("s3", endpoint_url=endpoint, region_name="us-east-1",
                          aws_access_key_id="testing", aws_secret_access_key="testing")
    client.create_bucket(Bucket="outage")
    files = []
    for i in range(12):
        files.append(str(tmp_path / f"t{i:02d}.wav"))
        soundfile.write(files[-1], 0.3 * np.sin(2 * np.pi * (200 + 25 * i) * np.arange(22050) / 22050), 22050)

    def start():
        servers.append(ThreadedMotoServer(ip_address="127.0.0.1", port=port, verbose=False))
        servers[-1].start()

    yield {"endpoint": endpoint, "client": client, "files": files, "stop": servers[0].stop, "start": start,
           "argv": ["--storage-option", f"client_kwargs.endpoint_url={endpoint}",
                    "--storage-option", "client_kwargs.region_name=us-east-1", "--workers", "1"]}
    servers[-1].stop()


def outage_options(outage):
    return {"key": "testing", "secret": "testing",
            "client_kwargs": {"endpoint_url": outage["endpoint"], "region_name": "us-east-1"}}


def a_pid_that_has_ended():
    ended = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True)
    return int(ended.stdout)


@pytest.mark.parametrize("back_after", [12.0, None], ids=["back within the patience", "gone for good"])
def test_a_store_that_stops_answering_is_waited_for_then_given_up_in_one_line(outage, monkeypatch, capsys,
                                                                            back_after):
    monkeypatch.setenv("AWS_ACCESS_KEY_ID", "testing")
    monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", "testing")
    monkeypatch.setattr(_fs, "PATIENCE_S", 20.0 if back_after else 1.0)
    out, key = "s3://outage/features.zarr", "features.zarr/.lock"
    write, written = ObjectStore.write_entry, []

    def the_third_entry_stops_the_server(self, name, files):
        write(self, name, files)
        written.append(name)
        if len(written) == 3:
            outage["stop"]()
            if back_after:
                threading.Timer(back_after, outage["start"]).start()

    monkeypatch.setattr(ObjectStore, "write_entry", the_third_entry_stops_the_server)
    status = cli.main(["batch", *outage["files"], "--out", out, "-q", *outage["argv"]])
    err = capsys.readouterr().err
    monkeypatch.undo()
    if back_after:
        assert (status, err) == (0, "")
        assert len(batch.open(out, storage_options=outage_options(outage))) == 12
        assert "features.zarr/.lock" not in [item["Key"] for item in
                                             outage["client"].list_objects_v2(Bucket="outage")["Contents"]]
        return
    [line] = err.splitlines()
    assert status == 1 and line.startswith(f"vexolin: error: cannot reach {outage['endpoint']}: no answer for ")
    assert line.endswith(f"every file finished is in {out}: once it answers again, run the same again to do the rest")
    outage["start"]()
    # The run could not release its lock; once its process has ended, the
    # next run on this machine takes the lock over at once.
    held = json.loads(outage["client"].get_object(Bucket="outage", Key=key)["Body"].read())
    assert held["pid"] == os.getpid() and held["expires"] > time.time() + 60
    held["pid"] = a_pid_that_has_ended()
    outage["client"].put_object(Bucket="outage", Key=key, Body=json.dumps(held))
    summary = batch.extract(outage["files"], out=out, workers=1, progress=False, storage_options=outage_options(outage))
    # Every entry written before the server stopped is kept (threads other than the third's may have finished one).
    assert (summary.computed, summary.skipped, summary.failed) == (12 - len(written), len(written), {})
    store = batch.open(out, storage_options=outage_options(outage))
    for path in outage["files"]:
        np.testing.assert_array_equal(store[path], serial(path))


@pytest.mark.parametrize("owner, taken_over", [("this machine, ended", True), ("this machine, running", False),
                                               ("another machine", False)])
def test_a_lock_is_taken_over_at_once_only_from_an_ended_process_of_this_machine(s3, owner, taken_over):
    from vexolin._owner import machine
    out = f"s3://{BUCKET}/runs/takeover-{owner.replace(' ', '').replace(',', '-')}.zarr"
    running = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    try:
        pid, where = {"this machine, ended": (a_pid_that_has_ended(), machine()),
                      "this machine, running": (running.pid, machine()),
                      "another machine": (a_pid_that_has_ended(), "0123456789")}[owner]
        held = {"owner": f"somewhere pid {pid} run x", "expires": time.time() + 100, "pid": pid, "machine": where}
        s3["client"].put_object(Bucket=BUCKET, Key=f"{out.split('/', 3)[3]}/.lock", Body=json.dumps(held))
        run = functools.partial(batch.extract, sorted(s3["good"])[:1], out=out, workers=1, progress=False,
                                storage_options=s3["options"])
        if taken_over:
            assert run().computed == 1
        else:
            with pytest.raises(ValueError, match=f"another run is writing to {out} \\(somewhere pid {pid} run x, "
                                                 "its lease ends in (99|100) s"):
                run()
    finally:
        running.kill()
        running.wait()
