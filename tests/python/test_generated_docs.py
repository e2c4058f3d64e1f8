"""Pages made from other sources: the speed tables from the benchmarks' JSON
results (tools/speed_tables.py), and the API page's section on
vexolin._native from that module's docstrings (tools/native_docs.py)."""

import importlib.util
import json
import shutil
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def tool(name):
    spec = importlib.util.spec_from_file_location(name, ROOT / "tools" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


speed_tables = tool("speed_tables")
native_docs = tool("native_docs")


@pytest.mark.parametrize("path, text", speed_tables.render().items(), ids=lambda v: getattr(v, "name", ""))
def test_committed_speed_figures_are_what_the_results_make(path, text):
    assert path.read_text(encoding="utf-8") == text, f"run tools/speed_tables.py: {path.name} is stale"


def test_the_readme_and_the_speed_page_take_a_figure_from_the_same_result(tmp_path, monkeypatch):
    bench = tmp_path / "bench"
    shutil.copytree(ROOT / "bench", bench, ignore=shutil.ignore_patterns(".*venv", "*.py", "*.cpp", "*.sh", "*.txt"))
    run = json.loads((bench / "results.json").read_text())
    case = next(c for c in run["cases"] if c["kind"] == "chroma" and c["sr"] == 22050.0 and c["seconds"] == 180.0)
    case["ours_1"]["median"] = 0.0123
    (bench / "results.json").write_text(json.dumps(run))
    monkeypatch.setattr(speed_tables, "BENCH", bench)
    files = speed_tables.render()
    assert "| `chroma_cqt`, 3 min | 12.3 ms |" in files[speed_tables.README]
    assert "     - 3 min\n     - 12.3 ms\n" in files[speed_tables.GENERATED / "speed_main.inc"]


def test_the_native_page_is_what_the_modules_docstrings_make():
    from vexolin import _native

    current = native_docs.PAGE.read_text(encoding="utf-8")
    assert native_docs.page(current, _native) == current, "run tools/native_docs.py: docs/api/native.rst is stale"

