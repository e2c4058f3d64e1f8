"""What a batch run computes: checked once, before any work, and kept with
the store so that every entry in it was made the same way. A feature's own
parameters, defaults and checks are its description's (vexolin._features);
a run adds how files are read."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from vexolin._checks import whole_number
from vexolin._features import Feature, Params, feature

# How each file is read: its rate (None keeps each file's) and mixing down.
_READING: dict[str, Any] = {"sr": None, "mono": True}


def feature_params(name: str, given: dict[str, Any]) -> Params:
    """The full, checked parameters of feature ``name``: defaults filled in
    and ``fmin`` resolved to hertz, so that equal runs compare equal."""
    described = feature(name)
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
    resolved = described.resolve({k: v for k, v in given.items() if k in own})
    if rate is not None:  # with a fixed rate the Nyquist limit is known now, not per file
        described.check_nyquist(rate, resolved)
    return {**described.json(resolved), "sr": rate, "mono": mono}


@dataclass(frozen=True)
class Request:
    """A run's feature with its resolved parameters, and how each file is
    read (``sr``, ``mono``). ``params`` is the form kept with the store."""

    params: Params

    @classmethod
    def of(cls, name: str, given: dict[str, Any]) -> Request:
        """The checked request for feature ``name`` with the parameters ``given``."""
        return cls(feature_params(name, given))

    @property
    def feature(self) -> Feature:
        return feature(self.params["feature"])

    @property
    def own(self) -> Params:
        """The feature's own parameters, without those of reading."""
        return {name: self.params[name] for name in self.feature.defaults()}

    @property
    def sr(self) -> int | None:
        rate: int | None = self.params["sr"]
        return rate

    @property
    def mono(self) -> bool:
        return bool(self.params["mono"])
