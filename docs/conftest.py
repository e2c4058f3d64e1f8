"""Runs the docs' examples as tests (`make docs-check`): the ``>>>`` blocks of
every page as doctests, and the console sessions that follow a
``.. console-doctest`` comment as shell commands whose output must match.
Each page runs in a fresh folder holding ``song.wav``, the piece the pages
talk about: ``vexolin.example_audio()`` as a 16-bit file."""

from __future__ import annotations

import doctest
import os
import re
import shutil
import subprocess
import sys
import tempfile
from collections.abc import Iterator
from pathlib import Path

import pytest
import soundfile

import vexolin

# What the build generates, and the gallery (run by the build itself).
collect_ignore = ["auto_examples", "api/generated", "examples", "conf.py", "_apicheck.py", "_gallery_order.py"]


def write_song(path: Path) -> None:
    y, sr = vexolin.example_audio()  # C, G, A minor, F: two seconds a chord, harmonic tones
    soundfile.write(path, y, sr, subtype="PCM_16")


@pytest.fixture(autouse=True)
def page_folder(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Iterator[Path]:
    write_song(tmp_path / "song.wav")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("MPLBACKEND", "agg")
    yield tmp_path


_MARK = ".. console-doctest"
_BLOCK = re.compile(r"^\.\. code-block:: console\n\n((?:(?:   .*)?\n)+)", re.M)


class ConsoleSession(pytest.Item):
    """One console block: each ``$ command`` is run by bash in the page's folder."""

    def __init__(self, *, text: str, line: int, **kwargs: object) -> None:
        super().__init__(**kwargs)  # type: ignore[arg-type]
        self.text, self.line = text, line

    def steps(self) -> list[tuple[str, str]]:
        steps: list[tuple[str, list[str]]] = []
        for raw in self.text.splitlines():
            line = raw[3:]
            if line.startswith("$ "):
                steps.append((line[2:], []))
            elif steps and raw.strip():
                steps[-1][1].append(line)
        return [(command, "".join(f"{out}\n" for out in lines)) for command, lines in steps]

    def runtest(self) -> None:
        bin_dir = os.path.dirname(sys.executable)
        env = {**os.environ, "PATH": f"{bin_dir}{os.pathsep}{os.environ['PATH']}"}
        # In a development tree the package is on the path but its script is
        # not installed: `vexolin` is `python -m vexolin`, as the docs say.
        prelude = f'vexolin() {{ "{sys.executable}" -m vexolin "$@"; }}\n'
        checker = doctest.OutputChecker()
        folder = tempfile.mkdtemp(prefix="vexolin-docs-")
        write_song(Path(folder) / "song.wav")
        for command, expected in self.steps():
            done = subprocess.run(["bash", "-c", prelude + command], capture_output=True, text=True, env=env,
                                  cwd=folder, timeout=120)
            got = done.stdout + done.stderr
            if done.returncode != 0 or not checker.check_output(expected, got, doctest.ELLIPSIS):
                raise AssertionError(f"$ {command}\nexit status {done.returncode}\nexpected:\n{expected}got:\n{got}")
        shutil.rmtree(folder)

    def reportinfo(self) -> tuple[Path, int, str]:
        return self.path, self.line, f"console session at line {self.line + 1}"


class ConsolePage(pytest.File):
    def collect(self) -> Iterator[ConsoleSession]:
        text = self.path.read_text(encoding="utf-8")
        for match in _BLOCK.finditer(text):
            before = text[:match.start()].rstrip("\n").splitlines()
            if before and before[-1].strip() == _MARK:
                line = text.count("\n", 0, match.start())
                yield ConsoleSession.from_parent(self, name=f"console@{line + 1}", text=match.group(1), line=line)


def pytest_collect_file(file_path: Path, parent: pytest.Collector) -> ConsolePage | None:
    if file_path.suffix == ".rst" and _MARK in file_path.read_text(encoding="utf-8"):
        return ConsolePage.from_parent(parent, path=file_path)
    return None
