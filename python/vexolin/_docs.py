"""The package's shared parameter descriptions, each written once, and what
fills them into docstrings.

A line of a docstring that is only ``%(name)s`` becomes the numpydoc entry
``PARAMETERS[name]``, indented as the placeholder is; lines right after it,
indented one step more, add to that entry's description. :func:`twin` gives a
function (the magnitudes of a transform, say) the sections of its twin's
docstring that its own leaves out, so the two share their parameters.
"""

from __future__ import annotations

import inspect
import re
from collections.abc import Callable
from typing import TypeVar

_T = TypeVar("_T")


def _entry(head: str, *lines: str) -> str:
    return "\n".join((head, *("    " + line for line in lines)))


_Y = ("Audio samples, time on the last axis. Leading axes are channels or a",
      "batch; a 2-D array with 1 to 8 columns and more than 8 rows",
      "is read as (n_samples, n_channels), so both stereo layouts work.")
_TUNING = ("The recording's deviation from A440 in fractions of a semitone, in",
           "[-0.5, 0.5), whatever ``bins_per_octave`` is (0.1 is 10 cents sharp):",
           "every bin moves by ``2**(tuning / 12)``.")

#: Every shared parameter's numpydoc entry, by the name its placeholder uses.
PARAMETERS: dict[str, str] = {
    "y": _entry("y : array_like of float, shape (..., n_samples)", *_Y),
    "y_or_none": _entry("y : array_like of float or None, shape (..., n_samples)", *_Y),
    "sr": _entry(
        "sr : float",
        "Sample rate in Hz. Required: pass the rate :func:`~vexolin.load` returned,",
        "which is the file's own unless ``load`` was asked for another."),
    "sr_with_y": _entry(
        "sr : float or None",
        "Sample rate in Hz of ``y``, required with it: pass the rate",
        ":func:`~vexolin.load` returned."),
    "sr_of_frames": _entry(
        "sr : float",
        "The sample rate the frames were computed at (required: the rate",
        ":func:`~vexolin.load` returned)."),
    "hop_length": _entry(
        "hop_length : int",
        "Samples between frame centres. Frames are centred on multiples of it.",
        "The rate is halved between octaves while the hop stays even, so a",
        "hop that is a multiple of ``2**(n_octaves - 1)`` (64 for 7 octaves,",
        "e.g. 512) is fastest; one with few factors of two (441, 300) gives",
        "the same results but can be dozens of times slower, and is warned",
        "about once per process."),
    "hop_of_frames": _entry(
        "hop_length : int",
        "Samples between frames, as given to the transform."),
    "fmin": _entry(
        "fmin : float or None",
        "Centre frequency of bin 0 in Hz; None means C1 (32.70 Hz)."),
    "n_bins": _entry("n_bins : int", "Number of bins."),
    "bins_per_octave": _entry(
        "bins_per_octave : int",
        "Bins per octave: bin k lies ``k / bins_per_octave`` octaves above ``fmin``."),
    "tuning": _entry(
        "tuning : float", *_TUNING,
        "0.0 (the default) leaves the bins where they are; see :func:`~vexolin.estimate_tuning`."),
    "tuning_or_none": _entry(
        "tuning : float or None", *_TUNING,
        "None (the default) estimates it with :func:`~vexolin.estimate_tuning` (whole",
        "cents, from all channels mixed); pass 0.0 for A440 or the value you know."),
    "tuning_streamed": _entry(
        "tuning : float or None", *_TUNING,
        "None (the default) estimates it with :func:`~vexolin.estimate_tuning` (whole",
        "cents, from all channels mixed) from the first ``TUNING_SECONDS`` (5 s) of",
        "the signal, or all of it if it ends sooner: those samples are held, and no",
        "frame is computed before (``startup_samples``); then the transform opens",
        "at that tuning, kept in ``tuning``, and computes every frame from the",
        "first. The same input gives the same tuning and frames however it is cut",
        "into blocks. A number is used from the first sample."),
    "filter_scale": _entry(
        "filter_scale : float",
        "Every filter's length times this (> 0): above 1 the bins are narrower",
        "in frequency and longer in time, below 1 the reverse. Bin k's filter",
        "is ``filter_scale * sr / (alpha * f_k)`` samples long, alpha the",
        "bins' relative bandwidth. 1.0 is the plain transform."),
    "workers": _entry(
        "workers : int or None",
        "The call's whole thread budget, shared between channels and the",
        "engine: channels run on ``min(n_channels, workers)`` threads, and",
        "each channel's transform on ``workers // that`` (at least 1); a",
        "single channel gets them all. None means ``VEXOLIN_THREADS`` if set,",
        "else one per CPU. Results are the same bit for bit for every value."),
    "check_finite": _entry(
        "check_finite : bool",
        "Refuse samples that are NaN or infinite (True) or skip the check."),
    "C": _entry(
        "C : array_like or None, shape (..., n_bins, n_frames), instead of ``y``",
        "CQT magnitudes already computed (e.g. by :func:`~vexolin.cqt_magnitude`),",
        "with bin 0 at ``fmin`` (moved by ``tuning`` when it was given) and",
        "``bins_per_octave``; all their bins are folded (``n_octaves`` and",
        "``sr`` are not used). ``tuning=None`` means 0 here."),
    "n_octaves": _entry("n_octaves : int", "Octaves of the underlying transform."),
    "n_chroma": _entry("n_chroma : int", "Pitch classes, between 1 and ``bins_per_octave``."),
    "return_tuning": _entry(
        "return_tuning : bool",
        "Also return the tuning used (the estimate, when ``tuning`` is None)."),
    "mono": _entry("mono : bool", "Mix the channels down (True) or keep them, as leading axes."),
}

_PLACEHOLDER = re.compile(r"^([ \t]*)%\((\w+)\)s[ \t]*$", re.M)
_HEADER = re.compile(r"^(\w[\w ]*)\n(-+)$", re.M)
#: numpydoc's order of sections.
_ORDER = ("Parameters", "Returns", "Yields", "Receives", "Other Parameters", "Raises", "Warns", "Warnings",
          "See Also", "Notes", "References", "Examples", "Attributes", "Methods")


def filled(doc: str) -> str:
    """``doc`` with each placeholder line replaced by its parameter's entry."""

    def entry(match: re.Match[str]) -> str:
        indent, name = match.groups()
        if name not in PARAMETERS:
            raise KeyError(f"no shared description of parameter {name!r} (in vexolin._docs.PARAMETERS)")
        return "\n".join(indent + line if line else line for line in PARAMETERS[name].splitlines())

    text = _PLACEHOLDER.sub(entry, doc)
    if "%(" in text:
        raise ValueError(f"a placeholder is not alone on its line in: {text.splitlines()[0]!r}")
    return text


def fill(obj: _T) -> _T:
    """Decorator: ``obj``'s docstring with its placeholders filled."""
    if obj.__doc__ is not None:  # None under python -OO
        obj.__doc__ = filled(obj.__doc__)
    return obj


def _sections(doc: str) -> tuple[str, dict[str, str]]:
    """A docstring's summary part and its sections by title, without indentation."""
    text = inspect.cleandoc(doc)
    headers = [m for m in _HEADER.finditer(text) if len(m[1]) == len(m[2])]
    ends = [m.start() for m in headers[1:]] + [len(text)]
    head = text[: headers[0].start()] if headers else text
    return head.strip(), {m[1]: text[m.start(): end].strip() for m, end in zip(headers, ends)}


def twin(original: object) -> Callable[[_T], _T]:
    """Decorator: the decorated object's docstring, given the sections of
    ``original``'s that its own leaves out (its summary is its own)."""

    def give(obj: _T) -> _T:
        if obj.__doc__ is None or original.__doc__ is None:
            return obj
        head, own = _sections(filled(obj.__doc__))
        shared = {**_sections(original.__doc__)[1], **own}
        unknown = set(shared) - set(_ORDER)
        if unknown:
            raise ValueError(f"unknown docstring sections {sorted(unknown)}")
        body = [shared[title] for title in _ORDER if title in shared]
        obj.__doc__ = "\n\n".join([head, *body]) + "\n"
        return obj

    return give
