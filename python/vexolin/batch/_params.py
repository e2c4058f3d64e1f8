"""What a batch run computes: checked once, before any work, and kept with
the store so that every entry in it was made the same way. A feature's own
parameters, defaults and checks are its request's (vexolin._features); a
run adds how files are read."""

from __future__ import annotations

from typing import Any

from vexolin._checks import whole_number
from vexolin._features import FeatureRequest, Params, by_name, request

# How each file is read: its rate (None keeps each file's) and mixing down.
_READING: dict[str, Any] = {"sr": None, "mono": True}


def checked(name: str, given: dict[str, Any]) -> tuple[FeatureRequest, int | None, bool]:
    """The request of feature ``name`` with the parameters ``given`` (those
    of reading files among them), and the rate and mixing down files are
    read with; every one checked."""
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
    return asked, rate, mono


def stored(asked: FeatureRequest, sr: int | None, mono: bool) -> Params:
    """The form kept with the store: the feature, its resolved parameters,
    and how files are read, so that equal runs compare equal."""
    return {**asked.json(), "sr": sr, "mono": mono}
