"""The parameters of a batch run: checked once, before any work, and kept
with the store so that every entry in it was made the same way. A feature's
own parameters, defaults and checks are its request's (vexolin._features);
a run adds how files are read."""

from __future__ import annotations

from typing import Any

from vexolin._checks import whole_number
from vexolin._features import FeatureRequest, Params, by_name, from_json, request

# How each file is read: its rate (None keeps each file's) and mixing down.
_READING: dict[str, Any] = {"sr": None, "mono": True}


def feature_params(name: str, given: dict[str, Any]) -> Params:
    """The full, checked parameters of feature ``name``: defaults filled in
    and ``fmin`` resolved to hertz, so that equal runs compare equal."""
    described = by_name(name)
    own = described.defaults()
    unknown = sorted(set(given) - set(_READING) - set(own))
    if unknown:
        raise TypeError(f"unknown parameter{'s' if len(unknown) > 1 else ''} {', '.join(unknown)} "
                        f"for feature {name!r}; it takes {', '.join([*_READING, *own])}")
    mono = given.get("mono", _READING["mono"])
    if not isinstance(mono, bool):
        raise TypeError(f"mono must be True or False, got {mono!r}")
    sr = given.get("sr")
    rate = None if sr is None else whole_number("sr", sr)
    asked = request(described, {k: v for k, v in given.items() if k in own})
    if rate is not None:  # with a fixed rate the Nyquist limit is known now, not per file
        asked.check_nyquist(rate)
    return {**asked.json(), "sr": rate, "mono": mono}


def request_of(p: Params) -> FeatureRequest:
    """The feature request of a run's parameters."""
    return from_json(p)


def describe(p: dict[str, Any]) -> str:
    """The parameters as ``name=value`` pairs, for messages."""
    return ", ".join(f"{name}={value!r}" for name, value in p.items())
