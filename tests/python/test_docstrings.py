"""Docstrings filled from the shared parameter descriptions (vexolin._docs)."""

import inspect
from pathlib import Path

import pytest

import vexolin
import vexolin.batch
import vexolin.plot
from vexolin import _docs

PACKAGE = Path(vexolin.__file__).parent
PUBLIC = ([getattr(vexolin, name) for name in vexolin.__all__]
          + [getattr(vexolin.batch, name) for name in vexolin.batch.__all__]
          + [vexolin.plot.chromagram, vexolin.plot.cqt, vexolin.Stream.push, vexolin.Stream.finish])
TWINS = [(vexolin.cqt, vexolin.cqt_magnitude), (vexolin.vqt, vexolin.vqt_magnitude),
         (vexolin.hcqt, vexolin.hcqt_magnitude)]


def section(obj, title):
    text = inspect.getdoc(obj)
    start = text.index(f"{title}\n{'-' * len(title)}\n")
    rest = text[start + 2 * len(title) + 2:]
    following = [i for i in (rest.find("\n\n" + t + "\n") for t in ("Returns", "Yields", "Raises", "Examples"))
                 if i >= 0]
    return rest[: min(following, default=len(rest))]


def test_no_placeholder_is_left_in_a_public_docstring():
    left = [getattr(obj, "__qualname__", repr(obj)) for obj in PUBLIC
            if callable(obj) and "%(" in (inspect.getdoc(obj) or "")]
    assert left == []


@pytest.mark.parametrize("complex_, magnitude", TWINS, ids=lambda f: f.__name__)
def test_twins_share_parameters_and_errors_but_not_summary_returns_or_examples(complex_, magnitude):
    assert section(magnitude, "Parameters") == section(complex_, "Parameters")
    assert section(magnitude, "Raises") == section(complex_, "Raises")
    for title in ("Returns", "Examples"):
        assert section(magnitude, title) != section(complex_, title)
    assert inspect.getdoc(magnitude).splitlines()[0] != inspect.getdoc(complex_).splitlines()[0]
    assert "float32" in section(magnitude, "Returns") and "complex64" in section(complex_, "Returns")


def test_a_placeholder_becomes_the_entry_indented_as_it_is_and_keeps_the_lines_after_it():
    doc = "Summary.\n\n    Parameters\n    ----------\n    %(n_bins)s\n        At least 2.\n"
    assert _docs.filled(doc) == ("Summary.\n\n    Parameters\n    ----------\n    n_bins : int\n"
                                 "        Number of bins.\n        At least 2.\n")


@pytest.mark.parametrize("doc, error", [
    ("Summary.\n\n    %(no_such_parameter)s\n", KeyError),
    ("Summary: %(sr)s in a sentence.\n", ValueError),
])
def test_an_unknown_or_inline_placeholder_is_refused_at_import(doc, error):
    with pytest.raises(error):
        _docs.filled(doc)


def test_every_shared_description_is_used():
    sources = "".join(path.read_text(encoding="utf-8") for path in PACKAGE.rglob("*.py"))
    unused = [name for name in _docs.PARAMETERS if f"%({name})s" not in sources]
    assert unused == []
