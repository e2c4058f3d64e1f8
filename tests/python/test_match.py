"""vexolin.match: a passage found across a store, at its place, across
transpositions and tempi; the store's matching index kept up to date; bad
queries and stores refused. Pieces of chords with harmonics are rendered here."""

import json
import os
import re
import socket

import boto3
import numpy as np
import pytest
import soundfile
import soxr
from moto.server import ThreadedMotoServer

import vexolin
import vexolin.batch
from vexolin import _match, _native
from vexolin.batch import _match_index
from vexolin.batch.store import ObjectStore
from vexolin.cli import main

SR = 22050
CHORD_SECONDS = 0.5


def chords(seed, seconds):
    """Random triads with four harmonics each, a new one every half second."""
    rng = np.random.default_rng(seed)
    t = np.arange(int(SR * CHORD_SECONDS)) / SR
    fade = np.minimum(1.0, np.minimum(t, t[::-1]) / 0.02)
    parts = []
    for _ in range(int(seconds / CHORD_SECONDS)):
        root = rng.integers(48, 60)
        notes = root + np.array([0, 4 if rng.random() < 0.5 else 3, 7])
        tone = sum(np.sin(2 * np.pi * 440 * 2 ** ((n - 69) / 12) * h * t) / h
                   for n in notes for h in (1, 2, 3, 4))
        parts.append(0.1 * fade * tone)
    return np.concatenate(parts).astype(np.float32)


@pytest.fixture(scope="module")
def collection(tmp_path_factory):
    music = tmp_path_factory.mktemp("music")
    for k in range(3):
        soundfile.write(music / f"piece{k}.wav", chords(k, 24), SR)
    out = tmp_path_factory.mktemp("stores") / "cens.zarr"
    vexolin.batch.extract(str(music), out=str(out), feature="cens", progress=False)
    return music, out


def passage(music, name, start, seconds):
    y, _ = soundfile.read(music / name, dtype="float32")
    return y[int(start * SR):int((start + seconds) * SR)]


def wrapped(k):
    return (k + 5) % 12 - 5


def test_a_passage_cut_from_a_file_is_found_at_its_place(collection):
    music, out = collection
    found = vexolin.match(passage(music, "piece1.wav", 7.0, 6.0), out, sr=SR, top_k=5)
    best = found[0]
    assert os.path.basename(best.path) == "piece1.wav"
    assert best.shift == 0 and best.tempo == 1.0 and best.score > 0.95
    assert abs(best.start - 7.0) < 0.3 and abs(best.end - 13.0) < 0.3
    assert [m.score for m in found] == sorted((m.score for m in found), reverse=True)
    # Matches in one file do not overlap.
    for a in found:
        for b in found:
            if a is not b and a.path == b.path:
                assert a.end <= b.start or b.end <= a.start


@pytest.mark.parametrize("k", [2, -3])
def test_a_passage_moved_by_resampling_is_found_with_its_shift_and_tempo(collection, k):
    music, out = collection
    original = passage(music, "piece2.wav", 5.0, 8.0)
    # Played at SR after resampling to SR / ratio: k semitones up and ratio times faster.
    ratio = 2 ** (k / 12)
    moved = soxr.resample(original, SR, SR / ratio)
    best = vexolin.match(moved, out, sr=SR, top_k=3)[0]
    assert os.path.basename(best.path) == "piece2.wav"
    assert best.shift == wrapped(-k)  # the query is moved back down to the passage
    assert best.tempo == pytest.approx(1 / ratio, rel=0.04)
    assert abs(best.start - 5.0) < 0.5 and abs(best.end - 13.0) < 0.7
    without = vexolin.match(moved, out, sr=SR, top_k=3, transpose=False, tempo=None)
    assert without[0].shift == 0 and without[0].score < best.score - 0.1


def test_the_result_is_the_same_for_any_piece_size_and_query_form(collection):
    music, out = collection
    query = passage(music, "piece0.wav", 3.0, 5.0)
    results = [vexolin.match(query, out, sr=SR, piece_frames=p) for p in (None, 1, 7, 1000)]
    assert all(r == results[0] for r in results[1:])
    path = music / "query.wav"
    soundfile.write(path, query, SR)
    store = vexolin.batch.open(out)
    try:
        assert vexolin.match(path, store) == results[0]
        assert vexolin.match(vexolin.chroma_cens(query, sr=SR, tuning=None), out, sr=SR) == results[0]
    finally:
        path.unlink()


def test_a_chroma_store_is_matched_through_cens(collection, tmp_path):
    music, _ = collection
    out = tmp_path / "chroma.zarr"
    vexolin.batch.extract(str(music), out=str(out), feature="chroma", progress=False)
    best = vexolin.match(passage(music, "piece2.wav", 10.0, 6.0), out, sr=SR)[0]
    assert os.path.basename(best.path) == "piece2.wav" and abs(best.start - 10.0) < 0.3 and best.shift == 0


def test_the_index_follows_the_store(tmp_path):
    music, out = tmp_path / "music", tmp_path / "cens.zarr"
    music.mkdir()
    soundfile.write(music / "a.wav", chords(10, 12), SR)
    vexolin.batch.extract(str(music), out=str(out), feature="cens", progress=False)
    listing = out / ".match" / "step10.json"
    first = vexolin.match(passage(music, "a.wav", 2.0, 5.0), out, sr=SR)
    assert os.path.basename(first[0].path) == "a.wav" and listing.exists()
    # Files added by a resumed run are found.
    soundfile.write(music / "b.wav", chords(11, 12), SR)
    vexolin.batch.extract(str(music), out=str(out), feature="cens", progress=False)
    best = vexolin.match(passage(music, "b.wav", 4.0, 5.0), out, sr=SR)[0]
    assert os.path.basename(best.path) == "b.wav" and abs(best.start - 4.0) < 0.3
    assert [f[0] for f in json.loads(listing.read_text())["files"]] == [str(music / "a.wav"), str(music / "b.wav")]
    # A changed file, extracted again, is indexed again: its new music is found, its old is not.
    soundfile.write(music / "a.wav", chords(12, 12), SR)
    os.utime(music / "a.wav", ns=(1, 1))
    vexolin.batch.extract(str(music), out=str(out), feature="cens", progress=False)
    new = vexolin.match(passage(music, "a.wav", 6.0, 5.0), out, sr=SR)[0]
    assert os.path.basename(new.path) == "a.wav" and abs(new.start - 6.0) < 0.3 and new.score > 0.95
    assert all(m.score < 0.9 for m in vexolin.match(first_query(), out, sr=SR))
    index = np.fromfile(out / ".match" / "step10.bin", dtype="<i2")
    assert index.size == 12 * sum(f[3] for f in json.loads(listing.read_text())["files"])


def test_a_batch_run_of_cens_keeps_the_index_up_to_date(tmp_path):
    music, out = tmp_path / "music", tmp_path / "cens.zarr"
    music.mkdir()
    listing = out / ".match" / "step10.json"
    indexed = lambda: [f[0] for f in json.loads(listing.read_text())["files"]]  # noqa: E731
    soundfile.write(music / "a.wav", chords(10, 12), SR)
    vexolin.batch.extract(str(music), out=str(out), feature="cens", progress=False)
    assert indexed() == [str(music / "a.wav")]
    soundfile.write(music / "b.wav", chords(11, 12), SR)
    vexolin.batch.extract(str(music), out=str(out), feature="cens", progress=False)
    assert indexed() == [str(music / "a.wav"), str(music / "b.wav")]
    # A chroma store is reduced to CENS and indexed only when first searched.
    vexolin.batch.extract(str(music), out=str(tmp_path / "chroma.zarr"), feature="chroma", progress=False)
    assert not (tmp_path / "chroma.zarr" / ".match").exists()


def first_query():
    y = chords(10, 12)
    return y[2 * SR:7 * SR]


@pytest.mark.parametrize("query, kwargs, words", [
    ("short", {}, ["shorter than the matching window"]),
    ("silence", {}, ["silent"]),
    ("other rate", {"sr": 16000}, ["sr=16000", "store's sr=22050"]),
    ("signal", {"sr": None}, ["sr is required"]),
    ("signal", {"top_k": 0}, ["top_k"]),
    ("signal", {"tempo": (1.5, 1.2)}, ["tempo"]),
    ("signal", {"workers": 0}, ["workers"]),
    ("signal", {"workers": 2, "client": "tcp://127.0.0.1:1"}, ["workers", "client"]),
])
def test_bad_queries_are_refused_naming_the_problem(tmp_path, query, kwargs, words):
    music, out = tmp_path / "music", tmp_path / "cens.zarr"
    music.mkdir()
    soundfile.write(music / "a.wav", chords(3, 4), SR)
    vexolin.batch.extract(str(music), out=str(out), feature="cens", sr=SR, progress=False)
    y = {"short": chords(3, 0.5), "silence": np.zeros(3 * SR, np.float32), "other rate": chords(3, 3),
         "signal": chords(3, 3)}[query]
    with pytest.raises(ValueError) as caught:
        vexolin.match(y, out, **{"sr": SR, **kwargs})
    assert all(w in str(caught.value) for w in words), str(caught.value)


def test_a_store_without_chroma_is_refused(tmp_path):
    music, out = tmp_path / "music", tmp_path / "cqt.zarr"
    music.mkdir()
    soundfile.write(music / "a.wav", chords(4, 2), SR)
    vexolin.batch.extract(str(music), out=str(out), feature="cqt", progress=False)
    with pytest.raises(ValueError, match="holds cqt features.*chroma or CENS"):
        vexolin.match(chords(4, 2), out, sr=SR)


def test_the_command_line_prints_a_line_per_match(collection, tmp_path, capsys):
    music, out = collection
    query = tmp_path / "query.wav"
    soundfile.write(query, passage(music, "piece1.wav", 9.0, 5.0), SR)
    assert main(["match", str(query), str(out), "--top", "2"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 2
    rank, path, start, end, shift, score = lines[0].split("\t")
    assert (rank, os.path.basename(path), shift) == ("1", "piece1.wav", "+0")
    assert abs(float(start) - 9.0) < 0.3 and float(score) > 0.95
    assert main(["match", str(query), str(out), "--top", "1", "--no-transpose", "--tempo", "1,1", "--json"]) == 0
    (found,) = json.loads(capsys.readouterr().out)
    assert found["shift"] == 0 and found["tempo"] == 1.0 and os.path.basename(found["path"]) == "piece1.wav"


@pytest.fixture(scope="module")
def s3(tmp_path_factory):
    """A moto server on loopback with an empty bucket; its storage options."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=port, verbose=False)
    server.start()
    endpoint = f"http://127.0.0.1:{port}"
    client = boto3.client("s3", endpoint_url=endpoint, region_name="us-east-1",
                          aws_access_key_id="testing", aws_secret_access_key="testing")
    client.create_bucket(Bucket="stores")
    yield {"options": {"key": "testing", "secret": "testing",
                       "client_kwargs": {"endpoint_url": endpoint, "region_name": "us-east-1"}},
           "client": client}
    server.stop()


def index_objects(s3, name):
    listing = s3["client"].list_objects_v2(Bucket="stores", Prefix=f"{name}/.match/").get("Contents", [])
    return sorted(item["Key"].rsplit("/", 1)[-1] for item in listing)


@pytest.fixture(scope="module")
def s3_collection(collection, s3):
    music, _ = collection
    url = "s3://stores/cens.zarr"
    vexolin.batch.extract(str(music), out=url, feature="cens", storage_options=s3["options"], progress=False)
    return url


def test_partitions_on_threads_and_on_a_cluster_give_the_same_matches_over_local_and_s3_stores(
        collection, s3, s3_collection, dask_client, monkeypatch):
    music, out = collection
    # Shifted and slower: the best matches tie-break over shifts and tempi.
    query = soxr.resample(passage(music, "piece0.wav", 4.0, 6.0), SR, SR / 2 ** (1 / 12))
    reference = vexolin.match(query, out, sr=SR, top_k=7, workers=1)
    assert len(reference) == 7 and os.path.basename(reference[0].path) == "piece0.wav"
    # One file per partition, a partition per thread and task at most.
    monkeypatch.setattr(_match, "_PARTITION_ROWS", 1)
    runs = {
        "2 threads": vexolin.match(query, out, sr=SR, top_k=7, workers=2),
        "cluster": vexolin.match(query, out, sr=SR, top_k=7, client=dask_client),
        "s3": vexolin.match(query, s3_collection, sr=SR, top_k=7, workers=1, storage_options=s3["options"]),
        "s3, 2 threads": vexolin.match(query, s3_collection, sr=SR, top_k=7, workers=2,
                                       storage_options=s3["options"]),
        "s3, cluster": vexolin.match(query, s3_collection, sr=SR, top_k=7, client=dask_client,
                                     storage_options=s3["options"]),
    }
    for name, found in runs.items():
        assert found == reference, name


def test_partitions_are_consecutive_files_of_bounded_rows_and_runs_follow_the_parts():
    files = [_match_index.IndexedFile(f"f{k}", "", offset, length, part) for k, (offset, length, part) in
             enumerate([(0, 5, "a"), (5, 3, "a"), (0, 9, "b"), (9, 1, "b"), (20, 2, "b")])]
    groups = _match_index.partitions(files, 8)
    assert [[f.source for f in g] for g in groups] == [["f0", "f1"], ["f2"], ["f3", "f4"]]
    assert [[f.source for f in r] for r in _match_index.runs(files)] == [["f0", "f1"], ["f2", "f3"], ["f4"]]


def test_an_s3_stores_index_is_kept_in_parts_extended_and_rebuilt(s3, tmp_path, monkeypatch):
    music = tmp_path / "music"
    music.mkdir()
    soundfile.write(music / "a.wav", chords(20, 12), SR)
    url, options = "s3://stores/kept.zarr", s3["options"]
    vexolin.batch.extract(str(music), out=url, feature="cens", storage_options=options, progress=False)
    reads = []
    original = ObjectStore.read_entry
    monkeypatch.setattr(ObjectStore, "read_entry", lambda self, key: reads.append(key) or original(self, key))

    def best(name, start):
        found = vexolin.match(passage(music, name, start, 5.0), url, sr=SR, storage_options=options)[0]
        return os.path.basename(found.path), round(found.start), found.score > 0.95

    # The run made the index: a search reads it, and no entry.
    first = index_objects(s3, "kept.zarr")
    assert len(first) == 2 and "step10.json" in first
    assert best("a.wav", 3.0) == ("a.wav", 3, True) and best("a.wav", 5.0) == ("a.wav", 5, True) and not reads
    # A file added: one more part, holding only it.
    soundfile.write(music / "b.wav", chords(21, 12), SR)
    vexolin.batch.extract(str(music), out=url, feature="cens", storage_options=options, progress=False)
    reads.clear()
    assert best("b.wav", 4.0) == ("b.wav", 4, True) and not reads
    second = index_objects(s3, "kept.zarr")
    assert set(first) < set(second) and len(second) == 3
    # A file changed: indexed again; a part no file is in any more is removed.
    soundfile.write(music / "a.wav", chords(22, 12), SR)
    os.utime(music / "a.wav", ns=(1, 1))
    vexolin.batch.extract(str(music), out=url, feature="cens", storage_options=options, progress=False)
    reads.clear()
    assert best("a.wav", 6.0) == ("a.wav", 6, True) and not reads
    third = index_objects(s3, "kept.zarr")
    assert len(third) == 3 and not set(first) - {"step10.json"} & set(third)
    # Built anew: both files in one part; in parts of at most PART_ROWS rows, one each, same matches.
    query = passage(music, "b.wav", 2.0, 5.0)
    counts, results = [], []
    for rows in (_match_index.PART_ROWS, 1):
        monkeypatch.setattr(_match_index, "PART_ROWS", rows)
        for name in index_objects(s3, "kept.zarr"):
            s3["client"].delete_object(Bucket="stores", Key=f"kept.zarr/.match/{name}")
        results.append(vexolin.match(query, url, sr=SR, storage_options=options))
        counts.append(len(index_objects(s3, "kept.zarr")))
    assert counts == [2, 3] and results[0] == results[1]


@pytest.mark.parametrize("kind", ["local", "s3"])
def test_a_stores_own_files_are_replaced_whole_read_in_ranges_and_removed(s3, tmp_path, kind):
    from vexolin.batch.store import LocalStore

    store = LocalStore(str(tmp_path / "store")) if kind == "local" else ObjectStore("s3://stores/extra", s3["options"])
    assert store.read_extra(".match/x.bin") is None
    store.write_extra(".match/x.bin", bytes(range(10)))
    store.write_extra(".match/x.bin", bytes(range(20)))
    assert store.read_extra(".match/x.bin") == bytes(range(20))
    assert store.read_extra(".match/x.bin", 4, 9) == bytes(range(4, 9))
    store.remove_extra(".match/x.bin")
    store.remove_extra(".match/x.bin")
    assert store.read_extra(".match/x.bin") is None
    if kind == "local":
        assert os.listdir(tmp_path / "store" / ".match") == []  # no temporary left


def test_the_command_line_searches_a_store_at_a_url_on_threads_or_a_cluster(collection, s3, s3_collection,
                                                                               dask_client, tmp_path, capsys):
    music, _ = collection
    query = tmp_path / "query.wav"
    soundfile.write(query, passage(music, "piece2.wav", 3.0, 6.0), SR)
    expected = [m.as_dict() for m in vexolin.match(query, s3_collection, top_k=3, storage_options=s3["options"])]
    endpoint = s3["options"]["client_kwargs"]["endpoint_url"]
    options = ["--storage-option", "key=testing", "--storage-option", "secret=testing",
               "--storage-option", f"client_kwargs.endpoint_url={endpoint}",
               "--storage-option", "client_kwargs.region_name=us-east-1"]
    for where in (["--workers", "2"], ["--scheduler", dask_client.scheduler.address]):
        assert main(["match", str(query), s3_collection, "--top", "3", "--json", *options, *where]) == 0
        assert json.loads(capsys.readouterr().out) == expected, where


def random_frames(rng, n):
    """Smooth non-negative frames of length 1, quantised as the index keeps them."""
    walk = np.cumsum(rng.normal(size=(n, 12)), axis=0) * 0.3 + rng.normal(size=(n, 12))
    return _match_index.quantised(_match_index.unit_rows(np.abs(walk)))


def random_index(rng, folder):
    """Files of random lengths, some holding the query's frames (moved), one
    a copy of another and one with a flat stretch: ties across files,
    shifts and neighbouring positions."""
    query = random_frames(rng, int(rng.integers(12, 30)))
    files = []
    for k in range(int(rng.integers(2, 9))):
        x = random_frames(rng, int(rng.integers(5, 400)))
        if k % 3 == 1 and x.shape[0] > query.shape[0] + 1:
            at = int(rng.integers(0, x.shape[0] - query.shape[0]))
            x[at:at + query.shape[0]] = np.roll(query, int(rng.integers(12)), axis=1)
        if k % 4 == 3:
            x[: x.shape[0] // 2] = _match_index.quantised(np.full((1, 12), 12 ** -0.5))
        files.append(x)
    files.append(files[0].copy())
    rows = np.concatenate(files)
    rows.astype("<i2").tofile(folder / _match_index.FOLDER / "rows.bin")
    offsets = np.cumsum([0] + [f.shape[0] for f in files])
    listed = [_match_index.IndexedFile(f"f{k:02d}", "", int(offsets[k]), f.shape[0], "rows.bin")
              for k, f in enumerate(files)]
    return query.astype(np.float64) / _match_index.SCALE, listed


@pytest.mark.parametrize("transpose, tempo, top_k", [
    (True, (0.8, 1.25), 3), (False, None, 5), (True, (1.0, 1.07), 40), (True, (0.9, 0.95), 1), (False, (0.5, 2), 2)])
def test_the_pruned_search_returns_exactly_what_scoring_every_position_returns(tmp_path, transpose, tempo, top_k):
    from vexolin.batch.store import LocalStore

    (tmp_path / _match_index.FOLDER).mkdir()
    rows = _match_index.Rows(LocalStore(str(tmp_path)))
    for seed in range(8):
        rng = np.random.default_rng(seed)
        query, files = random_index(rng, tmp_path)
        variants = _match._variants(query, float(rng.choice([1.0, 1.3])), _match._tempi(tempo),
                                    _match._SHIFTS if transpose else (0,))
        reference = _match.search_partition(files, rows, 1.0, variants, top_k, None, exhaustive=True)
        assert reference, seed
        assert _match.search_partition(files, rows, 1.0, variants, top_k, None) == reference, seed
        # A file at a time, as threads and a cluster's tasks search them, and in small pieces.
        alone = [m for f in files for m in _match.search_partition([f], rows, 1.0, variants, top_k, 3)]
        assert _match._best(alone, top_k) == reference, seed


@pytest.mark.parametrize("seed", range(4))
def test_every_estimate_is_within_the_margin_of_its_exact_best_score(seed):
    rng = np.random.default_rng(seed)
    x = random_frames(rng, int(rng.integers(50, 9000)))
    if seed == 0:  # the largest sums: every frame and the query the same flat vector
        x[:] = _match_index.quantised(np.full((1, 12), 12 ** -0.5))
    query = x[: int(rng.integers(12, 120))].astype(np.float64) / _match_index.SCALE
    variants = _match._variants(query, 1.0, _match._tempi((0.7, 1.4)), _match._SHIFTS)
    estimates = _match._estimates(x, variants)
    exact, _ = _match._exhaustive_best(x, variants, None)
    assert np.array_equal(np.isinf(estimates), np.isinf(exact))
    fits = np.isfinite(exact)
    assert np.abs(estimates[fits] - exact[fits]).max() < _match._MARGIN / 100


def native_estimator(**changes):
    arguments = dict(variants=[np.ones((5, 12), np.float32)], shifts=[0, 1], unit=1.0, block=4096)
    return _native.MatchEstimator(**(arguments | changes))


@pytest.mark.parametrize("changes, words", [
    (dict(variants=[]), "variants must hold"),
    (dict(variants=[np.ones((5, 11), np.float32)]), "variants[0] must be frames x 12"),
    (dict(variants=[np.full((5, 12), np.nan, np.float32)]), "variants[0] must be finite"),
    (dict(shifts=[0, 12]), "shifts must be semitones from -11 to 11"),
    (dict(shifts=[3, -9]), "shifts must differ modulo 12"),
    (dict(unit=0.0), "unit must be a finite number > 0"),
    (dict(block=1000), "block must be a power of two"),
])
def test_the_native_estimates_refuse_bad_arguments_naming_them(changes, words):
    with pytest.raises(ValueError, match=re.escape(words)):
        native_estimator(**changes)


@pytest.mark.parametrize("rows", [np.zeros((50, 12), np.float32), np.zeros((50, 11), np.int16),
                                  np.zeros(600, np.int16)])
def test_the_native_estimates_take_only_int16_rows_of_12(rows):
    with pytest.raises(ValueError, match=re.escape("rows must be an int16 array of shape (n, 12)")):
        native_estimator().estimate(rows=rows)


def test_a_raised_token_stops_the_native_estimates():
    token = _native.Cancel()
    token.cancel()
    with pytest.raises(_native.Cancelled):
        native_estimator().estimate(rows=np.ones((5000, 12), np.int16), cancel=token)


def test_a_clusters_tasks_each_search_enough_rows_and_give_the_threads_result(collection, dask_client,
                                                                                monkeypatch):
    music, out = collection
    query = passage(music, "piece1.wav", 2.0, 6.0)
    reference = vexolin.match(query, out, sr=SR, top_k=5, workers=1)
    files = _match_index.index_of(vexolin.batch.open(out)._store, vexolin.batch.open(out).params, _match.STEP).files
    least = sum(f.length for f in files[:2])  # two files a task at least
    monkeypatch.setattr(_match, "_TASK_ROWS", least)
    made = []
    original = _match._partitions
    monkeypatch.setattr(_match, "_partitions", lambda *args: made.append(original(*args)) or made[-1])
    assert vexolin.match(query, out, sr=SR, top_k=5, client=dask_client) == reference
    (groups,) = made
    assert [f for g in groups for f in g] == files
    assert all(sum(f.length for f in g) >= least for g in groups[:-1]) and len(groups) < len(files)


def test_matches_from_a_threshold_up_are_the_same_from_the_positions_that_reach_it_alone():
    rng = np.random.default_rng(5)
    for trial in range(200):
        n = int(rng.integers(3, 120))
        variants = [_match._Variant(t, int(rng.integers(2, 12)), (0, 1, -1), np.zeros(0)) for t in (1.0, 1.06, 0.94)]
        # Few levels: ties between tempi, shifts and neighbours.
        best = np.round(rng.random((3, n)), 1)
        best[rng.random((3, n)) < 0.2] = -np.inf
        shift_at = rng.integers(0, 3, size=(3, n))
        threshold = float(rng.choice([0.3, 0.6, 0.8, 0.9]))
        top_k = int(rng.integers(1, 8))
        positions = np.flatnonzero(best.max(axis=0) >= threshold)
        every = _match._select(best, shift_at, variants, top_k)
        reaching = _match._select(best[:, positions], shift_at[:, positions], variants, top_k, positions)
        assert [m for m in reaching if m[0] >= threshold] == [m for m in every if m[0] >= threshold], trial
