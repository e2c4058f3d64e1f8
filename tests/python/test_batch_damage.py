"""Stores changed behind a run's back: a table re-saved by a spreadsheet,
entries damaged on disk, links inside a store, and metadata crafted to
mislead. Each is read as far as it can be, refused with one clear error, or
redone by the next run; never a traceback, a silent wrong value or a write
outside the store."""

import codecs
import csv
import io
import json
import os
import shutil
from pathlib import Path

import numpy as np
import pytest
import soundfile

import vexolin
from vexolin import batch
from vexolin.batch import store as _store
from vexolin.batch.store import _zarr_entry


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Three short tones and a file that is not audio."""
    root = tmp_path_factory.mktemp("damage-inputs")
    good = []
    for i, hz in enumerate((220.0, 330.0, 440.0)):
        path = root / f"tone{i}.wav"
        soundfile.write(path, np.sin(2 * np.pi * hz * np.arange(int(22050 * 1.5)) / 22050), 22050)
        good.append(str(path))
    bad = root / "bad.wav"
    bad.write_bytes(b"RIFF\x10\x00\x00\x00WAVEjunk" * 8)
    return {"good": good, "bad": str(bad), "all": [*good, str(bad)]}


@pytest.fixture(scope="module")
def template(files, tmp_path_factory):
    """A store of the three tones in chunks of 10 frames, and the bad file's failed row."""
    out = tmp_path_factory.mktemp("damage-template") / "store.zarr"
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(_zarr_entry, "_CHUNK_BYTES", 4 * 12 * 10)
        summary = batch.extract(files["all"], out=out, workers=1, progress=False)
    assert (summary.computed, list(summary.failed)) == (3, [files["bad"]])
    return out


@pytest.fixture
def store(template, tmp_path):
    out = tmp_path / "store.zarr"
    shutil.copytree(template, out)
    return out


def expected(path):
    y, sr = vexolin.load(path)
    return vexolin.chroma_cqt(y, sr=sr)


def entry(out, path):
    return Path(out, _store.ENTRIES, _store.entry_key(path))


def rerun(files, out):
    return batch.extract(files["all"], out=out, workers=1, progress=False)


def resaved(delimiter=",", columns=None, header=True, before="", after=""):
    """A spreadsheet's saving of the table: with another separator, its
    columns picked and ordered by index (None: a new, empty one), its header
    dropped, lines of its own before and after."""
    def mangle(text):
        rows = list(csv.reader(io.StringIO(text, newline="")))
        rows = [[row[i] if i is not None else "note" for i in columns] for row in rows] if columns else rows
        saved = io.StringIO()
        csv.writer(saved, delimiter=delimiter, lineterminator="\r\n").writerows(rows[0 if header else 1:])
        return before + saved.getvalue() + after
    return mangle


# A spreadsheet's ways of saving the table, its encoding, and whether the failed row can still be read.
RESAVED = {
    "utf-8 BOM": (resaved(before="\ufeff"), "utf-8", True),
    "semicolons": (resaved(";"), "utf-8", True),
    "tabs, UTF-16 with a BOM": (resaved("\t"), "utf-16", True),
    "header lost": (resaved(header=False), "utf-8", True),
    "columns moved, dropped and added": (resaved(columns=[1, 0, 2, *range(4, 11), None]), "utf-8", True),
    "junk rows": (resaved(before="Exported 2026-12-08\r\n\r\n", after="total,,4\r\n" + "x" * 200_000 + ",1\r\n"),
                  "utf-8", True),
    "header lost, columns unknown": (resaved(header=False, columns=[0, 1, 2, 3]), "utf-8", False),
    "not a table": (lambda text: codecs.encode(text, "rot13"), "utf-8", False),
    "a NUL byte in a path": (lambda text: text.replace("bad.wav", "bad\0.wav"), "utf-8", False),
}


@pytest.mark.parametrize("resave", RESAVED, ids=list(RESAVED))
def test_a_table_resaved_by_a_spreadsheet_is_read_as_far_as_it_can_be(files, store, resave):
    mangle, encoding, readable = RESAVED[resave]
    table = store / _store.TABLE
    before = batch.open(store).table()
    [failed] = [row for row in before if row["status"] == "failed"]
    assert failed["error"] and failed["attempts"] == "1"
    table.write_bytes(mangle(table.read_text(encoding="utf-8")).encode(encoding))

    rows = {row["path"]: row for row in batch.open(store).table()}
    assert all(rows[path]["status"] == "done" for path in files["good"])
    assert (rows.get(files["bad"]) == failed) is readable
    summary = rerun(files, store)
    # A failed row that can be read keeps the file from being tried again.
    assert (summary.skipped, summary.not_retried, summary.computed) == (3, int(readable), 0)
    assert table.read_bytes().startswith(b"path,status,frames,seconds,")
    assert sorted(row["path"] for row in batch.open(store).table()) == sorted(files["all"])
    assert batch.open(store).table() == before if readable else \
        [row["attempts"] for row in batch.open(store).table() if row["path"] == files["bad"]] == ["1"]


def flip_a_byte(chunk):
    data = bytearray(chunk.read_bytes())
    data[len(data) // 2] ^= 0x55
    chunk.write_bytes(bytes(data))


DAMAGE = {
    "chunk missing": lambda chunk: chunk.unlink(),
    "chunk cut short": lambda chunk: chunk.write_bytes(chunk.read_bytes()[:-7]),
    "a byte flipped": flip_a_byte,
    "chunk swapped for a link": lambda chunk: (chunk.rename(chunk.with_name("moved")),
                                               chunk.symlink_to(chunk.with_name("moved"))),
}


@pytest.mark.parametrize("opened", ["before", "after"])
@pytest.mark.parametrize("damage", DAMAGE, ids=list(DAMAGE))
def test_a_damaged_entry_is_a_read_error_naming_it_and_a_rerun_redoes_it(files, store, damage, opened):
    path = files["good"][1]
    reader = batch.open(store) if opened == "before" else None
    chunks = sorted(entry(store, path).glob("c.*"))
    assert len(chunks) >= 3
    DAMAGE[damage](chunks[1])
    reader = reader or batch.open(store)
    with pytest.raises(ValueError, match=f"the entry of {path} is damaged .*run the extraction of {path} "
                                         "into this store again"):
        reader[path]
    np.testing.assert_array_equal(reader[files["good"][0]], expected(files["good"][0]))

    summary = rerun(files, store)
    assert (summary.computed, summary.skipped) == (1, 2)
    for good in files["good"]:
        np.testing.assert_array_equal(batch.open(store)[good], expected(good))


@pytest.mark.parametrize("name", [_store.LOCK, _store.ENTRIES, _store.PARTIAL, _store.TABLE])
def test_a_link_among_a_stores_own_files_refuses_the_store_and_nothing_outside_changes(files, store, tmp_path,
                                                                                      name):
    outside = tmp_path / "outside"
    shutil.copytree(store / _store.ENTRIES, outside / _store.ENTRIES)
    shutil.copy(store / _store.TABLE, outside / _store.TABLE)
    (outside / _store.PARTIAL).mkdir()
    target = outside / name
    if (store / name).is_dir():
        shutil.rmtree(store / name)
    elif (store / name).exists():
        (store / name).unlink()
    (store / name).symlink_to(target)
    seen = {str(p): p.read_bytes() for p in outside.rglob("*") if p.is_file()}

    with pytest.raises(_store.StoreError, match=f"{store / name} is a symbolic link"):
        rerun(files, store)
    with pytest.raises(_store.StoreError, match=f"{store / name} is a symbolic link"):
        batch.open(store)
    assert {str(p): p.read_bytes() for p in outside.rglob("*") if p.is_file()} == seen


@pytest.mark.parametrize("name, message", [(_store.LOCK, "cannot take the store's lock"),
                                           (_store.TABLE, "cannot read the store's table")])
def test_a_folder_in_place_of_the_lock_or_the_table_is_one_store_error(files, store, name, message):
    (store / name).unlink()
    (store / name).mkdir()
    with pytest.raises(_store.StoreError, match=f"{store / name}: {message}"):
        rerun(files, store)


def test_a_linked_entry_is_not_an_entry_and_is_redone_without_touching_its_target(files, store, tmp_path):
    path = files["good"][0]
    elsewhere = tmp_path / "elsewhere"
    entry(store, path).rename(elsewhere)
    entry(store, path).symlink_to(elsewhere)
    seen = {p.name: p.read_bytes() for p in elsewhere.iterdir()}
    assert path not in batch.open(store)
    assert rerun(files, store).computed == 1
    assert not entry(store, path).is_symlink()
    np.testing.assert_array_equal(batch.open(store)[path], expected(path))
    assert {p.name: p.read_bytes() for p in elsewhere.iterdir()} == seen


def edit_metadata(out, path, change):
    metadata = entry(out, path) / "zarr.json"
    document = json.loads(metadata.read_text())
    change(document)
    metadata.write_text(json.dumps(document))


def set_attr(name, value):
    return lambda document: document["attributes"].__setitem__(name, value)


def claim_frames(frames, record_chunks=True):
    def change(document):
        document["shape"][-1] = document["attributes"]["frames"] = frames
        document["chunk_grid"]["configuration"]["chunk_shape"][-1] = 1
        if not record_chunks:  # as entries of older versions
            del document["attributes"]["chunk_bytes"]
    return change


NOT_ENTRIES = {
    "source a list": set_attr("source", ["a", "b"]),
    "source a number": set_attr("source", 7),
    "frames a string": set_attr("frames", "65"),
    "chunk sizes a list": set_attr("chunk_bytes", [1, 2]),
    "source of another file": set_attr("source", "/elsewhere/other.wav"),
    "axes not names": set_attr("axes", [1, 2]),
}
REFUSED = {
    "1.2e9 frames in one-frame chunks": (claim_frames(12 * 10**8), "its shape implies 1200000000 chunks"),
    "the same, recording no chunk sizes": (claim_frames(12 * 10**8, record_chunks=False),
                                           "its shape implies 1200000000 chunks, it has 7"),
    "frames unlike its shape": (set_attr("frames", 64), "its shape has 65 frames, its record says 64"),
    "chunk names unlike its shape": (lambda d: d["attributes"]["chunk_bytes"].update(
        {"c.0.9": d["attributes"]["chunk_bytes"].pop("c.0.6")}), "its chunks are not named as its shape implies"),
    "chunk shape unlike its shape": (lambda d: d["chunk_grid"]["configuration"].update(chunk_shape=[6, 10]),
                                     r"its chunk shape \[6, 10\] does not fit its shape \[12, 65\]"),
    "axes unlike its shape": (set_attr("axes", ["harmonic", "bin", "frame"]),
                              r"its shape \[12, 65\] has 2 axes, it names 3"),
}


@pytest.mark.parametrize("craft", [*NOT_ENTRIES, *REFUSED])
def test_crafted_entry_metadata_is_ignored_or_refused_before_reading_and_redone(files, store, craft):
    path = files["good"][2]
    edit_metadata(store, path, NOT_ENTRIES.get(craft) or REFUSED[craft][0])
    reader = batch.open(store)
    assert sorted(reader) == files["good"][:2]
    if craft in REFUSED:
        with pytest.raises(ValueError, match=f"the entry of {path} is damaged \\({REFUSED[craft][1]}"):
            reader[path]
    assert (rerun(files, store).computed, len(batch.open(store))) == (1, 3)
    np.testing.assert_array_equal(batch.open(store)[path], expected(path))


def test_a_root_metadata_nested_beyond_the_parser_is_a_store_error(files, store):
    (store / "zarr.json").write_text("[" * 100_000 + "]" * 100_000)
    for attempt in (lambda: batch.open(store), lambda: rerun(files, store)):
        with pytest.raises(_store.StoreError, match="cannot read the store's metadata"):
            attempt()
