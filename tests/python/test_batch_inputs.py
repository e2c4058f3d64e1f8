"""Which files a batch run covers when a collection has folder links and
folders it cannot read."""

import errno
import os
import threading

import numpy as np
import pytest
import soundfile

from vexolin import batch, cli
from vexolin.batch._inputs import UnreadableFolderWarning, find_inputs


@pytest.fixture
def music(tmp_path):
    """music/ with a file at each of three depths."""
    real = [tmp_path / "music" / "a.wav", tmp_path / "music" / "sub" / "b.wav",
            tmp_path / "music" / "sub" / "deep" / "c.wav"]
    for i, path in enumerate(real):
        path.parent.mkdir(parents=True, exist_ok=True)
        soundfile.write(path, np.sin(2 * np.pi * 220.0 * (i + 1) * np.arange(5512) / 22050), 22050)
    return tmp_path / "music", sorted(map(str, real))


def listed_within(seconds, inputs):
    """find_inputs(inputs), or a failure if it has not returned after ``seconds``."""
    result = {}
    lister = threading.Thread(target=lambda: result.setdefault("paths", find_inputs(inputs)), daemon=True)
    lister.start()
    lister.join(seconds)  # only keeps a regression from hanging the suite
    assert not lister.is_alive(), f"still listing {inputs} after {seconds} s"
    return result["paths"]


@pytest.mark.parametrize("links", [["self"], ["self", "sub/back"]])
@pytest.mark.parametrize("form", ["directory", "** pattern", "* pattern"])
def test_folder_links_are_not_followed_so_each_file_is_listed_once(music, tmp_path, links, form):
    root, real = music
    for link in links:  # self -> . and sub/back -> ..: routes without end back into music/
        os.symlink("." if link == "self" else "..", root / link)
    inputs = {"directory": str(root), "** pattern": str(root / "**" / "*.wav"),
              "* pattern": [str(root / "*.wav"), str(root / "*" / "*.wav"), str(root / "*" / "*" / "*.wav")]}[form]
    assert listed_within(30, inputs) == real

    summary = batch.extract(inputs, out=tmp_path / "store.zarr", workers=1, progress=False)
    assert (summary.files, summary.computed) == (3, 3)
    assert list(batch.open(tmp_path / "store.zarr")) == real


@pytest.mark.parametrize("form", ["directory", "** pattern"])
def test_an_unreadable_folder_is_passed_over_with_one_warning(music, tmp_path, monkeypatch, capsys, form):
    root, real = music
    locked = root / "lost+found"
    locked.mkdir()
    soundfile.write(locked / "x.wav", np.zeros(5512), 22050)
    # Tests run as root, whom mode 0700 does not stop: the folder's listing is
    # refused here instead, as it is for anyone else.
    scandir = os.scandir

    def refusing(path="."):
        if os.path.abspath(os.fspath(path)) == str(locked):
            raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), os.fspath(path))
        return scandir(path)

    monkeypatch.setattr(os, "scandir", refusing)
    given = str(root) if form == "directory" else str(root / "**" / "*.wav")
    out = tmp_path / "store.zarr"
    assert cli.main(["batch", given, "--out", str(out), "-q"]) == 0
    assert capsys.readouterr().err.splitlines() == [
        f"vexolin: warning: {locked}: skipped, the folder cannot be read (Permission denied)"]
    assert list(batch.open(out)) == real
    [row] = [row for row in batch.open(out).table() if row["path"] == str(locked)]
    assert row["status"] == "skipped" and "cannot be read (Permission denied)" in row["error"]

    # Said once, however many inputs reach the folder.
    with pytest.warns(UnreadableFolderWarning) as caught:
        assert find_inputs([str(root), str(root / "**" / "*.wav")]) == real
    assert len(caught) == 1 and str(locked) in str(caught[0].message)

    # Readable again: the next run lists its file, and the folder's row goes.
    monkeypatch.undo()
    assert batch.extract(given, out=out, progress=False).computed == 1
    assert {row["path"]: row["status"] for row in batch.open(out).table()} == {
        **{path: "done" for path in real}, str(locked / "x.wav"): "done"}
