"""Tuning: estimates on harmonic tones at known offsets, the unit (semitones
at any bins_per_octave), chroma of a shifted recording, and tuning=0.0
leaving every result as it was."""

import subprocess
import sys

import numpy as np
import pytest

import vexolin
from vexolin import _native

SR = 22050
# C major, F major, G7 and A minor voicings, MIDI numbers.
CHORDS = [(48, 60, 64, 67), (53, 60, 65, 69), (55, 59, 62, 65, 67), (57, 60, 64, 69)]


def harmonic(midi_notes, seconds, cents=0.0, partials=6, seed=0):
    """Harmonic tones (partials falling as 1/k, random phases), a chord per note group."""
    rng = np.random.default_rng(seed)
    t = np.arange(int(seconds * SR)) / SR
    y = np.zeros_like(t)
    for m in midi_notes:
        f = 440.0 * 2 ** ((m - 69 + cents / 100) / 12)
        y += sum(np.sin(2 * np.pi * k * f * t + rng.uniform(0, 2 * np.pi)) / k
                 for k in range(1, partials + 1) if k * f < SR / 2)
    return y * np.minimum(1.0, np.minimum(t, t[-1] - t) * 20)  # 50 ms fades


def progression(cents=0.0, repeats=2, seconds=1.0):
    return np.concatenate([harmonic(c, seconds, cents, seed=i) for i, c in enumerate(CHORDS * repeats)])


def cents_apart(a, b):
    return abs((a - b + 50) % 100 - 50)


@pytest.mark.parametrize("cents", [-50, -49, -45, -31, -12, 0, 7, 23, 45, 49, 50, 51])
def test_tuning_of_shifted_harmonic_tones_within_3_cents(cents):
    estimate = vexolin.estimate_tuning(progression(cents), sr=SR)
    assert -0.5 <= estimate < 0.5
    assert round(estimate * 100) == pytest.approx(estimate * 100, abs=1e-9)  # whole cents
    # 50 cents sharp is 50 flat of the next semitone: the answer wraps.
    assert cents_apart(estimate * 100, cents) <= 3, estimate


@pytest.mark.parametrize("y", [np.zeros(SR), np.zeros(10)], ids=["silence", "ten samples"])
def test_tuning_of_a_signal_without_peaks_is_zero(y):
    assert vexolin.estimate_tuning(y, sr=SR) == 0.0


def test_stereo_and_mono_mix_give_the_same_tuning():
    y = progression(-20)
    assert vexolin.estimate_tuning(np.stack([y, y]), sr=SR) == vexolin.estimate_tuning(y, sr=SR) == -0.2


def test_samples_by_channel_columns_are_read_as_the_transforms_read_them():
    # (n_samples, 2), as audio readers return stereo: the same signal as (2, n_samples).
    y = np.stack([progression(20), 0.5 * progression(20)]).astype(np.float32)
    _, used = vexolin.chroma_cqt(y.T, sr=SR, return_tuning=True)
    assert vexolin.estimate_tuning(y.T, sr=SR) == vexolin.estimate_tuning(y, sr=SR) == used == 0.2


def test_estimates_on_many_threads_at_once_equal_one_after_another():
    # Each thread reuses its own working arrays: signals of different
    # lengths, rates and channels, interleaved, must not see each other's.
    from concurrent.futures import ThreadPoolExecutor

    cases = [(progression(c, repeats=1, seconds=s), rate) for c, s, rate in
             [(-31, 0.25, SR), (12, 1.0, SR), (45, 3.0, 44100), (-8, 0.5, 8000)]]
    cases += [(np.stack([y, 0.5 * y]), rate) for y, rate in cases[:2]]
    serial = [vexolin.estimate_tuning(y, sr=rate) for y, rate in cases]
    with ThreadPoolExecutor(4) as pool:
        for _ in range(3):
            assert list(pool.map(lambda case: vexolin.estimate_tuning(case[0], sr=case[1]), cases * 4)) == serial * 4
    assert len(set(serial)) > 3


def test_chroma_with_the_estimated_tuning_agrees_with_the_unshifted_recording():
    reference = vexolin.chroma_cqt(progression(0.0), sr=SR, tuning=0.0).argmax(axis=0)
    chroma, tuning = vexolin.chroma_cqt(progression(40.0), sr=SR, return_tuning=True)
    assert cents_apart(tuning * 100, 40) <= 3
    assert (chroma.argmax(axis=0) == reference).mean() >= 0.99


@pytest.mark.parametrize("bins_per_octave", [12, 36])
def test_tuning_is_in_semitones_whatever_the_bins_per_octave(bins_per_octave):
    # A4 40 cents sharp: tuning=0.4 puts a bin right on it, with equal
    # neighbours, at 12 and at 36 bins per octave alike.
    y = harmonic([69], 2.0, cents=40.0, partials=1)
    M = vexolin.cqt_magnitude(y, sr=SR, fmin=220.0, n_bins=2 * bins_per_octave, bins_per_octave=bins_per_octave,
                              tuning=0.4)[:, 20:-20].mean(axis=1)
    peak = int(M.argmax())
    assert peak == bins_per_octave
    assert M[peak - 1] == pytest.approx(M[peak + 1], rel=0.05)  # 0.4 of a bin at 36 would be 27 cents off


def test_tuning_zero_keeps_every_result_bit_for_bit():
    y = progression(15.0, repeats=1)
    def native(output, fmin, n_bins, bins_per_octave):
        transform = _native.Transform(hop=512, fmin=fmin, n_bins=n_bins, bins_per_octave=bins_per_octave,
                                      output=output)
        return _native.compute(transform, y, SR, 1)

    native_chroma = native("chroma", vexolin.C1_HZ, 7 * 36, 36)
    assert vexolin.chroma_cqt(y, sr=SR, tuning=0.0).tobytes() == native_chroma.tobytes()
    native_cqt = native("complex", 55.0, 72, 24)
    assert vexolin.cqt(y, sr=SR, fmin=55.0, n_bins=72, bins_per_octave=24, tuning=0.0).tobytes() == \
        native_cqt.tobytes()
    # A given tuning moves fmin and nothing else.
    shifted = native("magnitude", 55.0 * 2 ** (0.15 / 12), 72, 24)
    assert vexolin.cqt_magnitude(y, sr=SR, fmin=55.0, n_bins=72, bins_per_octave=24, tuning=0.15).tobytes() == \
        shifted.tobytes()


@pytest.mark.parametrize("tuning, error", [(0.5, ValueError), (-0.51, ValueError), (3.0, ValueError),
                                           (float("nan"), ValueError), ("auto", TypeError)])
def test_a_tuning_outside_half_a_semitone_is_refused_naming_the_unit(tuning, error):
    with pytest.raises(error, match="semitone"):
        vexolin.cqt(np.zeros(4096), sr=SR, tuning=tuning)


@pytest.mark.parametrize("function, halving", [("cqt_magnitude", "384 or 448"), ("estimate_chords", "416 or 448")])
def test_a_slow_hop_is_warned_about_once_naming_hops_that_halve(function, halving):
    code = ("import warnings, numpy as np, vexolin; warnings.simplefilter('always'); y = np.zeros(44100)\n"
            "with warnings.catch_warnings(record=True) as w:\n"
            f"    [vexolin.{function}(y, sr=44100, hop_length=441) for _ in range(2)]\n"
            "    vexolin.chroma_cqt(y, sr=44100, hop_length=512)\n"
            "print(len(w)); print(w[0].message)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    count, message = out.splitlines()
    assert count == "1"
    assert "hop_length=441" in message and halving in message
