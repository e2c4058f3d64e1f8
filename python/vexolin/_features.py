"""Every feature described once, and the request every layer computes.

A :class:`Feature` is one entry of :data:`TABLE`: its parameters with their
defaults and checks, the native call that computes one channel (reached by
reference), what is done to that call's result, the names of its rows, its
dtype, and whether and how a stream computes it. A :class:`FeatureRequest`
is a feature with its parameters resolved (defaults applied, each checked,
``fmin`` in hertz); it is made once where a call enters the package (the
transforms, ``Stream``, ``stream_file``, the command line, ``batch.extract``)
and is all that the layers below it are given.

Adding a feature is one entry here plus its computation: the package's
streams, the command line's commands and options and batch's ``feature=``
are read from this table. Nothing here loads native code until a request
is computed, so parsing the command line and checking a batch's
parameters do without the extension.
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

from vexolin import _chords as chords
from vexolin._checks import check_top_bin, lowest_frequency, positive_float, whole_number
from vexolin._chroma import cens, check_norm, check_threshold, normalise
from vexolin._convert import bin_notes, chroma_notes
from vexolin._tuning import check_tuning, tuned_fmin

Params = dict[str, Any]
#: A native transform of one channel: ``(y, sr, hop, *native_args, threads, cancel=)``.
NativeCall = Callable[..., npt.NDArray[Any]]
#: Opens one channel's native stream: ``(params, sr, hop, native_args, frames_at_once)``.
StreamOpener = Callable[[Params, float, int, tuple[Any, ...], int], Any]


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
    #: The native function that computes one channel with these parameters.
    native: Callable[[Params], NativeCall]
    #: Its arguments after ``(y, sr, hop_length)``, in its own order.
    native_args: Callable[[Params], tuple[Any, ...]]
    #: Bins of the underlying transform.
    n_bins: Callable[[Params], int]
    #: The parameter to lower when the top bin is too high.
    lower: str
    #: Names of the result's rows.
    labels: Callable[[Params], list[str]]
    #: Checks between parameters, after each one's own: (params, spell).
    relations: Callable[[Params, Callable[[str], str]], None] = lambda p, spell: None
    #: What is done to one channel's native result, e.g. a norm.
    finish: Callable[[npt.NDArray[Any], Params], npt.NDArray[Any]] | None = None
    #: A chroma feature made from folded sums (of magnitudes one already
    #: has, say); None for the others.
    from_sums: Callable[[npt.NDArray[np.float32], Params], npt.NDArray[np.float32]] | None = None
    #: Opens the native stream that computes it block by block; None: it
    #: needs the whole signal.
    stream: StreamOpener | None = None
    #: Why a stream cannot give these parameters' result (None: it can).
    unstreamable: Callable[[Params], str | None] = lambda p: None
    #: Offered by the command line and batch, which store float32 rows.
    offered: bool = True
    #: The pre-check of the top bin against ``sr / 2``, when it is not the
    #: plain one (widened bands, several harmonics): (params, sr, hop).
    nyquist: Callable[[Params, float, int], None] | None = None
    #: Axes of a channel's result before its rows (a harmonic transform's
    #: channel per harmonic), which the command line and batch lay out as
    #: rows, one after another: ``labels`` names those rows.
    axes_before_rows: int = 0
    #: The transform's fixed layout (``fmin``, ``bins_per_octave``) when it
    #: is not among the parameters.
    transform: Callable[[Params], Params] | None = None

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
        feature's rows laid out as rows, as the command line and batch store them."""
        if not self.feature.axes_before_rows:
            return values
        folded = 1 + self.feature.axes_before_rows
        rows = math.prod(values.shape[-1 - folded:-1])
        return values.reshape(values.shape[:-1 - folded] + (rows, values.shape[-1]))

    @property
    def layout(self) -> Params:
        """The parameters and the transform's fixed layout, when it has one."""
        p = self.params
        return p if self.feature.transform is None else {**self.feature.transform(p), **p}

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

    def top_hz(self) -> float:
        """Centre frequency of the highest bin computed (inf beyond float range)."""
        p = self.layout
        return _bin_hz(p["fmin"], self.feature.n_bins(p) - 1, p["bins_per_octave"])

    def check_nyquist(self, sr: float) -> None:
        """The package's one pre-check of the top bin against ``sr / 2``."""
        if self.feature.nyquist is not None:
            self.feature.nyquist(self.params, sr, self.hop_length)
            return
        top = self.top_hz()
        if top < sr / 2:
            return
        # The most bins below the limit, counted as top_hz counts them.
        fmin, per_octave = self["fmin"], self["bins_per_octave"]
        most = max(0, math.ceil(per_octave * math.log2(sr / 2 / fmin))) if fmin < sr / 2 else 0
        while most > 0 and _bin_hz(fmin, most - 1, per_octave) >= sr / 2:
            most -= 1
        while _bin_hz(fmin, most, per_octave) < sr / 2:
            most += 1
        lower = self.feature.lower
        most = most // per_octave if lower == "n_octaves" else most
        check_top_bin(sr, self.hop_length, top, f"{lower} (to {most} at most)" if most > 0 else lower)

    # --- How it is computed ------------------------------------------------------

    @property
    def native(self) -> NativeCall:
        """The native function computing one channel of this request."""
        return self.feature.native(self.params)

    @property
    def native_args(self) -> tuple[Any, ...]:
        """The native call's arguments after ``(y, sr, hop)``, bins moved by the tuning."""
        p = self.layout
        return self.feature.native_args({**p, "fmin": tuned_fmin(p["fmin"], p.get("tuning") or 0.0)})

    def of_channel(self, native: NativeCall, args: tuple[Any, ...], y: npt.NDArray[np.float32], sr: float,
                   threads: int, cancel: Any = None) -> npt.NDArray[Any]:
        """One channel's result from ``native`` and ``args`` (this request's,
        taken once for all channels)."""
        values = native(y, sr, self.hop_length, *args, threads, cancel=cancel)
        return values if self.feature.finish is None else self.feature.finish(values, self.params)

    @property
    def unstreamable(self) -> str | None:
        """Why a stream cannot compute this request (None: it can)."""
        if self.feature.stream is None:
            return f"{self.feature.function} needs the whole signal"
        return self.feature.unstreamable(self.params)

    @property
    def streams(self) -> bool:
        """Whether a stream gives this request's result, block by block."""
        return self.unstreamable is None

    def open_stream(self, sr: float, frames_at_once: int) -> Any:
        """One channel's native stream of this request (see :attr:`streams`)."""
        assert self.feature.stream is not None and self.streams
        return self.feature.stream(self.params, sr, self.hop_length, self.native_args, frames_at_once)


def _bin_hz(fmin: float, k: int, bins_per_octave: int) -> float:
    try:
        return float(fmin * 2.0 ** (k / bins_per_octave))
    except OverflowError:
        return math.inf


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


# The native calls are taken from the module when a request is computed:
# the table itself loads no native code.


def _chroma_call(p: Params) -> NativeCall:
    from vexolin import _native

    # The native chroma scales frames to their largest value; other norms
    # and a threshold start from its unscaled sums.
    return _shaped(_native.chroma_cqt if _scaled_natively(p) else _native.chroma_folded, "filter_scale")


def _folded_call(p: Params) -> NativeCall:
    from vexolin import _native

    return _shaped(_native.chroma_folded, "filter_scale")


def _shaped(native: NativeCall, *shape: str) -> NativeCall:
    """``native``, whose filter-shape keywords ``shape`` (filter_scale,
    gamma) come as the last of the table's arguments before ``threads``."""

    def call(y: Any, sr: float, hop: int, *args: Any, cancel: Any = None) -> npt.NDArray[Any]:
        *layout, threads = args
        values = layout[len(layout) - len(shape):]
        return native(y, sr, hop, *layout[:len(layout) - len(shape)], threads, cancel=cancel,
                      **dict(zip(shape, values)))

    return call


def _magnitude_call(p: Params) -> NativeCall:
    from vexolin import _native

    return _shaped(_native.cqt_magnitude, "filter_scale", "gamma")


def _complex_call(p: Params) -> NativeCall:
    from vexolin import _native

    return _shaped(_native.cqt_complex, "filter_scale", "gamma")


def _hcqt_magnitude_call(p: Params) -> NativeCall:
    from vexolin import _native

    return _shaped(_native.hcqt_magnitude, "filter_scale", "gamma")


def _hcqt_complex_call(p: Params) -> NativeCall:
    from vexolin import _native

    return _shaped(_native.hcqt_complex, "filter_scale", "gamma")


def _chroma_stream(p: Params, sr: float, hop: int, args: tuple[Any, ...], frames_at_once: int) -> Any:
    from vexolin import _native

    bins_per_octave, n_octaves, n_chroma, fmin, filter_scale = args
    opened = _native.Stream.chroma if p["norm"] == "inf" else _native.Stream.chroma_folded
    return opened(sr, hop, bins_per_octave, n_octaves, n_chroma, fmin, frames_at_once, filter_scale=filter_scale)


def _cqt_stream(output: str) -> StreamOpener:
    def opened(p: Params, sr: float, hop: int, args: tuple[Any, ...], frames_at_once: int) -> Any:
        from vexolin import _native

        fmin, n_bins, bins_per_octave, filter_scale, gamma = args
        return _native.Stream.cqt(output, sr, hop, fmin, n_bins, bins_per_octave, frames_at_once,
                                  filter_scale=filter_scale, gamma=gamma)

    return opened


def _hcqt_stream(output: str) -> StreamOpener:
    def opened(p: Params, sr: float, hop: int, args: tuple[Any, ...], frames_at_once: int) -> Any:
        from vexolin import _native

        fmin, harmonics, n_bins, bins_per_octave, filter_scale, gamma = args
        return _native.Stream.hcqt(output, sr, hop, fmin, harmonics, n_bins, bins_per_octave, frames_at_once,
                                   filter_scale=filter_scale, gamma=gamma)

    return opened


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


def _widening(p: Params) -> float:
    """How far above its centre gamma widens the top band (Hz)."""
    return 0.750091552734375 * float(p.get("gamma") or 0.0) / float(p["filter_scale"])


def _vqt_nyquist(p: Params, sr: float, hop: int) -> None:
    top = _bin_hz(p["fmin"], p["n_bins"] - 1, p["bins_per_octave"])
    reach = _widening(p)
    if reach > 0.0 and top < sr / 2 <= top + reach:
        # What widens the band: gamma (perhaps the ERB default, not given), and
        # filters shortened by filter_scale, the one to raise when it is below 1.
        erb = " (the ERB default of gamma=None)" if p["gamma"] == erb_gamma(p["bins_per_octave"]) else ""
        shortened = p["filter_scale"] != 1.0
        by = f", with filter_scale={p['filter_scale']:.6g} shortening every filter," if shortened else ""
        advice = ("raise filter_scale, or lower fmin, n_bins or gamma" if p["filter_scale"] < 1.0
                  else "lower fmin, n_bins or gamma")
        raise ValueError(
            f"the top bin lies at {top:.6g} Hz and gamma={p['gamma']:.6g} Hz{erb}{by} widens its band "
            f"{reach:.6g} Hz above that, to {top + reach:.6g} Hz, at or above the Nyquist limit "
            f"sr/2 = {sr / 2:.6g} Hz: {advice}, or use a higher sr")
    check_top_bin(sr, hop, top, "n_bins")


def _hcqt_nyquist(p: Params, sr: float, hop: int) -> None:
    top = _bin_hz(p["fmin"], p["n_bins"] - 1, p["bins_per_octave"])
    reach = _widening(p)
    for i, h in enumerate(p["harmonics"]):
        if h * top + reach >= sr / 2:
            widened = f" (and gamma={p['gamma']:.6g} Hz widens its band to {h * top + reach:.6g} Hz)" if reach else ""
            raise ValueError(
                f"harmonic {h:g} (harmonics[{i}]) puts the top bin at {h * top:.6g} Hz{widened}, at or above "
                f"the Nyquist limit sr/2 = {sr / 2:.6g} Hz: drop that harmonic, lower fmin or n_bins, "
                "or use a higher sr")


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
    _HOP, _FMIN,
    Param("harmonics", (0.5, 1.0, 2.0, 3.0, 4.0, 5.0), _harmonic_list,
          "multiples of fmin, one channel each (comma-separated)", _harmonics_text, shown="0.5,1,2,3,4,5"),
    Param("n_bins", 360, _count(2), "bins of each channel", int),
    Param("bins_per_octave", 60, _count(1), "bins per octave", int),
    _TUNING,
    _FILTER_SCALE,
    Param("gamma", 0.0, lambda name, value: _gamma_or_erb(name, 0.0 if value is None else value),
          "Hz added to every bin's bandwidth alpha * f (0: constant Q)", float),
)


def _chroma_args(p: Params) -> tuple[Any, ...]:
    return (p["bins_per_octave"], p["n_octaves"], p["n_chroma"], p["fmin"], p["filter_scale"])


def _cqt_args(p: Params) -> tuple[Any, ...]:
    return (p["fmin"], p["n_bins"], p["bins_per_octave"], p["filter_scale"], p.get("gamma", 0.0))


def _hcqt_args(p: Params) -> tuple[Any, ...]:
    return (p["fmin"], list(p["harmonics"]), p["n_bins"], p["bins_per_octave"], p["filter_scale"], p["gamma"])


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
    native=_chroma_call,
    native_args=_chroma_args,
    n_bins=_chroma_bins,
    lower="n_octaves",
    labels=_chroma_labels,
    relations=_n_chroma_fits,
    finish=lambda values, p: values if _scaled_natively(p) else _chroma_of_sums(values, p),
    from_sums=lambda sums, p: _chroma_of_sums(sums, p),
    stream=_chroma_stream,
    unstreamable=_chroma_unstreamable,
)

CQT = Feature(
    name="cqt",
    function="cqt_magnitude",
    summary="CQT magnitudes (a spectrogram on a log-frequency axis).",
    params=_CQT_PARAMS,
    dtype=np.float32,
    native=_magnitude_call,
    native_args=_cqt_args,
    n_bins=lambda p: int(p["n_bins"]),
    lower="n_bins",
    labels=_cqt_labels,
    stream=_cqt_stream("magnitude"),
)

CENS = Feature(
    name="cens",
    function="chroma_cens",
    summary="Chroma energy-normalised statistics (CENS), for matching and retrieval.",
    params=(*_CHROMA_LAYOUT,
            Param("win_len_smooth", 41, _count(1), "frames of the smoothing window (1: none)", int)),
    dtype=np.float32,
    native=_folded_call,
    native_args=_chroma_args,
    n_bins=_chroma_bins,
    lower="n_octaves",
    labels=_chroma_labels,
    relations=_n_chroma_fits,
    finish=lambda values, p: cens(values, p["win_len_smooth"]),
    from_sums=lambda sums, p: cens(sums, p["win_len_smooth"]),
)

CQT_COMPLEX = Feature(
    name="cqt_complex",
    function="cqt",
    summary="The complex constant-Q transform.",
    params=_CQT_PARAMS,
    dtype=np.complex64,
    native=_complex_call,
    native_args=_cqt_args,
    n_bins=lambda p: int(p["n_bins"]),
    lower="n_bins",
    labels=_cqt_labels,
    stream=_cqt_stream("complex"),
    offered=False,  # complex rows: for the package and its streams
)

VQT = Feature(
    name="vqt",
    function="vqt_magnitude",
    summary="Variable-Q transform magnitudes: the CQT with every band widened by gamma Hz.",
    params=_VQT_PARAMS,
    dtype=np.float32,
    native=_magnitude_call,
    native_args=_cqt_args,
    n_bins=lambda p: int(p["n_bins"]),
    lower="n_bins",
    labels=_cqt_labels,
    relations=_resolve_gamma,
    stream=_cqt_stream("magnitude"),
    nyquist=_vqt_nyquist,
)

VQT_COMPLEX = replace(VQT, name="vqt_complex", function="vqt", summary="The complex variable-Q transform.",
                      dtype=np.complex64, native=_complex_call, stream=_cqt_stream("complex"), offered=False)


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
    native=_hcqt_magnitude_call,
    native_args=_hcqt_args,
    n_bins=lambda p: int(p["n_bins"]),
    lower="n_bins",
    labels=_hcqt_labels,
    stream=_hcqt_stream("magnitude"),
    nyquist=_hcqt_nyquist,
    axes_before_rows=1,
)

HCQT_COMPLEX = replace(HCQT, name="hcqt_complex", function="hcqt", summary="The complex harmonic CQT.",
                       dtype=np.complex64, native=_hcqt_complex_call, stream=_hcqt_stream("complex"),
                       offered=False)


def _vocabulary(name: str, value: object) -> str:
    if not isinstance(value, str) or value not in chords.VOCABULARIES:
        raise ValueError(f"{name} must be one of {', '.join(chords.VOCABULARIES)}, got {value!r}")
    return value


def _chords_call(p: Params) -> NativeCall:
    return chords.frame_states


CHORDS = Feature(
    name="chords",
    function="estimate_chords",
    summary="Chords: start, end and label (mir_eval's syntax) of each segment, as .lab lines.",
    params=(_HOP, _ESTIMATED_TUNING,
            Param("vocabulary", "majmin", _vocabulary,
                  "majmin (24 triads) or sevenths (and 7, maj7, min7 chords)", str)),
    dtype=np.float32,
    native=_chords_call,
    native_args=lambda p: (p["vocabulary"], p["fmin"]),
    n_bins=lambda p: chords.N_BINS,
    lower="sr",
    # Two rows per frame: the state's index among the vocabulary's labels, and its confidence.
    labels=lambda p: ["state", "confidence"],
    transform=lambda p: {"fmin": chords.C2_HZ, "bins_per_octave": chords.BINS_PER_OCTAVE},
    nyquist=lambda p, sr, hop: chords.check_rate(sr),
)


TABLE: tuple[Feature, ...] = (CHROMA, CQT, CENS, CQT_COMPLEX, VQT, VQT_COMPLEX, HCQT, HCQT_COMPLEX, CHORDS)
_ALL = {described.name: described for described in TABLE}

#: The features the command line and batch offer, by name.
FEATURES: dict[str, Feature] = {described.name: described for described in TABLE if described.offered}
#: The features a Stream computes, by the name of the package function each equals.
STREAMED: dict[str, Feature] = {described.function: described for described in TABLE
                                if described.stream is not None}


def by_name(name: object) -> Feature:
    """The offered feature called ``name``."""
    if not isinstance(name, str) or name not in FEATURES:
        raise ValueError(f"feature must be one of {', '.join(map(repr, FEATURES))}, got {name!r}")
    return FEATURES[name]

