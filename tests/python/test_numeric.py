"""Agreement of the native module with the float64 reference.

Tolerance: the module computes in float32 (unit roundoff u = 6e-8). A real
FFT of n points carries an error of about u * log2(n) relative to the
spectrum, the sparse product adds about u * sqrt(entries), and each of up to
seven half-band decimations adds a few u. Measured errors are about 3e-7 of
the largest coefficient and at most 3.3e-6 of the largest coefficient of the
same row, on signals of noise plus tones that keep every row well above the
rounding floor. The bounds below (2e-6 of the global peak, 2e-5 of the row
peak) leave a margin of about six over that while staying far below any
real fault: a misplaced frame, a wrong scale or a conjugated kernel moves
coefficients by percents of the peak.
"""

import numpy as np
import pytest

import _vexolin
import reference

C1 = 32.70319566257483
GLOBAL_TOL = 2e-6
ROW_TOL = 2e-5


def signal(sr, seconds, seed):
    rng = np.random.default_rng(seed)
    n = int(sr * seconds)
    t = np.arange(n) / sr
    y = 0.3 * rng.standard_normal(n) + np.sin(2 * np.pi * 440.0 * t) + 0.5 * np.sin(2 * np.pi * 97.3 * t)
    return y.astype(np.float32)


def assert_close(got, want):
    assert got.shape == want.shape
    err = np.abs(got.astype(np.complex128) - want)
    peak = np.abs(want).max()
    row_peak = np.abs(want).max(axis=1, keepdims=True)
    assert err.max() <= GLOBAL_TOL * peak, err.max() / peak
    assert (err / row_peak).max() <= ROW_TOL, (err / row_peak).max()


CQT_CASES = [
    # sr, hop, fmin, n_bins, bins_per_octave, seconds
    pytest.param(22050, 512, C1, 84, 12, 3, id="22050-hop512-84x12"),
    pytest.param(44100, 512, C1, 84, 12, 2, id="44100-early-decimation"),
    pytest.param(22050, 441, 55.0, 60, 12, 2, id="odd-hop-441"),
    pytest.param(22050, 256, 55.0, 100, 24, 2, id="24-per-octave-partial-octave"),
    pytest.param(22050, 512, C1, 252, 36, 2, id="36-per-octave"),
    pytest.param(8000, 12, 30.0, 84, 12, 1, id="hop12-stops-decimating"),
    pytest.param(16000, 1000, 0.0, 50, 12, 2, id="fmin0-hop1000"),
    pytest.param(22050, 512, C1, 101, 12, 2, id="top-bin-near-nyquist"),
    pytest.param(22050, 256, 5 * C1, 359, 60, 1, id="60-per-octave-near-nyquist"),
]


@pytest.mark.parametrize("sr,hop,fmin,n_bins,bpo,seconds", CQT_CASES)
def test_cqt_agrees_with_reference(sr, hop, fmin, n_bins, bpo, seconds):
    y = signal(sr, seconds, seed=n_bins)
    want = reference.cqt_complex(y.astype(np.float64), sr, hop, fmin, n_bins, bpo)
    assert_close(_vexolin.cqt_complex(y, sr, hop, fmin, n_bins, bpo), want)
    mag = _vexolin.cqt_magnitude(y, sr, hop, fmin, n_bins, bpo)
    assert_close(mag, np.abs(want))


@pytest.mark.parametrize(
    "bpo,n_octaves,n_chroma,fmin",
    [(36, 7, 12, 0.0), (12, 6, 12, 55.0), (24, 5, 12, 440.0 / 8), (24, 5, 10, 30.0), (24, 6, 24, 8.0)],
)
def test_chroma_agrees_with_reference(bpo, n_octaves, n_chroma, fmin):
    y = signal(22050, 2, seed=bpo + n_chroma)
    want = reference.chroma_cqt(y.astype(np.float64), 22050, 512, bpo, n_octaves, n_chroma, fmin)
    got = _vexolin.chroma_cqt(y, 22050, 512, bpo, n_octaves, n_chroma, fmin)
    assert got.shape == want.shape
    # Every frame is scaled to a peak of 1, so the error is relative already.
    assert np.abs(got - want).max() <= ROW_TOL


def test_long_signal_with_worker_threads_agrees(monkeypatch):
    # 1100 frames at the top octave: the octave is split over worker threads.
    y = signal(8000, 1100 * 64 / 8000, seed=7)
    want = reference.cqt_complex(y.astype(np.float64), 8000, 64, C1, 48, 12)
    for threads in ("1", "2", "5"):
        monkeypatch.setenv("VEXOLIN_THREADS", threads)
        assert_close(_vexolin.cqt_complex(y, 8000, 64, C1, 48, 12), want)
