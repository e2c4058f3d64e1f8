"""Each feature described once: its parameters with their defaults and
checks, the top bin for the Nyquist pre-check, the native call that computes
it, the names of its rows, and the form stored with results. The package's
functions, the command line and batch all read these descriptions; none
imports native code."""

from __future__ import annotations

from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from vexolin._checks import check_top_bin, lowest_frequency, whole_number
from vexolin._chroma import check_norm, check_threshold, normalise
from vexolin._convert import bin_notes, chroma_notes
from vexolin._tuning import check_tuning

Params = dict[str, Any]


def _count(minimum: int) -> Callable[[str, object], int]:
    return lambda name, value: whole_number(name, value, minimum)


@dataclass(frozen=True)
class Param:
    """One parameter: its keyword, default, check and what it sets."""

    name: str
    default: Any
    #: Returns the checked value; takes the name to use in messages.
    check: Callable[[str, Any], Any]
    help: str
    #: Converts its command-line value.
    type: Callable[[str], Any]
    #: The default as help texts show it.
    shown: str = ""

    @property
    def default_text(self) -> str:
        return self.shown or str(self.default)


@dataclass(frozen=True)
class Feature:
    """A feature computed from the constant-Q transform."""

    name: str
    summary: str
    params: tuple[Param, ...]
    #: The native function that computes one channel, and its arguments after
    #: ``(y, sr, hop_length)`` in its own order.
    native: str
    native_args: Callable[[Params], tuple[Any, ...]]
    #: Bins of the underlying transform.
    n_bins: Callable[[Params], int]
    #: The parameter to lower when the top bin is too high.
    lower: str
    #: Names of the result's rows.
    labels: Callable[[Params], list[str]]
    #: Checks between parameters, after each one's own: (params, spell).
    relations: Callable[[Params, Callable[[str], str]], None] = lambda p, spell: None
    #: The native function for these parameters, when it is not always ``native``.
    native_for: Callable[[Params], str] | None = None
    #: What is done to one channel's native result, e.g. a norm.
    finish: Callable[[npt.NDArray[np.float32], Params], npt.NDArray[np.float32]] | None = None

    def defaults(self) -> Params:
        return {param.name: param.default for param in self.params}

    def resolve(self, given: Mapping[str, Any], spell: Callable[[str], str] = str) -> Params:
        """The checked parameters, defaults filled in for absent ones, ``fmin``
        resolved to hertz; ``spell`` names a parameter in messages."""
        p = {param.name: param.check(spell(param.name), given[param.name] if param.name in given
                                     else param.default)
             for param in self.params}
        self.relations(p, spell)
        return p

    def top_hz(self, p: Params) -> float:
        """Centre frequency of the highest bin computed."""
        return float(p["fmin"] * 2.0 ** ((self.n_bins(p) - 1) / p["bins_per_octave"]))

    def check_nyquist(self, sr: float, p: Params) -> None:
        """The package's one pre-check of the top bin against ``sr / 2``."""
        check_top_bin(sr, p["hop_length"], self.top_hz(p), self.lower)

    def json(self, p: Params) -> Params:
        """The form stored with results: the feature's name and its resolved parameters."""
        return {"feature": self.name, **p}


def _n_chroma_fits(p: Params, spell: Callable[[str], str]) -> None:
    if p["n_chroma"] > p["bins_per_octave"]:
        raise ValueError(f"{spell('n_chroma')} must be between 1 and {spell('bins_per_octave')} "
                         f"({p['bins_per_octave']}), got {p['n_chroma']}")


def _tuning_or_auto(name: str, value: Any) -> float | None:
    return None if value is None else check_tuning(name, value)


def _tuning_text(text: str) -> float | None:
    return None if text.strip().lower() == "auto" else float(text)


def _scaled_natively(p: Params) -> bool:
    return bool(p["norm"] == "inf" and p["threshold"] == 0.0)


_HOP = Param("hop_length", 512, _count(1), "samples between frames", int)
_FMIN = Param("fmin", None, lambda name, value: lowest_frequency(value, name), "lowest bin in Hz", float, shown="C1, 32.70 Hz")

CHROMA = Feature(
    name="chroma",
    summary="Chroma features (pitch classes over time).",
    params=(_HOP, _FMIN,
            Param("bins_per_octave", 36, _count(1), "bins per octave of the transform", int),
            Param("n_octaves", 7, _count(1), "octaves of the transform", int),
            Param("n_chroma", 12, _count(1), "pitch classes", int),
            Param("tuning", None, _tuning_or_auto,
                  "semitones in [-0.5, 0.5) from A440 (any bins per octave), or auto to estimate it",
                  _tuning_text, shown="auto"),
            Param("norm", float("inf"), check_norm,
                  "scale each frame to norm 1: inf (largest value), 1, 2 or none", str, shown="inf"),
            Param("threshold", 0.0, check_threshold,
                  "values below this fraction of the largest are set to 0 before the norm", float)),
    native="chroma_cqt",
    native_args=lambda p: (p["bins_per_octave"], p["n_octaves"], p["n_chroma"], p["fmin"]),
    n_bins=lambda p: int(p["n_octaves"] * p["bins_per_octave"]),
    lower="n_octaves",
    labels=lambda p: chroma_notes(p["n_chroma"]),
    relations=_n_chroma_fits,
    # The native chroma scales frames to their largest value; other norms
    # and a threshold start from its unscaled sums.
    native_for=lambda p: "chroma_cqt" if _scaled_natively(p) else "chroma_folded",
    finish=lambda values, p: values if _scaled_natively(p) else normalise(values, p["norm"], p["threshold"]),
)

CQT = Feature(
    name="cqt",
    summary="CQT magnitudes (a spectrogram on a log-frequency axis).",
    params=(_HOP, _FMIN,
            Param("n_bins", 84, _count(2), "bins", int),
            Param("bins_per_octave", 12, _count(1), "bins per octave", int),
            Param("tuning", 0.0, check_tuning, "semitones in [-0.5, 0.5) from A440 (any bins per octave)", float)),
    native="cqt_magnitude",
    native_args=lambda p: (p["fmin"], p["n_bins"], p["bins_per_octave"]),
    n_bins=lambda p: int(p["n_bins"]),
    lower="n_bins",
    labels=lambda p: bin_notes(p["n_bins"], fmin=p["fmin"], bins_per_octave=p["bins_per_octave"]),
)

#: The features the command line and batch offer, by name.
FEATURES: dict[str, Feature] = {feature.name: feature for feature in (CHROMA, CQT)}


def feature(name: object) -> Feature:
    """The feature called ``name``."""
    if not isinstance(name, str) or name not in FEATURES:
        raise ValueError(f"feature must be one of {', '.join(map(repr, FEATURES))}, got {name!r}")
    return FEATURES[name]
