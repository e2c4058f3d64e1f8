"""The variable-Q transform: the constant-Q transform with every band widened
by the same number of hertz, so that low bins get shorter filters."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from vexolin._checks import refuses_foreign_keywords, sr_required
from vexolin._core import compute
from vexolin._docs import fill, twin
from vexolin._features import VQT, VQT_COMPLEX, request


@refuses_foreign_keywords
@sr_required
@fill
def vqt(
    y: npt.ArrayLike,
    *,
    sr: float,
    hop_length: int = 512,
    fmin: float | None = None,
    n_bins: int = 84,
    bins_per_octave: int = 12,
    gamma: float | None = None,
    tuning: float = 0.0,
    filter_scale: float = 1.0,
    workers: int | None = None,
    check_finite: bool = True,
) -> npt.NDArray[np.complex64]:
    """Complex variable-Q transform.

    The constant-Q transform of :func:`cqt` with bin k's bandwidth
    ``alpha * f_k + gamma`` hertz instead of ``alpha * f_k`` (alpha the
    bins' relative bandwidth): its filter is ``filter_scale * sr / (alpha *
    f_k + gamma)`` samples long. Low bins, where ``gamma`` dominates, get much
    shorter filters (sharper in time, and less latency in a :class:`Stream`);
    high bins stay nearly constant-Q.

    Parameters
    ----------
    %(y)s
    %(sr)s
    %(hop_length)s
    %(fmin)s
    %(n_bins)s
        At least 2.
    %(bins_per_octave)s
    gamma : float or None
        Hertz added to every bin's bandwidth (>= 0). None (the default) is
        ``24.7 * alpha / 0.108``, bandwidths that follow the ear's equivalent
        rectangular bandwidths (about 13.2 Hz at 12 bins per octave); 0.0 gives
        :func:`cqt` bit for bit.
    %(tuning)s
    %(filter_scale)s
    %(workers)s
    %(check_finite)s

    Returns
    -------
    ndarray of complex64, shape (..., n_bins, n_frames)
        The coefficients, channel by channel.

    Raises
    ------
    TypeError, ValueError
        As in :func:`cqt`; a ``ValueError`` too when the top bin's band,
        widened by ``gamma``, reaches the Nyquist limit ``sr / 2``.

    Examples
    --------
    >>> import numpy as np
    >>> import vexolin
    >>> sr = 22050
    >>> y = np.sin(2 * np.pi * 440.0 * np.arange(sr) / sr)
    >>> V = vexolin.vqt(y, sr=sr)
    >>> V.shape, V.dtype
    ((84, 44), dtype('complex64'))
    >>> vexolin.bin_notes(84)[np.abs(V).mean(axis=1).argmax()]
    'A4'
    >>> constant_q = vexolin.vqt(y, sr=sr, gamma=0.0)
    >>> bool(np.array_equal(constant_q, vexolin.cqt(y, sr=sr)))
    True
    """
    asked = request(VQT_COMPLEX, dict(hop_length=hop_length, fmin=fmin, n_bins=n_bins,
                                      bins_per_octave=bins_per_octave, gamma=gamma, tuning=tuning,
                                      filter_scale=filter_scale))
    result: npt.NDArray[np.complex64] = compute(asked, y, sr, workers, check_finite)[0]
    return result


@refuses_foreign_keywords
@sr_required
@twin(vqt)
def vqt_magnitude(
    y: npt.ArrayLike,
    *,
    sr: float,
    hop_length: int = 512,
    fmin: float | None = None,
    n_bins: int = 84,
    bins_per_octave: int = 12,
    gamma: float | None = None,
    tuning: float = 0.0,
    filter_scale: float = 1.0,
    workers: int | None = None,
    check_finite: bool = True,
) -> npt.NDArray[np.float32]:
    """Magnitudes of the variable-Q transform.

    Takes the arguments of :func:`vqt` and returns ``abs(vqt(y, ...))``,
    computed without forming the complex result.

    Returns
    -------
    ndarray of float32, shape (..., n_bins, n_frames)
        The magnitudes, channel by channel.

    Examples
    --------
    >>> import numpy as np
    >>> import vexolin
    >>> y = np.sin(2 * np.pi * 110.0 * np.arange(22050) / 22050)
    >>> M = vexolin.vqt_magnitude(y, sr=22050, fmin=55.0, n_bins=36)
    >>> M.shape, int(M[:, 20].argmax())
    ((36, 44), 12)
    """
    asked = request(VQT, dict(hop_length=hop_length, fmin=fmin, n_bins=n_bins, bins_per_octave=bins_per_octave,
                              gamma=gamma, tuning=tuning, filter_scale=filter_scale))
    result: npt.NDArray[np.float32] = compute(asked, y, sr, workers, check_finite)[0]
    return result
