"""The harmonic constant-Q transform: the transform from each harmonic of
fmin, stacked as channels, computed once for all of them."""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

from vexolin._checks import refuses_foreign_keywords, sr_required
from vexolin._core import compute
from vexolin._docs import fill, twin
from vexolin._features import HCQT, HCQT_COMPLEX, request

_DEEP_SALIENCE = (0.5, 1.0, 2.0, 3.0, 4.0, 5.0)


@refuses_foreign_keywords
@sr_required
@fill
def hcqt(
    y: npt.ArrayLike,
    *,
    sr: float,
    harmonics: Sequence[float] = _DEEP_SALIENCE,
    hop_length: int = 256,
    fmin: float | None = None,
    n_bins: int = 360,
    bins_per_octave: int = 60,
    gamma: float = 0.0,
    tuning: float = 0.0,
    filter_scale: float = 1.0,
    workers: int | None = None,
    check_finite: bool = True,
) -> npt.NDArray[np.complex64]:
    """Complex harmonic constant-Q transform (HCQT).

    Channel i is the transform whose bin 0 lies at ``harmonics[i] * fmin``:
    equal bit for bit to ``cqt(y, fmin=harmonics[i] * fmin, ...)`` (or to
    :func:`vqt` with ``gamma``) on the frames all channels have, and in the
    same bin a partial ``harmonics[i]`` times the fundamental shows. It is
    computed once: one set of halved signals for all harmonics, every frame
    transformed once per rate and FFT size that any channel reads, and only
    the kernel products per channel, which takes a fraction of the time of
    separate calls.

    Parameters
    ----------
    %(y)s
    %(sr)s
    harmonics : sequence of float
        Multiples of ``fmin``, one channel each (> 0). The default, 0.5 to
        5, with 60 bins per octave over 6 octaves from C1 and a hop of 256
        samples at 22.05 kHz, is the layout of deep-salience pitch models.
    %(hop_length)s
        256 by default, unlike :func:`cqt`'s 512: the deep-salience layout's hop.
    fmin : float or None
        Bin 0 of the first harmonic's channel is ``harmonics[0] * fmin``;
        None means C1 (32.70 Hz).
    n_bins : int
        Bins of every channel (at least 2).
    %(bins_per_octave)s
    gamma : float
        Hertz added to every bin's bandwidth, as in :func:`vqt` (0.0: constant Q).
    %(tuning)s
    %(filter_scale)s
    %(workers)s
    %(check_finite)s

    Returns
    -------
    ndarray of complex64, shape (..., n_harmonics, n_bins, n_frames)
        ``n_frames`` is the fewest any channel's own transform has (a
        channel's own call can have one frame more when the signal ends just
        before a hop).

    Raises
    ------
    TypeError, ValueError
        As in :func:`cqt`; the ``ValueError`` of a top bin at or above the
        Nyquist limit names the highest harmonic that puts it there, and the
        most ``n_bins`` that every harmonic fits.

    Examples
    --------
    >>> import numpy as np
    >>> import vexolin
    >>> sr = 22050
    >>> y = np.sin(2 * np.pi * 220.0 * np.arange(sr) / sr)  # A3
    >>> H = vexolin.hcqt(y, sr=sr, harmonics=(1, 2), fmin=55.0,
    ...                  n_bins=48, bins_per_octave=12)
    >>> H.shape, H.dtype
    ((2, 48, 87), dtype('complex64'))
    >>> # The strongest bin of each channel: 220 Hz lies 2 octaves
    >>> # above 55 Hz (channel 1) and 1 above 110 Hz (channel 2).
    >>> [int(np.abs(Hi).mean(axis=1).argmax()) for Hi in H]
    [24, 12]
    """
    asked = request(HCQT_COMPLEX, dict(harmonics=harmonics, hop_length=hop_length, fmin=fmin, n_bins=n_bins,
                                       bins_per_octave=bins_per_octave, gamma=gamma, tuning=tuning,
                                       filter_scale=filter_scale))
    result: npt.NDArray[np.complex64] = compute(asked, y, sr, workers, check_finite)[0]
    return result


@refuses_foreign_keywords
@sr_required
@twin(hcqt)
def hcqt_magnitude(
    y: npt.ArrayLike,
    *,
    sr: float,
    harmonics: Sequence[float] = _DEEP_SALIENCE,
    hop_length: int = 256,
    fmin: float | None = None,
    n_bins: int = 360,
    bins_per_octave: int = 60,
    gamma: float = 0.0,
    tuning: float = 0.0,
    filter_scale: float = 1.0,
    workers: int | None = None,
    check_finite: bool = True,
) -> npt.NDArray[np.float32]:
    """Magnitudes of the harmonic constant-Q transform.

    Takes the arguments of :func:`hcqt` and returns ``abs(hcqt(y, ...))``,
    computed without forming the complex result.

    Returns
    -------
    ndarray of float32, shape (..., n_harmonics, n_bins, n_frames)
        The magnitudes, channel by channel, as :func:`hcqt` has its frames.

    Examples
    --------
    >>> import numpy as np
    >>> import vexolin
    >>> rng = np.random.default_rng(0)
    >>> y = rng.standard_normal(22050).astype(np.float32)
    >>> # 6 harmonics, 6 octaves of 60 bins, hop 256:
    >>> vexolin.hcqt_magnitude(y, sr=22050).shape
    (6, 360, 87)
    """
    asked = request(HCQT, dict(harmonics=harmonics, hop_length=hop_length, fmin=fmin, n_bins=n_bins,
                               bins_per_octave=bins_per_octave, gamma=gamma, tuning=tuning,
                               filter_scale=filter_scale))
    result: npt.NDArray[np.float32] = compute(asked, y, sr, workers, check_finite)[0]
    return result
