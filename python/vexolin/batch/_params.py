"""The parameters of a batch run: checked once, before any work, and kept
with the store so that every entry in it was made the same way."""

from __future__ import annotations

from typing import Any

from vexolin._core import check_top_bin, lowest_frequency, whole_number

FEATURES = ("chroma", "cqt")

_COMMON: dict[str, Any] = {"sr": None, "mono": True, "hop_length": 512, "fmin": None}
_OWN: dict[str, dict[str, Any]] = {
    "chroma": {"bins_per_octave": 36, "n_octaves": 7, "n_chroma": 12},
    "cqt": {"n_bins": 84, "bins_per_octave": 12},
}


def feature_params(feature: str, given: dict[str, Any]) -> dict[str, Any]:
    """The full, checked parameters of ``feature``: defaults filled in and
    ``fmin`` resolved to hertz, so that equal runs compare equal."""
    if feature not in FEATURES:
        raise ValueError(f"feature must be one of {', '.join(map(repr, FEATURES))}, got {feature!r}")
    allowed = {**_COMMON, **_OWN[feature]}
    unknown = sorted(set(given) - set(allowed))
    if unknown:
        raise TypeError(f"unknown parameter{'s' if len(unknown) > 1 else ''} {', '.join(unknown)} "
                        f"for feature {feature!r}; it takes {', '.join(allowed)}")
    merged = {**allowed, **given}
    if not isinstance(merged["mono"], bool):
        raise TypeError(f"mono must be True or False, got {merged['mono']!r}")
    p: dict[str, Any] = {
        "feature": feature,
        "sr": None if merged["sr"] is None else whole_number("sr", merged["sr"]),
        "mono": merged["mono"],
        "hop_length": whole_number("hop_length", merged["hop_length"]),
        "fmin": lowest_frequency(merged["fmin"]),
        "bins_per_octave": whole_number("bins_per_octave", merged["bins_per_octave"]),
    }
    if feature == "chroma":
        p["n_octaves"] = whole_number("n_octaves", merged["n_octaves"])
        p["n_chroma"] = whole_number("n_chroma", merged["n_chroma"])
        if p["n_chroma"] > p["bins_per_octave"]:
            raise ValueError(f"n_chroma must be between 1 and bins_per_octave ({p['bins_per_octave']}), "
                             f"got {p['n_chroma']}")
    else:
        p["n_bins"] = whole_number("n_bins", merged["n_bins"], minimum=2)
    if p["sr"] is not None:  # with a fixed rate the Nyquist limit is known now, not per file
        check_top_bin(p["sr"], p["hop_length"], top_frequency(p), "n_octaves" if feature == "chroma" else "n_bins")
    return p


def top_frequency(p: dict[str, Any]) -> float:
    """Centre frequency of the highest bin the feature computes."""
    n_bins = p["n_octaves"] * p["bins_per_octave"] if p["feature"] == "chroma" else p["n_bins"]
    return float(p["fmin"] * 2.0 ** ((n_bins - 1) / p["bins_per_octave"]))


def describe(p: dict[str, Any]) -> str:
    """The parameters as ``name=value`` pairs, for messages."""
    return ", ".join(f"{name}={value!r}" for name, value in p.items())
