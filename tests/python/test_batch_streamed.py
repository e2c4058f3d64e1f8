"""Long files in batch runs: streamed, their entries written chunk by chunk
as frames arrive, byte for byte the entries of their whole signals."""

import json
from pathlib import Path

import numpy as np
import pytest
import soundfile

from vexolin import batch
from vexolin.batch import _work
from vexolin.batch import store as _store
from vexolin.batch._params import checked
from vexolin.batch._run import Run
from vexolin.batch.store import LocalStore, _zarr_entry


@pytest.fixture(scope="module")
def recordings(tmp_path_factory):
    """Three recordings: mono WAV, stereo WAV at 44.1 kHz, mono FLAC at 16 kHz."""
    root = tmp_path_factory.mktemp("long")
    rng = np.random.default_rng(11)
    paths = []
    for i, (sr, channels, suffix) in enumerate([(22050, 1, "wav"), (44100, 2, "wav"), (16000, 1, "flac")]):
        t = np.arange(int((2.5 + i) * sr)) / sr
        y = np.stack([0.3 * np.sin(2 * np.pi * 196.0 * 1.5 ** c * t) + 0.02 * rng.standard_normal(t.size)
                      for c in range(channels)], axis=1)
        path = root / f"r{i}.{suffix}"
        soundfile.write(path, y, sr)
        paths.append(str(path))
    return paths


def entry_contents(out):
    """Every entry's files, by source and name; the metadata without its timing."""
    found = {}
    for folder in Path(out, _store.ENTRIES).iterdir():
        if not (folder / "zarr.json").exists():
            continue
        files = {p.name: p.read_bytes() for p in folder.iterdir()}
        metadata = json.loads(files.pop("zarr.json"))
        metadata["attributes"].pop("compute_seconds")
        found[metadata["attributes"]["source"]] = (metadata, files)
    return found


@pytest.mark.parametrize("params", [
    {},  # chroma with its tuning estimated from the file
    {"mono": False, "hop_length": 256},
    {"feature": "cqt", "sr": 16000, "n_bins": 48},
    {"feature": "cqt", "mono": False, "tuning": 0.2},
], ids=["chroma", "chroma-channels", "cqt-resampled", "cqt-channels-tuned"])
@pytest.mark.parametrize("staged", [False, True], ids=["threads", "task"])
def test_streamed_entries_equal_whole_file_entries_byte_for_byte(recordings, tmp_path, monkeypatch, params, staged):
    # Chunks of 40 frames, so that entries span several with a partial last one.
    monkeypatch.setattr(_zarr_entry, "_CHUNK_BYTES", 40 * 4 * 12)
    streamed = []
    stream = _work.streamed_entry
    monkeypatch.setattr(_work, "streamed_entry", lambda *a: (streamed.append(a[0]), stream(*a))[1])

    def run(out, stream_bytes):
        monkeypatch.setattr(_work, "STREAM_BYTES", stream_bytes)
        if staged:  # a cluster task's way: entries staged, placed together at its end
            given = dict(params)
            task = Run(LocalStore(str(out)), *checked(given.pop("feature", "chroma"), given))
            _store.create_store(task.store, task.params, "test")
            records = _work.extract_files(recordings, task)
            assert [r["status"] for r in records] == ["done"] * 3
        else:
            summary = batch.extract(recordings, out=out, workers=1, progress=False, **params)
            assert summary.computed == 3

    run(tmp_path / "whole.zarr", 1 << 40)
    assert streamed == []
    run(tmp_path / "streamed.zarr", 0)
    assert streamed == recordings
    whole, pieces = entry_contents(tmp_path / "whole.zarr"), entry_contents(tmp_path / "streamed.zarr")
    assert whole == pieces and len(whole) == 3
    assert max(len(files) for _, files in whole.values()) > 2
    store = batch.open(tmp_path / "streamed.zarr")
    assert all(store[path].shape[-1] == store.info(path)["frames"] for path in recordings)


@pytest.mark.parametrize("n_frames", [0, 1, 39, 40, 41, 120, 133])
def test_an_entry_encoded_as_frames_arrive_equals_the_one_encoded_at_once(monkeypatch, n_frames):
    monkeypatch.setattr(_zarr_entry, "_CHUNK_BYTES", 40 * 4 * 6)
    rng = np.random.default_rng(n_frames)
    values = rng.standard_normal((2, 3, n_frames)).astype(np.float32)
    entry = _zarr_entry.ChunkedEntry((2, 3))
    files = []
    cuts = np.sort(rng.integers(0, n_frames + 1, size=5))
    for part in np.split(values, cuts, axis=-1):
        files += entry.add(part)
    files += entry.finish({"source": "x"})
    assert [name for name, _ in files][-1] == "zarr.json"
    assert dict(files) == _zarr_entry.encode_entry(values, {"source": "x"})


@pytest.mark.filterwarnings("ignore:overflow encountered:RuntimeWarning")  # numpy's, estimating the tuning
@pytest.mark.parametrize("stream_bytes", [1 << 40, 0], ids=["whole", "streamed"])
def test_a_file_whose_result_overflows_is_recorded_failed_and_a_long_one_not_streamed_when_it_cannot_be(
        tmp_path, monkeypatch, stream_bytes):
    monkeypatch.setattr(_work, "STREAM_BYTES", stream_bytes)
    loud, quiet = tmp_path / "loud.wav", tmp_path / "quiet.wav"
    t = np.arange(22050 * 2) / 22050
    soundfile.write(loud, (1e38 * np.sin(2 * np.pi * 440 * t)).astype(np.float32), 22050, subtype="FLOAT")
    soundfile.write(quiet, 0.5 * np.sin(2 * np.pi * 440 * t), 22050)
    summary = batch.extract([str(loud), str(quiet)], out=tmp_path / "s.zarr", workers=1, progress=False,
                            norm=2)  # another norm: computed whole even when long
    assert list(summary.failed) == [str(loud)] and "not finite" in summary.failed[str(loud)]
    store = batch.open(tmp_path / "s.zarr")
    assert list(store) == [str(quiet)] and np.isfinite(store[str(quiet)]).all()
    summary = batch.extract([str(loud)], out=tmp_path / "inf.zarr", workers=1, progress=False)
    assert list(summary.failed) == [str(loud)] and "not finite" in summary.failed[str(loud)]
    assert len(batch.open(tmp_path / "inf.zarr")) == 0


def test_a_streamed_file_stops_between_blocks_when_its_run_is_cancelled(recordings, tmp_path, monkeypatch):
    from vexolin._cancel import with_token
    from vexolin._native import Cancel, Cancelled
    from vexolin._stream import Stream

    monkeypatch.setattr(_work, "STREAM_BYTES", 0)
    out = str(tmp_path / "s.zarr")
    run = Run(LocalStore(out), *checked("chroma", {"mono": False}))
    _store.create_store(run.store, run.params, "test")
    token, pushed = Cancel(), []
    push = Stream.push

    def push_then_interrupt(self, block):  # Ctrl-C while the file's first block computes
        pushed.append(block.shape)
        token.cancel()
        return push(self, block)

    monkeypatch.setattr(Stream, "push", push_then_interrupt)
    with pytest.raises(Cancelled):
        with_token(token, _work.extract_file, recordings[1], run)
    assert len(pushed) == 1 and soundfile.info(recordings[1]).frames > 2 * _work._BLOCK_FRAMES
    assert [p.name for p in Path(out).rglob("*") if p.is_file()] == ["zarr.json"] * 2  # the groups only
