"""Checks of the float64 reference against worked values and physical properties.

The reference judges the native module, so a fault in it must be caught here
first: worked numbers of the bin grid, kernel basis, half-band filter, frame
plan and chroma shift, and the response to pure tones (row, level and phase).
"""

import math

import numpy as np
import pytest

import reference as ref

C1 = 32.70319566257483


def test_bin_grid_worked_example():
    freqs = ref.bin_frequencies(C1, 84, 12)
    alpha = ref.bin_alpha(freqs)
    lengths, cutoff = ref.filter_lengths(freqs, alpha, 22050.0)
    assert freqs[0] == C1
    assert freqs[1] == pytest.approx(34.64782887210901, rel=1e-15)
    assert freqs[12] == pytest.approx(65.40639132514966, rel=1e-15)
    assert freqs[83] == pytest.approx(3951.066410048991, rel=1e-15)
    assert alpha[0] == pytest.approx(0.05769810979985182, rel=1e-14)
    assert alpha[1] == pytest.approx(0.05769810979985182, rel=1e-14)
    assert alpha[83] == pytest.approx(0.05769810979985241, rel=1e-14)
    assert lengths[0] == pytest.approx(11685.756034557166, rel=1e-14)
    assert lengths[83] == pytest.approx(96.72365037734076, rel=1e-14)
    assert cutoff == pytest.approx(4122.0640789052495, rel=1e-14)
    for bad in (0.0, -5.0, math.nan):
        assert ref.bin_frequencies(bad, 3, 12)[0] == C1


def test_basis_worked_example_and_sparsification():
    freqs = ref.bin_frequencies(C1, 84, 12)
    alpha = ref.bin_alpha(freqs)
    basis = ref.sparse_basis(freqs[72:], alpha[72:], 22050.0, 22050.0)
    assert basis.n_fft == 256
    assert basis.lengths[0] == pytest.approx(182.5899380399557, rel=1e-14)
    assert ref.kernel_span(basis.lengths[0], 256) == (-92, 183, 36)
    assert ref.kernel_span(basis.lengths[-1], 256) == (-49, 97, 79)

    dense = ref.sparse_basis(freqs[72:], alpha[72:], 22050.0, 22050.0, sparsity=0.0)
    assert dense.keep.all()
    mag = np.abs(dense.weights)
    for b in range(12):
        kept = basis.keep[b]
        assert kept[np.argmax(mag[b])]
        assert 0 < mag[b][~kept].sum() < 0.01 * mag[b].sum()
        assert kept.sum() < kept.size // 2  # genuinely sparse


def test_half_band_taps():
    h = ref.half_band_taps()
    assert len(h) == 65
    np.testing.assert_array_equal(h, h[::-1])
    assert np.float32(h[32]) == np.float32(0.50000858)
    assert np.float32(h[31]) == np.float32(0.31715435)
    assert np.float32(h[29]) == np.float32(-0.10266627)
    assert np.float32(h[1]) == np.float32(-5.4150900e-05)
    even = np.delete(np.arange(0, 65, 2), 16)
    assert not h[even].any()
    assert h.sum() == pytest.approx(1.0, abs=1e-12)


def test_decimator_responses():
    dec = ref.decimate_by_two
    assert len(dec(np.zeros(0))) == 0
    assert dec(np.array([2.0]))[0] == pytest.approx(2 * 0.70711891, rel=1e-6)

    x = np.zeros(200)
    x[100] = 1.0
    y = dec(x)
    assert y[50] == pytest.approx(0.70711891, rel=1e-6)
    assert np.count_nonzero(y) == 1

    x = np.zeros(200)
    x[101] = 1.0  # odd index 2m + 1 with m = 50
    y = dec(x)
    assert np.flatnonzero(y).tolist() == list(range(35, 67))
    assert y[50] == pytest.approx(0.44852397, rel=1e-6)
    assert y[51] == pytest.approx(y[50], rel=1e-12)

    y = dec(np.ones(301))
    assert len(y) == 151
    assert y[0] == pytest.approx(1.0606662, rel=1e-6)
    assert y[1] == pytest.approx(1.5091903, rel=1e-6)
    np.testing.assert_allclose(y[20:-20], math.sqrt(2.0), rtol=1e-6)

    lengths = []
    x = np.ones(22050)
    for _ in range(6):
        x = dec(x)
        lengths.append(len(x))
    assert lengths == [11025, 5513, 2757, 1379, 690, 345]


@pytest.mark.parametrize(
    "n, sr, hop, d, n_frames, rates, hops",
    [
        (44100, 44100.0, 512, 1, 87, [22050.0 / 2**i for i in range(7)], [256 >> i for i in range(7)]),
        (220500, 22050.0, 512, 0, 431, [22050.0 / 2**i for i in range(7)], [512 >> i for i in range(7)]),
        (22050, 22050.0, 441, 0, 51, [22050.0] * 7, [441] * 7),
        (22050, 22050.0, 12, 0, 1838,  # octaves 2..6 share rate sr / 4 and hop 3
         [22050.0, 11025.0] + [5512.5] * 5, [12, 6] + [3] * 5),
    ],
)
def test_frame_plan(n, sr, hop, d, n_frames, rates, hops):
    plan = ref.cqt_plan(n, sr, hop, C1, 84, 12)
    assert plan.early_decimations == d
    assert plan.n_frames == n_frames
    assert [o[2] for o in plan.octaves] == rates
    assert [o[3] for o in plan.octaves] == hops
    assert [o[:2] for o in plan.octaves] == [(72 - 12 * i, 84 - 12 * i) for i in range(7)]


def test_octave_layout_and_degenerate_signals():
    plan = ref.cqt_plan(1000, 22050.0, 512, C1, 90, 12)
    assert plan.n_octaves == 8 and plan.octaves[-1][:2] == (0, 6)
    assert ref.cqt_plan(1000, 22050.0, 512, C1, 8, 12).octaves[0][:2] == (0, 8)

    empty = ref.cqt_complex(np.zeros(0), 22050.0, 512, C1, 84, 12)
    assert empty.shape == (84, 1) and not empty.any()
    short = ref.cqt_magnitude(np.ones(300), 22050.0, 512, C1, 84, 12)
    assert short.shape == (84, 1) and short.any()
    full = ref.cqt_magnitude(np.zeros(44100), 44100.0, 512, C1, 84, 12)
    assert full.shape == (84, 87)


def test_octave_response_is_centred_kernel_correlation(monkeypatch):
    """With nothing sparsified, one octave's coefficient for the frame centred
    on sample c is sum_k kernel[k] * x[c - t_k] over the kernel's times t_k:
    the frame spectrum times the kernel spectrum, without conjugation."""
    monkeypatch.setattr(ref, "_FRAME_BLOCK_DOUBLES", 256 * 7)  # several frame blocks
    sr, hop = 22050.0, 512
    x = np.random.default_rng(1).standard_normal(10000)
    all_freqs = ref.bin_frequencies(C1, 84, 12)
    freqs, alpha = all_freqs[72:], ref.bin_alpha(all_freqs)[72:]
    basis = ref.sparse_basis(freqs, alpha, sr, sr, sparsity=0.0)
    n_frames = len(x) // hop + 1
    got = ref.octave_response(x, hop, basis, n_frames)

    padded = np.concatenate([np.zeros(256), x, np.zeros(256)])
    for b in range(12):
        length = basis.lengths[b]
        start, n, _ = ref.kernel_span(length, basis.n_fft)
        k = np.arange(n)
        kernel = (1 - np.cos(2 * np.pi * k / n)) / 2 * np.exp(2j * np.pi * freqs[b] * (start + k) / sr)
        kernel *= length / np.abs(kernel).sum()  # the 1 / n_fft gain cancels the DFT's n_fft
        centres = np.arange(n_frames) * hop
        want = np.array([kernel @ padded[256 + c - (start + k)] for c in centres])
        np.testing.assert_allclose(got[b], want, atol=1e-3 * np.abs(want).max())


@pytest.mark.parametrize("sr, hop", [(22050.0, 512), (44100.0, 512), (22050.0, 441)])
@pytest.mark.parametrize("k", [5, 40, 83])
def test_tone_at_bin_centre(sr, hop, k):
    """A unit cosine at bin k's frequency peaks in row k with magnitude
    sqrt(L_k) / 2 (L_k the filter length at sr) and phase 2 pi f_k t at the
    frame centre t (the kernels are not conjugated)."""
    freqs = ref.bin_frequencies(C1, 84, 12)
    lengths, _ = ref.filter_lengths(freqs, ref.bin_alpha(freqs), sr)
    t = np.arange(int(2.5 * sr))
    y = np.cos(2 * np.pi * freqs[k] * t / sr)
    C = ref.cqt_complex(y, sr, hop, C1, 84, 12)
    frames = np.arange(C.shape[1] // 2 - 4, C.shape[1] // 2 + 4)
    mag = np.abs(C[:, frames]).mean(axis=1)
    assert np.argmax(mag) == k
    assert mag[k] == pytest.approx(math.sqrt(lengths[k]) / 2, rel=0.001)
    phase = np.angle(C[k, frames] * np.exp(-2j * np.pi * freqs[k] * frames * hop / sr))
    assert np.abs(phase).max() < 0.01


def test_chroma_worked_shifts():
    assert ref.chroma_shift(C1, 12) == 0
    assert ref.chroma_shift(55.0, 12) == 9
    assert ref.chroma_shift(440.0, 12) == 9
    assert ref.chroma_shift(440.0, 24) == 18
    assert ref.chroma_shift(8.0, 24) == 23


@pytest.mark.parametrize("B, N, row0, row_j", [
    (12, 12, [0], lambda j: [j]),
    (24, 12, [23, 0], lambda j: [2 * j - 1, 2 * j]),
    (36, 12, [35, 0, 1], lambda j: [3 * j - 1, 3 * j, 3 * j + 1]),
    (48, 12, [46, 47, 0, 1], lambda j: list(range(4 * j - 2, 4 * j + 2))),
])
def test_chroma_grouping(B, N, row0, row_j):
    n_bins = 3 * B
    chroma = ref.chroma_from_magnitude(np.eye(n_bins), B, N, C1)  # frame b = bin b alone
    for i in range(N):
        offsets = row0 if i == 0 else row_j(i)
        expected = sorted(o + B * octave for o in offsets for octave in range(3))
        assert np.flatnonzero(chroma[i]).tolist() == expected
    np.testing.assert_array_equal(chroma.max(axis=0), 1.0)
    # fmin on A shifts every row by 9
    shifted = ref.chroma_from_magnitude(np.eye(n_bins), B, N, 55.0)
    np.testing.assert_array_equal(shifted, np.roll(chroma, 9, axis=0))


def test_chroma_unused_classes_and_normalisation():
    chroma = ref.chroma_from_magnitude(np.eye(48), 24, 10, C1)
    unused = [b for b in range(48) if not chroma[:, b].any()]
    assert unused == [19, 20, 21, 22, 43, 44, 45, 46]

    mag = np.zeros((12, 3))
    mag[:, 1] = 1e-21  # below the floor: left unchanged
    mag[:, 2] = np.arange(12)
    out = ref.chroma_from_magnitude(mag, 12, 12, C1)
    assert not out[:, 0].any()
    np.testing.assert_array_equal(out[:, 1], 1e-21)
    np.testing.assert_allclose(out[:, 2], np.arange(12) / 11)


def test_chroma_of_a440_peaks_on_a():
    sr = 22050.0
    y = np.sin(2 * np.pi * 440.0 * np.arange(int(2 * sr)) / sr)
    for fmin in (C1, 0.0, 55.0):
        chroma = ref.chroma_cqt(y, sr, 512, 36, 7, 12, fmin)
        assert chroma.shape == (12, 87)
        mid = chroma[:, 20:-20]
        assert (np.argmax(mid, axis=0) == 9).all()
        np.testing.assert_allclose(mid.max(axis=0), 1.0)
