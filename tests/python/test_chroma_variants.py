"""Chroma as researchers use it: the norms and threshold, chroma of CQT
magnitudes one already has, CENS against its definition, keys of cadences
in all 24 keys, and frames aggregated between boundaries."""

import numpy as np
import pytest

import vexolin
from vexolin import _native

SR = 22050


def harmonic(midi_notes, seconds, partials=6):
    t = np.arange(int(seconds * SR)) / SR
    y = sum(np.sin(2 * np.pi * k * 440.0 * 2 ** ((m - 69) / 12) * t) / k
            for m in midi_notes for k in range(1, partials + 1))
    return y * np.minimum(1.0, np.minimum(t, t[-1] - t) * 20)


def cadence(tonic, mode):
    """I IV V I (major) or i iv V i (minor) in root position around middle C."""
    third = 4 if mode == "major" else 3
    root = 48 + tonic
    chords = [(root, root + 12, root + 12 + third, root + 19),
              (root + 5, root + 12, root + 17, root + 17 + third),
              (root + 7, root + 11, root + 14, root + 19),
              (root, root + 12, root + 12 + third, root + 19)]
    return np.concatenate([harmonic(c, 0.75) for c in chords])


@pytest.fixture(scope="module")
def music():
    return np.concatenate([cadence(0, "major"), cadence(9, "minor")]).astype(np.float32)


def test_the_native_sums_scaled_in_numpy_are_the_native_chroma_bit_for_bit(music):
    layout = dict(hop=512, fmin=vexolin.C1_HZ, n_bins=7 * 36, bins_per_octave=36)
    folded = _native.compute(_native.Transform(**layout, output="chroma_sums"), music, SR, 1)
    assert vexolin.chroma_cqt(music, sr=SR, tuning=0.0, norm=None).tobytes() == folded.tobytes()
    from vexolin._chroma import normalise

    native = _native.compute(_native.Transform(**layout, output="chroma"), music, SR, 1)
    assert normalise(folded, "inf", 0.0).tobytes() == native.tobytes()


@pytest.mark.parametrize("norm, size", [
    (np.inf, lambda c: np.abs(c).max(axis=0)), ("inf", lambda c: np.abs(c).max(axis=0)),
    (1, lambda c: np.abs(c).sum(axis=0)), (2, lambda c: np.linalg.norm(c, axis=0))])
def test_each_norm_scales_every_frame_of_the_same_sums_to_1(music, norm, size):
    folded = vexolin.chroma_cqt(music, sr=SR, tuning=0.0, norm=None)
    chroma = vexolin.chroma_cqt(music, sr=SR, tuning=0.0, norm=norm)
    np.testing.assert_allclose(size(chroma), 1.0, rtol=1e-5)
    np.testing.assert_allclose(chroma * size(folded), folded, rtol=1e-5, atol=1e-6)


def test_threshold_silences_frames_far_below_the_loudest():
    y = np.concatenate([harmonic([60, 64, 67], 1.0), 1e-3 * harmonic([62, 65, 69], 1.0)])
    plain = vexolin.chroma_cqt(y, sr=SR, tuning=0.0)
    quiet = slice(50, 80)  # frames of the quiet second
    np.testing.assert_allclose(plain[:, quiet].max(axis=0), 1.0, rtol=1e-6)  # scaled up to full scale
    kept = vexolin.chroma_cqt(y, sr=SR, tuning=0.0, threshold=0.05)
    assert (kept[:, quiet] == 0.0).all()
    np.testing.assert_array_equal(kept[:, 5:35].argmax(axis=0), plain[:, 5:35].argmax(axis=0))


@pytest.mark.parametrize("bins_per_octave, fmin, norm", [(36, None, np.inf), (24, 55.0, 2), (12, 65.0, None)])
def test_chroma_of_magnitudes_is_the_chroma_of_the_signal(music, bins_per_octave, fmin, norm):
    M = vexolin.cqt_magnitude(music, sr=SR, fmin=fmin, n_bins=6 * bins_per_octave, bins_per_octave=bins_per_octave)
    from_signal = vexolin.chroma_cqt(music, sr=SR, fmin=fmin, bins_per_octave=bins_per_octave, n_octaves=6,
                                     tuning=0.0, norm=norm)
    from_magnitudes = vexolin.chroma_cqt(C=M, fmin=fmin, bins_per_octave=bins_per_octave, norm=norm)
    np.testing.assert_allclose(from_magnitudes, from_signal, rtol=1e-5, atol=1e-5 * np.abs(from_signal).max())


def cens_by_definition(chroma, win):
    """CENS written out: l1 per frame, quantise, Hann smoothing, l2 per frame."""
    x = chroma.astype(np.float64)
    n_chroma, n = x.shape
    q = np.zeros_like(x)
    for t in range(n):
        total = np.abs(x[:, t]).sum()
        for i in range(n_chroma):
            v = abs(x[i, t]) / total if total > 0 else 0.0
            q[i, t] = sum(v > s for s in (0.05, 0.1, 0.2, 0.4))
    w = np.array([0.5 - 0.5 * np.cos(2 * np.pi * (k + 1) / (win + 1)) for k in range(win)])
    w /= w.sum()
    half = (win - 1) // 2
    smooth = np.zeros_like(q)
    for t in range(n):
        for k in range(win):
            if 0 <= t - half + k < n:
                smooth[:, t] += w[k] * q[:, t - half + k]
    length = np.sqrt((smooth ** 2).sum(axis=0))
    return smooth / np.where(length > 0, length, 1.0)


@pytest.mark.parametrize("win", [41, 9, 1])
def test_cens_follows_its_definition(music, win):
    chroma = vexolin.chroma_cqt(music, sr=SR, tuning=0.0, norm=None)
    want = cens_by_definition(chroma, win)
    np.testing.assert_allclose(vexolin.chroma_cens(music, sr=SR, tuning=0.0, win_len_smooth=win), want, atol=1e-6)
    M = vexolin.cqt_magnitude(music, sr=SR, n_bins=7 * 36, bins_per_octave=36)
    np.testing.assert_allclose(vexolin.chroma_cens(C=M, bins_per_octave=36, win_len_smooth=win), want, atol=1e-4)
    # From chroma one has (stored, say), scaled per frame or not: CENS scales each frame to sum 1 first.
    stored = vexolin.chroma_cqt(music, sr=SR, tuning=0.0)
    for given in (chroma, stored):
        np.testing.assert_allclose(vexolin.chroma_cens(chroma=given, win_len_smooth=win), want, atol=1e-6)


@pytest.mark.parametrize("profile", ["krumhansl", "temperley"])
def test_keys_of_cadences_in_all_24_keys(profile):
    found = {}
    for mode in ("major", "minor"):
        for tonic in range(12):
            key = vexolin.estimate_key(vexolin.chroma_cqt(cadence(tonic, mode), sr=SR), profile=profile)
            found[tonic, mode] = (key.pitch_class, key.mode)
            assert len(key.scores) == 24 and key.strength == max(key.scores)
    assert [k for k, v in found.items() if k != v] == []


@pytest.mark.parametrize("name, tonic, mode, spelled", [
    ("Eb major", 3, "major", "Eb"), ("f# minor", 6, "minor", "F#"), ("Bbm", 10, "minor", "Bb"),
    ("A", 9, "major", "A")])
def test_keys_parse_and_spell_their_notes(name, tonic, mode, spelled):
    from vexolin._key import parse_key

    key = parse_key(name)
    assert (key.pitch_class, key.mode, key.tonic) == (tonic, mode, spelled)
    assert key.notes()[tonic] == spelled


def test_sync_aggregates_frames_between_sorted_clipped_boundaries():
    x = np.arange(20.0).reshape(2, 10)
    np.testing.assert_array_equal(vexolin.sync(x, [7, 3, 3, 99]), [[1, 4.5, 8], [11, 14.5, 18]])
    np.testing.assert_array_equal(vexolin.sync(x, [], aggregate=np.max), [[9], [19]])
    with pytest.raises(ValueError, match="whole frame"):
        vexolin.sync(x, [2.5])
