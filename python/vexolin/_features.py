"""Every feature described once, and the request every layer computes.

A :class:`Feature` is one entry of :data:`TABLE`: its parameters with their
defaults and checks, the native transform that computes one channel (the
keywords of ``vexolin._native.Transform``), what is done to its result,
the names of its rows, its dtype, and whether a stream computes it. A
:class:`FeatureRequest` is a feature with its parameters resolved
(defaults applied, each checked, ``fmin`` in hertz); it is made once where
a call enters the package (the transforms, ``Stream``, ``stream_file``, the
command line, ``batch.extract``) and is all that the layers below it are
given. Its :attr:`~FeatureRequest.transform` crosses into the engine, the
tuning applied to ``fmin`` there and nowhere else; one native call and one
native stream take it.

Adding a feature is one entry here: the package's streams, the command
line's commands and options and batch's ``feature=`` are read from this
table. Nothing here loads native code until a request is computed, so
parsing the command line and checking a batch's parameters do without the
extension.
"""

from __future__ import annotations

import argparse
import math
import re
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass, field, replace
from typing import Any

import numpy as np
import numpy.typing as npt

from vexolin import _chord_model as chord_model
from vexolin._checks import lowest_frequency, positive_float, whole_number
from vexolin._chroma import cens, check_norm, check_threshold, normalise
from vexolin._convert import bin_notes, chroma_notes
from vexolin._tuning import check_tuning, tuned_fmin

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
    #: Left out of the stored form at its default: stores made before the
    #: parameter existed keep matching runs that leave it alone.
    stored_if_changed: bool = False

    @property
    def default_text(self) -> str:
        return self.shown or str(self.default)


@dataclass(frozen=True)
class Feature:
    """A feature computed from the constant-Q transform."""

    #: Its name on the command line, in batch and in stored parameters.
    name: str
    #: The package function it equals, the name a ``Stream`` takes.
    function: str
    summary: str
    params: tuple[Param, ...]
    dtype: type[np.generic]
    #: The keywords of the native transform computing one channel, ``hop``
    #: and ``fmin`` (untuned) among them.
    transform: Callable[[Params], Params]
    #: Bins of the underlying transform.
    n_bins: Callable[[Params], int]
    #: The parameter to lower when the top bin is too high.
    lower: str
    #: Names of the result's rows.
    labels: Callable[[Params], list[str]]
    #: Checks between parameters, after each one's own: (params, spell).
    relations: Callable[[Params, Callable[[str], str]], None] = lambda p, spell: None
    #: What is done to one channel's native result, e.g. a norm: (values,
    #: params, sr).
    finish: Callable[[npt.NDArray[Any], Params, float], npt.NDArray[Any]] | None = None
    #: A chroma feature made from folded sums (of magnitudes one already
    #: has, say); None for the others.
    from_sums: Callable[[npt.NDArray[np.float32], Params], npt.NDArray[np.float32]] | None = None
    #: Whether a native stream computes it block by block (else it needs
    #: the whole signal).
    stream: bool = False
    #: Why a stream cannot give these parameters' result (None: it can).
    unstreamable: Callable[[Params], str | None] = lambda p: None
    #: Offered by the command line and batch, which store float32 rows.
    offered: bool = True
    #: The pre-check of the rate, when it is not the engine's own check of
    #: the transform: (params, sr, hop).
    nyquist: Callable[[Params, float, int], None] | None = None
    #: Names of the axes of a channel's result, frames last, as a store
    #: records them. Those before the rows (a harmonic transform's channel
    #: per harmonic) the command line lays out as rows, one after another:
    #: ``labels`` names those rows.
    axes: tuple[str, ...] = ("bin", "frame")
    #: The transform's fixed layout (``fmin``, ``bins_per_octave``) when it
    #: is not among the parameters.
    fixed_layout: Callable[[Params], Params] | None = None

    def defaults(self) -> Params:
        return {param.name: param.default for param in self.params}

    @property
    def axes_before_rows(self) -> int:
        return len(self.axes) - 2

    def resolve(self, given: Mapping[str, Any], spell: Callable[[str], str] = str) -> Params:
        """The checked parameters, defaults filled in for absent ones, ``fmin``
        resolved to hertz; ``spell`` names a parameter in messages."""
        p = {param.name: param.check(spell(param.name), given[param.name] if param.name in given
                                     else param.default)
             for param in self.params}
        self.relations(p, spell)
        return p


@dataclass(frozen=True)
class FeatureRequest:
    """A feature and its resolved parameters: what to compute, from the
    entry of a call down to the native function."""

    feature: Feature
    #: The parameters in the feature's order, checked, defaults applied.
    values: tuple[tuple[str, Any], ...] = field(repr=False)

    def __reduce__(self) -> tuple[Any, ...]:
        # By name and values: a Dask task carries a few words, not the table.
        return (_from_table, (self.feature.name, self.values))

    def __repr__(self) -> str:
        return f"FeatureRequest({self.feature.name!r}, {self.params!r})"

    @property
    def name(self) -> str:
        return self.feature.name

    @property
    def params(self) -> Params:
        """The parameters, as a new dict."""
        return dict(self.values)

    def __getitem__(self, name: str) -> Any:
        for key, value in self.values:
            if key == name:
                return value
        raise KeyError(name)

    def __contains__(self, name: object) -> bool:
        return any(key == name for key, _ in self.values)

    def get(self, name: str, default: Any = None) -> Any:
        return self[name] if name in self else default

    @property
    def hop_length(self) -> int:
        return int(self["hop_length"])

    @property
    def dtype(self) -> np.dtype[Any]:
        return np.dtype(self.feature.dtype)

    @property
    def labels(self) -> list[str]:
        """Names of the result's rows."""
        return self.feature.labels(self.params)

    def as_rows(self, values: npt.NDArray[Any]) -> npt.NDArray[Any]:
        """``values`` (channels first, frames last) with the axes before the
        feature's rows laid out as rows, as the command line writes them (and
        batch stores of format 1 held them)."""
        if not self.feature.axes_before_rows:
            return values
        folded = 1 + self.feature.axes_before_rows
        rows = math.prod(values.shape[-1 - folded:-1])
        return values.reshape(values.shape[:-1 - folded] + (rows, values.shape[-1]))

    @property
    def layout(self) -> Params:
        """The parameters and the transform's fixed layout, when it has one."""
        p = self.params
        return p if self.feature.fixed_layout is None else {**self.feature.fixed_layout(p), **p}

    @property
    def n_octaves(self) -> int:
        """Octaves of the underlying transform, the last one partial."""
        return -(-self.feature.n_bins(self.params) // int(self.layout["bins_per_octave"]))

    @property
    def estimates_tuning(self) -> bool:
        """Whether the tuning is still to be estimated from the signal."""
        return "tuning" in self and self["tuning"] is None

    def with_params(self, **changed: Any) -> FeatureRequest:
        """This request with some parameters changed, each checked again."""
        return request(self.feature, {**self.params, **changed})

    def with_tuning(self, tuning: float) -> FeatureRequest:
        """This request with the tuning it was computed with."""
        return replace(self, values=tuple((k, float(tuning) if k == "tuning" else v) for k, v in self.values))

    def json(self) -> Params:
        """The form stored with results: the feature's name and its parameters
        (sequences as lists, as JSON gives them back)."""
        stored = {param.name: param for param in self.feature.params}
        return {"feature": self.name,
                **{k: list(v) if isinstance(v, tuple) else v for k, v in self.values
                   if not (stored[k].stored_if_changed and v == stored[k].default)}}

    # --- Checks before any work ---------------------------------------------------

    def check_nyquist(self, sr: float) -> None:
        """Every check the engine makes at rate ``sr`` before any work, the top
        bin against the Nyquist limit ``sr / 2`` among them, with the engine's
        own advice (the most bins or octaves that fit, the harmonic that does
        not)."""
        if self.feature.nyquist is not None:
            self.feature.nyquist(self.params, sr, self.hop_length)
            return
        try:
            self.transform.check(sr)
        except ValueError as e:
            if "Nyquist" not in str(e):
                raise
            notes = []
            if self.hop_length > sr:
                notes.append("were sr and hop_length swapped?")
            if self.get("gamma") and self["gamma"] == erb_gamma(self["bins_per_octave"]):
                notes.append("gamma is the ERB default of gamma=None")
            if not notes:
                raise
            raise ValueError(f"{e} ({'; '.join(notes)})") from None

    # --- How it is computed ------------------------------------------------------

    @property
    def transform(self) -> Any:
        """The native transform of one channel of this request, ``fmin`` moved by the tuning."""
        from vexolin import _native

        p = self.layout
        keywords = self.feature.transform({**p, "fmin": tuned_fmin(p["fmin"], p.get("tuning") or 0.0)})
        return _native.Transform(**keywords)

    def of_channel(self, transform: Any, y: npt.NDArray[np.float32], sr: float, threads: int,
                   cancel: Any = None) -> npt.NDArray[Any]:
        """One channel's result of ``transform`` (this request's, made once for
        all channels)."""
        from vexolin import _native

        values = _native.compute(transform, y, sr, threads, cancel)
        return values if self.feature.finish is None else self.feature.finish(values, self.params, sr)

    @property
    def unstreamable(self) -> str | None:
        """Why a stream cannot compute this request (None: it can)."""
        if not self.feature.stream:
            return f"{self.feature.function} needs the whole signal"
        return self.feature.unstreamable(self.params)

    @property
    def streams(self) -> bool:
        """Whether a stream gives this request's result, block by block."""
        return self.unstreamable is None

    def open_stream(self, sr: float, frames_at_once: int) -> Any:
        """One channel's native stream of this request's transform: its frames
        before the feature's ``finish``, which are the request's result when
        it :attr:`streams`."""
        from vexolin import _native

        return _native.Stream(self.transform, sr, frames_at_once)


def request(feature: Feature | str, given: Mapping[str, Any], spell: Callable[[str], str] = str) -> FeatureRequest:
    """The request of ``feature`` (or its name) with the parameters
    ``given``; absent ones take their defaults, and each is checked."""
    described = by_name(feature) if isinstance(feature, str) else feature
    p = described.resolve(given, spell)
    return FeatureRequest(described, tuple(p.items()))


def from_json(document: Mapping[str, Any]) -> FeatureRequest:
    """The request stored as ``document`` (a :meth:`FeatureRequest.json`,
    possibly with other keys beside its parameters)."""
    described = by_name(document["feature"])
    return request(described, {name: document[name] for name in described.defaults() if name in document})


def _from_table(name: str, values: tuple[tuple[str, Any], ...]) -> FeatureRequest:
    return FeatureRequest(_ALL[name], values)


# --- The features ----------------------------------------------------------------------


def _n_chroma_fits(p: Params, spell: Callable[[str], str]) -> None:
    if p["n_chroma"] > p["bins_per_octave"]:
        raise ValueError(f"{spell('n_chroma')} must be between 1 and {spell('bins_per_octave')} "
                         f"({p['bins_per_octave']}), got {p['n_chroma']}")


def _tuning_or_auto(name: str, value: Any) -> float | None:
    return None if value is None else check_tuning(name, value)


def _tuning_text(text: str) -> float | None:
    if text.strip().lower() == "auto":
        return None
    return _number(text, text, "semitones in [-0.5, 0.5) from A440, or auto")


def _scaled_natively(p: Params) -> bool:
    return bool(p["norm"] == "inf" and p["threshold"] == 0.0)


def _chroma_of_sums(sums: npt.NDArray[np.float32], p: Params) -> npt.NDArray[np.float32]:
    return normalise(sums, p["norm"], p["threshold"])


def _chroma_unstreamable(p: Params) -> str | None:
    # The native stream scales frames to their largest value, or gives the sums.
    if p["norm"] not in ("inf", None):
        return (f"a Stream scales chroma frames to their largest value only (norm=np.inf), or gives their sums "
                f"(norm=None), got norm={p['norm']!r}; use vexolin.chroma_cqt on the whole signal")
    if p["threshold"] != 0.0:
        return ("a Stream takes no threshold: it is relative to the whole signal's largest value, "
                "unknown until the end; use vexolin.chroma_cqt on the whole signal")
    return None


def _gamma_or_erb(name: str, value: Any) -> float | None:
    if value is None:
        return None
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a number of hertz or None, got {value!r}")
    gamma = float(value)
    if not (np.isfinite(gamma) and gamma >= 0.0):
        raise ValueError(f"{name} must be a finite number >= 0 (Hz), got {value!r}")
    return gamma


def _gamma_text(text: str) -> float | None:
    if text.strip().lower() in ("erb", "none"):
        return None
    return _number(text, text, "hertz, or erb")


def erb_gamma(bins_per_octave: int) -> float:
    """The ERB-based bandwidth offset ``24.7 * alpha / 0.108`` (Hz), alpha being
    the relative bandwidth of ``bins_per_octave`` bins per octave."""
    p = math.pow(2.0, 2.0 / bins_per_octave)
    return 24.7 * ((p - 1.0) / (p + 1.0)) / 0.108


def _resolve_gamma(p: Params, spell: Callable[[str], str]) -> None:
    if p["gamma"] is None:
        p["gamma"] = erb_gamma(p["bins_per_octave"])


def _harmonic_list(name: str, value: Any) -> tuple[float, ...]:
    """A 1-D sequence (any iterable) of numbers > 0, one channel each."""
    wanted = f"{name} must be a non-empty 1-D sequence of numbers > 0, one channel each (e.g. (1, 2, 3))"
    if isinstance(value, np.ndarray):
        if value.ndim != 1:
            raise ValueError(f"{wanted}, got an array of shape {value.shape}")
        items = tuple(value.tolist())
    elif isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
        one = f"; for one harmonic, pass ({value},)" if isinstance(value, (int, float, np.number)) else ""
        raise TypeError(f"{wanted}, got {value!r}{one}")
    else:
        items = tuple(value)
    if not items:
        raise ValueError(f"{wanted}, got {value!r}")
    for i, h in enumerate(items):
        if isinstance(h, np.ndarray) or isinstance(h, Iterable) and not isinstance(h, (str, bytes)):
            raise ValueError(f"{wanted}, got {h!r} as {name}[{i}]")
    return tuple(positive_float(f"{name}[{i}]", h) for i, h in enumerate(items))


def _harmonics_text(text: str) -> tuple[float, ...]:
    parts = re.split(r"\s*,\s*|\s+", text.strip())
    for i, part in enumerate(parts):
        if not part:
            raise argparse.ArgumentTypeError(f"{text!r}: item {i + 1} is empty; give numbers separated by commas, "
                                             "e.g. 0.5,1,2")
    return tuple(_number(text, part, "harmonic") for part in parts)


def _number(text: str, part: str, what: str) -> float:
    """``part`` of the command-line value ``text`` as a number, or a usage error naming it."""
    try:
        return float(part)
    except ValueError:
        given = repr(text) if part == text else f"{text!r}: {part!r}"
        raise argparse.ArgumentTypeError(f"{given} is not a number ({what})") from None


_HOP = Param("hop_length", 512, _count(1), "samples between frames", int)
_FMIN = Param("fmin", None, lambda name, value: lowest_frequency(value, name), "lowest bin in Hz", float,
              shown="C1, 32.70 Hz")
_FILTER_SCALE = Param("filter_scale", 1.0, positive_float,
                      "every filter's length times this: above 1 finer in frequency, coarser in time", float,
                      stored_if_changed=True)
# The transform chroma folds, and its tuning.
_ESTIMATED_TUNING = Param("tuning", None, _tuning_or_auto,
                          "semitones in [-0.5, 0.5) from A440 (any bins per octave), or auto to estimate it",
                          _tuning_text, shown="auto")
_CHROMA_LAYOUT = (
    _HOP, _FMIN,
    Param("bins_per_octave", 36, _count(1), "bins per octave of the transform", int),
    Param("n_octaves", 7, _count(1), "octaves of the transform", int),
    Param("n_chroma", 12, _count(1), "pitch classes", int),
    _ESTIMATED_TUNING,
    _FILTER_SCALE,
)
_TUNING = Param("tuning", 0.0, check_tuning, "semitones in [-0.5, 0.5) from A440 (any bins per octave)", float)
_CQT_PARAMS = (
    _HOP, _FMIN,
    Param("n_bins", 84, _count(2), "bins", int),
    Param("bins_per_octave", 12, _count(1), "bins per octave", int),
    _TUNING,
    _FILTER_SCALE,
)
_VQT_PARAMS = (
    *_CQT_PARAMS,
    Param("gamma", None, _gamma_or_erb,
          "Hz added to every bin's bandwidth alpha * f, or erb for 24.7 * alpha / 0.108", _gamma_text,
          shown="erb"),
)
_HCQT_PARAMS = (
    # The deep-salience layout's hop at 22.05 kHz, as its other defaults are that layout's.
    replace(_HOP, default=256), _FMIN,
    Param("harmonics", (0.5, 1.0, 2.0, 3.0, 4.0, 5.0), _harmonic_list,
          "multiples of fmin, one channel each (comma-separated)", _harmonics_text, shown="0.5,1,2,3,4,5"),
    Param("n_bins", 360, _count(2), "bins of each channel", int),
    Param("bins_per_octave", 60, _count(1), "bins per octave", int),
    _TUNING,
    _FILTER_SCALE,
    Param("gamma", 0.0, lambda name, value: _gamma_or_erb(name, 0.0 if value is None else value),
          "Hz added to every bin's bandwidth alpha * f (0: constant Q)", float),
)


def _chroma_transform(p: Params) -> Params:
    # The native chroma scales frames to their largest value; other norms
    # and a threshold start from its unscaled sums.
    return _folded_transform(p, "chroma" if _scaled_natively(p) else "chroma_sums")


def _folded_transform(p: Params, output: str = "chroma_sums") -> Params:
    return dict(hop=p["hop_length"], fmin=p["fmin"], n_bins=p["n_octaves"] * p["bins_per_octave"],
                bins_per_octave=p["bins_per_octave"], filter_scale=p["filter_scale"], output=output,
                n_chroma=p["n_chroma"])


def _cqt_transform(output: str) -> Callable[[Params], Params]:
    def keywords(p: Params) -> Params:
        return dict(hop=p["hop_length"], fmin=p["fmin"], n_bins=p["n_bins"], bins_per_octave=p["bins_per_octave"],
                    filter_scale=p["filter_scale"], gamma=p.get("gamma") or 0.0, output=output)

    return keywords


def _hcqt_transform(output: str) -> Callable[[Params], Params]:
    def keywords(p: Params) -> Params:
        return {**_cqt_transform(output)(p), "harmonics": p["harmonics"]}

    return keywords


def _chroma_bins(p: Params) -> int:
    return int(p["n_octaves"] * p["bins_per_octave"])


def _chroma_labels(p: Params) -> list[str]:
    return chroma_notes(p["n_chroma"])


def _cqt_labels(p: Params) -> list[str]:
    return bin_notes(p["n_bins"], fmin=p["fmin"], bins_per_octave=p["bins_per_octave"])


CHROMA = Feature(
    name="chroma",
    function="chroma_cqt",
    summary="Chroma features (pitch classes over time).",
    params=(*_CHROMA_LAYOUT,
            Param("norm", float("inf"), check_norm,
                  "scale each frame to norm 1: inf (largest value), 1, 2 or none", str, shown="inf"),
            Param("threshold", 0.0, check_threshold,
                  "values below this fraction of the largest are set to 0 before the norm", float)),
    dtype=np.float32,
    transform=_chroma_transform,
    n_bins=_chroma_bins,
    lower="n_octaves",
    labels=_chroma_labels,
    relations=_n_chroma_fits,
    axes=("chroma", "frame"),
    finish=lambda values, p, sr: values if _scaled_natively(p) else _chroma_of_sums(values, p),
    from_sums=lambda sums, p: _chroma_of_sums(sums, p),
    stream=True,
    unstreamable=_chroma_unstreamable,
)

CQT = Feature(
    name="cqt",
    function="cqt_magnitude",
    summary="CQT magnitudes (a spectrogram on a log-frequency axis).",
    params=_CQT_PARAMS,
    dtype=np.float32,
    transform=_cqt_transform("magnitude"),
    n_bins=lambda p: int(p["n_bins"]),
    lower="n_bins",
    labels=_cqt_labels,
    stream=True,
)

CENS = Feature(
    name="cens",
    function="chroma_cens",
    summary="Chroma energy-normalised statistics (CENS), for matching and retrieval.",
    params=(*_CHROMA_LAYOUT,
            Param("win_len_smooth", 41, _count(1), "frames of the smoothing window (1: none)", int)),
    dtype=np.float32,
    transform=_folded_transform,
    n_bins=_chroma_bins,
    lower="n_octaves",
    labels=_chroma_labels,
    relations=_n_chroma_fits,
    axes=("chroma", "frame"),
    finish=lambda values, p, sr: cens(values, p["win_len_smooth"]),
    from_sums=lambda sums, p: cens(sums, p["win_len_smooth"]),
)

CQT_COMPLEX = Feature(
    name="cqt_complex",
    function="cqt",
    summary="The complex constant-Q transform.",
    params=_CQT_PARAMS,
    dtype=np.complex64,
    transform=_cqt_transform("complex"),
    n_bins=lambda p: int(p["n_bins"]),
    lower="n_bins",
    labels=_cqt_labels,
    stream=True,
    offered=False,  # complex rows: for the package and its streams
)

VQT = Feature(
    name="vqt",
    function="vqt_magnitude",
    summary="Variable-Q transform magnitudes: the CQT with every band widened by gamma Hz.",
    params=_VQT_PARAMS,
    dtype=np.float32,
    transform=_cqt_transform("magnitude"),
    n_bins=lambda p: int(p["n_bins"]),
    lower="n_bins",
    labels=_cqt_labels,
    relations=_resolve_gamma,
    stream=True,
)

VQT_COMPLEX = replace(VQT, name="vqt_complex", function="vqt", summary="The complex variable-Q transform.",
                      dtype=np.complex64, transform=_cqt_transform("complex"), offered=False)


def _hcqt_labels(p: Params) -> list[str]:
    # Channel by channel, each bin named with its harmonic and the note it lies at.
    return [f"h{h:g} {note}" for h in p["harmonics"]
            for note in bin_notes(p["n_bins"], fmin=h * p["fmin"], bins_per_octave=p["bins_per_octave"])]


HCQT = Feature(
    name="hcqt",
    function="hcqt_magnitude",
    summary="Harmonic CQT magnitudes: one channel per harmonic of fmin.",
    params=_HCQT_PARAMS,
    dtype=np.float32,
    transform=_hcqt_transform("magnitude"),
    n_bins=lambda p: int(p["n_bins"]),
    lower="n_bins",
    labels=_hcqt_labels,
    stream=True,
    axes=("harmonic", "bin", "frame"),
)

HCQT_COMPLEX = replace(HCQT, name="hcqt_complex", function="hcqt", summary="The complex harmonic CQT.",
                       dtype=np.complex64, transform=_hcqt_transform("complex"),
                       offered=False)


def _vocabulary(name: str, value: object) -> str:
    if not isinstance(value, str) or value not in chord_model.VOCABULARIES:
        raise ValueError(f"{name} must be one of {', '.join(chord_model.VOCABULARIES)}, got {value!r}")
    return value


CHORDS = Feature(
    name="chords",
    function="estimate_chords",
    summary="Chords: start, end and label (mir_eval's syntax) of each segment, as .lab lines.",
    params=(_HOP, _ESTIMATED_TUNING,
            Param("vocabulary", "majmin", _vocabulary,
                  "majmin (24 triads) or sevenths (and 7, maj7, min7 chords)", str)),
    dtype=np.float32,
    transform=lambda p: dict(hop=p["hop_length"], fmin=p["fmin"], n_bins=chord_model.N_BINS,
                             bins_per_octave=chord_model.BINS_PER_OCTAVE),
    finish=lambda values, p, sr: chord_model.frame_states(values, sr, p["hop_length"], p["vocabulary"]),
    n_bins=lambda p: chord_model.N_BINS,
    lower="sr",
    # Two rows per frame: the state's index among the vocabulary's labels, and its confidence.
    labels=lambda p: ["state", "confidence"],
    axes=("quantity", "frame"),
    fixed_layout=lambda p: {"fmin": chord_model.C2_HZ, "bins_per_octave": chord_model.BINS_PER_OCTAVE},
    nyquist=lambda p, sr, hop: chord_model.check_rate(sr),
)


TABLE: tuple[Feature, ...] = (CHROMA, CQT, CENS, CQT_COMPLEX, VQT, VQT_COMPLEX, HCQT, HCQT_COMPLEX, CHORDS)
_ALL = {described.name: described for described in TABLE}

#: The features the command line and batch offer, by name.
FEATURES: dict[str, Feature] = {described.name: described for described in TABLE if described.offered}
#: The features a Stream computes, by the name of the package function each equals.
STREAMED: dict[str, Feature] = {described.function: described for described in TABLE
                                if described.stream}


def by_name(name: object) -> Feature:
    """The offered feature called ``name``."""
    if not isinstance(name, str) or name not in FEATURES:
        raise ValueError(f"feature must be one of {', '.join(map(repr, FEATURES))}, got {name!r}")
    return FEATURES[name]

