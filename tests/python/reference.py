"""Float64 NumPy reference of the constant-Q transform and chroma features.

This is an independent, deliberately plain re-derivation of what `_vexolin`
computes, used by the tests and the benchmark to judge the native module.
Everything here is float64 / complex128; parameter-side arithmetic follows
the same order of operations as the native code (scalar `math` calls, which
use the C library), signal-side arithmetic is vectorised NumPy.

Public entry points (argument orders match the module):

    cqt_complex(y, sr, hop, fmin, n_bins, bins_per_octave)   -> complex128 (n_bins, n_frames)
    cqt_magnitude(y, sr, hop, fmin, n_bins, bins_per_octave) -> float64 (n_bins, n_frames)
    chroma_cqt(y, sr, hop, bins_per_octave, n_octaves, n_chroma, fmin)
                                                             -> float64 (n_chroma, n_frames)
    hcqt_complex(y, sr, hop, fmin, harmonics, n_bins, bins_per_octave)
                                                  -> complex128 (n_harmonics, n_bins, n_frames)

The transforms also take ``filter_scale`` (every filter's length scaled by it)
and ``gamma`` (Hz added to every bin's bandwidth alpha * f: the variable-Q
transform) as keywords; 1.0 and 0.0 are the constant-Q transform.

The building blocks (bin grid, kernel basis, half-band decimator, frame plan,
chroma shift and fold) are exposed as well, so they can be checked on their
own.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

# Frequency of C1 in Hz: stands in for any fmin that is not greater than 0.
DEFAULT_FMIN = 32.70319566257483

# Default filter length scale and kernel sparsity used by every module call.
FILTER_SCALE = 1.0
SPARSITY = 0.01

# Smallest FFT length used for kernels and frames.
MIN_N_FFT = 32

# Half-band filter: 65 taps, Kaiser window with beta = 8.
HALF_BAND_TAPS = 65
HALF_BAND_CENTRE = 32

# Chroma normalisation floor (the float32 value nearest to 1e-20).
CHROMA_FLOOR = 9.999999682655225e-21

# Largest number of doubles one block of frames may occupy in the octave
# response, to keep memory bounded for long signals with long kernels.
_FRAME_BLOCK_DOUBLES = 1 << 22


def effective_fmin(fmin: float) -> float:
    """fmin, or C1 when fmin is not greater than 0 (NaN included)."""
    return float(fmin) if fmin > 0 else DEFAULT_FMIN


# ---------------------------------------------------------------------------
# Bin grid


def bin_frequencies(fmin: float, n_bins: int, bins_per_octave: int) -> np.ndarray:
    """Centre frequencies fmin * 2^(k * step), step = 1 / bins_per_octave."""
    fmin = effective_fmin(fmin)
    step = 1.0 / float(bins_per_octave)
    freqs = np.empty(n_bins, dtype=np.float64)
    if n_bins > 0:
        freqs[0] = fmin
    for k in range(1, n_bins):
        # exponent is the product k * step, not the quotient k / bins_per_octave
        freqs[k] = math.pow(2.0, float(k) * step) * fmin
    return freqs


def bin_alpha(freqs: np.ndarray) -> np.ndarray:
    """Relative bandwidths from the local log2 spacing of the frequencies."""
    n = len(freqs)
    if n < 2:
        raise ValueError("at least two bins are needed to estimate bandwidths")
    logf = [math.log2(f) for f in freqs]
    alpha = np.empty(n, dtype=np.float64)
    for i in range(n):
        if i == 0:
            r = 1.0 / (logf[1] - logf[0])
        elif i == n - 1:
            r = 1.0 / (logf[n - 1] - logf[n - 2])
        else:
            r = 2.0 / (logf[i + 1] - logf[i - 1])
        p = math.pow(2.0, 2.0 / r)
        alpha[i] = (p - 1.0) / (p + 1.0)
    return alpha


def quality(alpha: float, freq: float, filter_scale: float, gamma: float) -> float:
    """Q of a bin whose bandwidth is alpha * f + gamma Hz, times filter_scale."""
    return filter_scale / (alpha + gamma / freq)


def band_edge(freq: float, q: float) -> float:
    """Upper pass-band edge of a bin: half the Hann window's bandwidth above f."""
    return (0.750091552734375 / q + 1.0) * freq


def kernel_edge(freq: float, q: float) -> float:
    """Highest frequency a kernel's kept spectrum reaches: 5 times its frequency
    resolution f / Q above f (the main lobe and the side lobes sparsification keeps)."""
    return (5.0 / q + 1.0) * freq


def halving_keeps_band(edge: float, rate: float) -> bool:
    """A signal at rate may be halved for kernels reaching up to edge Hz only if
    they stay within 0.8 of the halved Nyquist limit, where the half-band filter
    is flat."""
    return edge <= 0.8 * (0.25 * rate)


def highest_kernel_edge(freqs, alpha, first: int, end: int, filter_scale: float, gamma: float) -> float:
    return max(kernel_edge(freqs[b], quality(alpha[b], freqs[b], filter_scale, gamma)) for b in range(first, end))


def filter_lengths(freqs, alpha, sr: float, filter_scale: float = FILTER_SCALE, gamma: float = 0.0):
    """Filter lengths in samples at rate sr, filter_scale * sr / (alpha * f + gamma),
    and the cutoff frequency.

    The cutoff is the highest upper pass-band edge (0.750091552734375 / Q + 1) * f
    over all bins, never below 0.
    """
    lengths = np.empty(len(freqs), dtype=np.float64)
    cutoff = 0.0
    for i in range(len(freqs)):
        q = quality(alpha[i], freqs[i], filter_scale, gamma)
        lengths[i] = (sr * q) / freqs[i]
        cutoff = max(cutoff, band_edge(freqs[i], q))
    return lengths, cutoff


# ---------------------------------------------------------------------------
# Sparse kernel basis


def fft_length(lengths) -> int:
    """Smallest power of two >= ceil(longest length), at least MIN_N_FFT."""
    ceil_len = math.ceil(max(lengths))
    n_fft = MIN_N_FFT
    while n_fft < ceil_len:
        n_fft *= 2
    return n_fft


def kernel_span(length: float, n_fft: int):
    """(start, N, offset) of a kernel of fractional length `length`.

    The kernel covers times start .. start + N - 1 relative to the frame centre
    and sits at positions offset .. offset + N - 1 of an n_fft frame.
    """
    start = math.floor(-0.5 * length)
    n = math.floor(0.5 * length) - start
    offset = (n_fft - n) // 2
    return start, n, offset


def sparsity_threshold(mag: np.ndarray, sparsity: float) -> float:
    """Smallest magnitude that must be kept so at most `sparsity` of the L1 mass is dropped."""
    total = float(np.sum(mag))
    largest = float(np.max(mag))
    if not total > 0:
        return largest
    acc = np.cumsum(np.sort(mag) * (1.0 / total))
    reached = np.nonzero(acc >= sparsity)[0]
    if len(reached) == 0:
        return largest
    return float(np.sort(mag)[reached[0]])


@dataclass(frozen=True)
class Basis:
    """Kernel spectra of one octave as a dense matrix with dropped entries zeroed.

    weights[b, j] multiplies bin j of a frame's real FFT (no conjugation);
    keep[b, j] tells whether that entry survived sparsification.
    """

    n_fft: int
    weights: np.ndarray  # complex128 (n_bins, n_fft // 2 + 1)
    keep: np.ndarray  # bool, same shape
    lengths: np.ndarray  # filter lengths at the octave's rate


def sparse_basis(freqs, alpha, sr_octave: float, sr_reference: float,
                 filter_scale: float = FILTER_SCALE, sparsity: float = SPARSITY, gamma: float = 0.0) -> Basis:
    """Hann-windowed complex exponentials, L1-normalised, transformed and sparsified."""
    lengths, _ = filter_lengths(freqs, alpha, sr_octave, filter_scale, gamma)
    n_fft = fft_length(lengths)
    n_freq = n_fft // 2 + 1
    scale = math.sqrt(sr_reference / sr_octave)
    inv_sr = 1.0 / sr_octave

    weights = np.zeros((len(freqs), n_freq), dtype=np.complex128)
    keep = np.zeros((len(freqs), n_freq), dtype=bool)
    for b, (length, f) in enumerate(zip(lengths, freqs)):
        start, n, offset = kernel_span(length, n_fft)
        frame = np.zeros(n_fft, dtype=np.complex128)
        if n > 0:
            omega = (2.0 * math.pi * f) * inv_sr
            k = np.arange(n, dtype=np.float64)
            window = (1.0 - np.cos(k * (2.0 * math.pi / n))) * 0.5
            theta = (start + k) * omega
            kernel = window * np.exp(1j * theta)
            norm = float(np.sum(np.abs(kernel)))
            gain = length / (n_fft * norm) if norm > 0 else 1.0
            frame[offset:offset + n] = kernel * gain
        spectrum = np.fft.fft(frame)[:n_freq]
        mag = np.abs(spectrum)
        threshold = sparsity_threshold(mag, sparsity)
        row_keep = mag >= threshold
        keep[b] = row_keep
        weights[b, row_keep] = spectrum[row_keep] * scale
    return Basis(n_fft=n_fft, weights=weights, keep=keep, lengths=lengths)


# ---------------------------------------------------------------------------
# Octave response


def octave_response(x: np.ndarray, hop: int, basis: Basis, n_frames: int) -> np.ndarray:
    """Coefficients of the first n_frames frames of one octave, (n_bins, n_frames).

    Frame f covers samples f * hop - n_fft / 2 .. f * hop + n_fft / 2 - 1 of x,
    zero outside the signal; no window, unnormalised real FFT.
    """
    n_fft = basis.n_fft
    half = n_fft // 2
    needed = (n_frames - 1) * hop + n_fft
    padded = np.zeros(max(needed, half + len(x)), dtype=np.float64)
    padded[half:half + len(x)] = x
    frames = np.lib.stride_tricks.sliding_window_view(padded, n_fft)[::hop][:n_frames]

    out = np.empty((basis.weights.shape[0], n_frames), dtype=np.complex128)
    block = max(1, _FRAME_BLOCK_DOUBLES // n_fft)
    for first in range(0, n_frames, block):
        spectra = np.fft.rfft(frames[first:first + block], axis=1)
        out[:, first:first + block] = basis.weights @ spectra.T
    return out


# ---------------------------------------------------------------------------
# Half-band decimation


def _bessel_i0_series(a: float) -> float:
    term = 1.0
    total = 1.0
    for k in range(1, 40):
        term = term * (a / float(k * k))
        total += term
    return total


def half_band_design() -> np.ndarray:
    """The 65 taps of the Kaiser (beta 8) half-band low-pass, unit gain at 0 Hz."""
    h = np.empty(HALF_BAND_TAPS, dtype=np.float64)
    total = 0.0
    for i in range(HALF_BAND_TAPS):
        t = i * 0.03125 - 1.0
        q = t * t
        if i == HALF_BAND_CENTRE or q < 1.0:
            a = (math.sqrt(1.0 - q) * 8.0) ** 2 * 0.25
        else:
            a = 0.0
        window = _bessel_i0_series(a)
        if i == HALF_BAND_CENTRE:
            s = 0.0011694152563666634
        else:
            d = float(i - HALF_BAND_CENTRE)
            s = math.sin(1.5707963267948966 * d) * 0.3183098861837907 / d * 0.002338830512733327
        h[i] = window * s
        total += h[i]
    return h * (1.0 / total)


def half_band_taps() -> np.ndarray:
    """The taps used for filtering: the design with the even taps other than
    the centre set to exactly zero, as in an ideal half-band filter."""
    h = half_band_design()
    even = np.arange(0, HALF_BAND_TAPS, 2)
    h[even[even != HALF_BAND_CENTRE]] = 0.0
    return h


_TAPS = half_band_taps()


def decimate_by_two(x: np.ndarray) -> np.ndarray:
    """y[m] = sqrt(2) * sum_i h[i] x[2m + i - 32], x zero outside the signal.

    Output length (n + 1) // 2; sample m is centred on input sample 2m.
    """
    x = np.asarray(x, dtype=np.float64)
    n = len(x)
    m_out = (n + 1) // 2
    if n == 0:
        return np.zeros(0, dtype=np.float64)
    # convolve(x, h reversed)[k] = sum_i h[i] x[k - 64 + i]; k = 2m + 32 gives y[m]
    full = np.convolve(x, _TAPS[::-1])
    return math.sqrt(2.0) * full[HALF_BAND_CENTRE:HALF_BAND_CENTRE + 2 * m_out:2]


# ---------------------------------------------------------------------------
# Driver


def _trailing_zeros(hop: int) -> int:
    if hop <= 0 or hop % 2:
        return 0
    return (hop & -hop).bit_length() - 1


@dataclass(frozen=True)
class Plan:
    """Everything about a call that depends only on sizes and parameters."""

    fmin: float
    n_octaves: int
    freqs: np.ndarray
    alpha: np.ndarray
    cutoff: float
    early_decimations: int  # d
    sr_reference: float
    n_frames: int
    # per octave, from the top: (first bin, end bin, rate, hop, signal length)
    octaves: tuple


def cqt_plan(n_samples: int, sr: float, hop: int, fmin: float, n_bins: int,
             bins_per_octave: int, filter_scale: float = FILTER_SCALE, gamma: float = 0.0) -> Plan:
    if n_bins < 2:
        raise ValueError("n_bins must be at least 2")
    if bins_per_octave < 1:
        raise ValueError("bins_per_octave must be at least 1")
    if hop < 1:
        raise ValueError("hop must be at least 1")
    if not sr > 0:
        raise ValueError("sr must be positive")

    fmin = effective_fmin(fmin)
    n_octaves = math.ceil(n_bins / bins_per_octave)
    freqs = bin_frequencies(fmin, n_bins, bins_per_octave)
    alpha = bin_alpha(freqs)
    _, cutoff = filter_lengths(freqs, alpha, sr, filter_scale, gamma)

    d1 = max(0, math.ceil(math.log2(0.5 * sr / cutoff)) - 2)
    d2 = max(0, _trailing_zeros(hop) - n_octaves + 1)
    top_edge = highest_kernel_edge(freqs, alpha, 0, n_bins, filter_scale, gamma)
    d = 0
    while d < min(d1, d2) and halving_keeps_band(top_edge, sr / 2 ** d):
        d += 1

    length, h, rate = n_samples, hop, float(sr)
    for _ in range(d):
        length = (length + 1) // 2
        h //= 2
        rate *= 0.5
    sr_reference = rate

    octaves = []
    n_frames = 2147483647
    per_octave = min(bins_per_octave, n_bins)
    # The rate is halved before an octave only when that octave's kernels stay
    # where the half-band filter is flat; otherwise it runs at the rate above.
    for i in range(n_octaves):
        end = n_bins - i * per_octave
        start = max(0, end - per_octave)
        octaves.append((start, end, rate, h, length))
        n_frames = min(n_frames, length // h + 1)
        halve = h % 2 == 0
        if halve and i + 1 < n_octaves:
            below = n_bins - (i + 1) * per_octave
            edge = highest_kernel_edge(freqs, alpha, max(0, below - per_octave), below, filter_scale, gamma)
            halve = halving_keeps_band(edge, rate)
        if halve:
            length = (length + 1) // 2
            h //= 2
            rate *= 0.5
    return Plan(fmin=fmin, n_octaves=n_octaves, freqs=freqs, alpha=alpha, cutoff=cutoff,
                early_decimations=d, sr_reference=sr_reference, n_frames=n_frames,
                octaves=tuple(octaves))


def frame_count(n_samples: int, sr: float, hop: int, fmin: float, n_bins: int,
                bins_per_octave: int) -> int:
    """Number of output frames for a signal of n_samples."""
    return cqt_plan(n_samples, sr, hop, fmin, n_bins, bins_per_octave).n_frames


def _as_signal(y) -> np.ndarray:
    return np.asarray(y, dtype=np.float64).reshape(-1)


def cqt_complex(y, sr, hop, fmin, n_bins, bins_per_octave, *, filter_scale=FILTER_SCALE,
                gamma=0.0) -> np.ndarray:
    """Complex CQT, complex128 (n_bins, n_frames), rows in ascending frequency."""
    x = _as_signal(y)
    plan = cqt_plan(len(x), sr, hop, fmin, n_bins, bins_per_octave, filter_scale, gamma)
    for _ in range(plan.early_decimations):
        x = decimate_by_two(x)

    out = np.zeros((n_bins, plan.n_frames), dtype=np.complex128)
    for i, (start, end, rate, h, length) in enumerate(plan.octaves):
        assert len(x) == length
        basis = sparse_basis(plan.freqs[start:end], plan.alpha[start:end],
                             rate, plan.sr_reference, filter_scale, SPARSITY, gamma)
        out[start:end] = octave_response(x, h, basis, plan.n_frames)
        if i + 1 < len(plan.octaves) and plan.octaves[i + 1][2] < rate:
            x = decimate_by_two(x)

    lengths, _ = filter_lengths(plan.freqs, plan.alpha, plan.sr_reference, filter_scale, gamma)
    out *= (1.0 / np.sqrt(lengths))[:, None]
    return out


def cqt_magnitude(y, sr, hop, fmin, n_bins, bins_per_octave, *, filter_scale=FILTER_SCALE,
                  gamma=0.0) -> np.ndarray:
    """Magnitudes of cqt_complex, float64 (n_bins, n_frames)."""
    return np.abs(cqt_complex(y, sr, hop, fmin, n_bins, bins_per_octave,
                              filter_scale=filter_scale, gamma=gamma))


def hcqt_complex(y, sr, hop, fmin, harmonics, n_bins, bins_per_octave, *, filter_scale=FILTER_SCALE,
                 gamma=0.0) -> np.ndarray:
    """Harmonic CQT, complex128 (n_harmonics, n_bins, n_frames): channel i is
    the CQT from harmonics[i] * fmin, all on the frames every channel has."""
    channels = [cqt_complex(y, sr, hop, h * effective_fmin(fmin), n_bins, bins_per_octave,
                            filter_scale=filter_scale, gamma=gamma) for h in harmonics]
    n_frames = min(c.shape[1] for c in channels)
    return np.stack([c[:, :n_frames] for c in channels])


# ---------------------------------------------------------------------------
# Chroma


def chroma_shift(fmin: float, n_chroma: int) -> int:
    """Pitch class of fmin in chroma steps above C, 0 .. n_chroma - 1."""
    m = (math.log2(fmin) - 8.78135971352466) * 12.0 + 69.0
    q = math.fmod(m, 12.0)
    x = q * (float(n_chroma) * 0.08333333333333333)
    s0 = math.trunc(x + math.copysign(0.49999999999999994, x))
    return s0 % n_chroma


def chroma_rows(n_bins: int, bins_per_octave: int, n_chroma: int, shift: int) -> np.ndarray:
    """Chroma row of every bin, or -1 for bins whose class has no row."""
    if n_chroma < 1 or bins_per_octave < n_chroma:
        raise ValueError("need 1 <= n_chroma <= bins_per_octave")
    per_class = bins_per_octave // n_chroma
    half_width = per_class // 2
    b = np.arange(n_bins)
    cls = ((b % bins_per_octave) + half_width) % bins_per_octave // per_class
    return np.where(cls < n_chroma, (cls + shift) % n_chroma, -1)


def normalise_frames(chroma: np.ndarray) -> np.ndarray:
    """Scale every frame (column) so its largest absolute value is 1.

    Frames whose peak is not above CHROMA_FLOOR are left as they are. The peak
    is a running comparison over rows, so a NaN row is replaced by the next
    row's value rather than sticking.
    """
    peak = np.zeros(chroma.shape[1], dtype=np.float64)
    for row in chroma:
        a = np.abs(row)
        peak = np.where(peak > a, peak, a)
    divisor = np.where(peak > CHROMA_FLOOR, peak, 1.0)
    return chroma * (1.0 / divisor)


def chroma_from_magnitude(mag: np.ndarray, bins_per_octave: int, n_chroma: int,
                          fmin: float) -> np.ndarray:
    """Fold magnitudes (n_bins, n_frames) onto n_chroma rows, then normalise frames."""
    rows = chroma_rows(mag.shape[0], bins_per_octave, n_chroma,
                       chroma_shift(effective_fmin(fmin), n_chroma))
    chroma = np.zeros((n_chroma, mag.shape[1]), dtype=np.float64)
    for b, r in enumerate(rows):
        if r >= 0:
            chroma[r] += mag[b]
    return normalise_frames(chroma)


def chroma_cqt(y, sr, hop, bins_per_octave, n_octaves, n_chroma, fmin) -> np.ndarray:
    """Chroma features, float64 (n_chroma, n_frames)."""
    fmin = effective_fmin(fmin)
    mag = cqt_magnitude(y, sr, hop, fmin, n_octaves * bins_per_octave, bins_per_octave)
    return chroma_from_magnitude(mag, bins_per_octave, n_chroma, fmin)
