"""Every public function checks its input as the transforms do: a
``ValueError`` (``TypeError`` for a wrong type) naming the argument, before
any work, so that nothing runs out of memory, computes for nothing or turns
bad values into plausible answers."""

import os

import numpy as np
import pytest

import vexolin

SR = 22050

# Ten seconds: the tuning estimate reads a few frames of it, none at sample 100.
LONG = np.random.default_rng(3).uniform(-0.5, 0.5, 10 * SR).astype(np.float32)


def with_value(y, at, value):
    y = y.copy()
    y[..., at] = value
    return y


# Every function that takes samples, with the defaults (chroma estimating its tuning).
TAKE_SAMPLES = {
    "cqt": lambda y: vexolin.cqt(y, sr=SR),
    "cqt_magnitude": lambda y: vexolin.cqt_magnitude(y, sr=SR),
    "chroma_cqt": lambda y: vexolin.chroma_cqt(y, sr=SR),
    "chroma_cens": lambda y: vexolin.chroma_cens(y, sr=SR),
    "estimate_tuning": lambda y: vexolin.estimate_tuning(y, sr=SR),
    "vqt": lambda y: vexolin.vqt(y, sr=SR),
    "hcqt": lambda y: vexolin.hcqt(y, sr=SR),
    "estimate_chords": lambda y: vexolin.estimate_chords(y, sr=SR),
    "Stream.push": lambda y: vexolin.Stream("chroma_cqt", sr=SR).push(y),
}
BAD_SAMPLES = {
    "nan at sample 100": (with_value(LONG, 100, np.nan), ValueError, "non-finite"),
    "inf at the end": (with_value(np.stack([LONG, LONG]), -1, np.inf), ValueError, "non-finite"),
    "beyond float32": (with_value(LONG.astype(np.float64), 100, -1e300), ValueError, "beyond float32's range"),
    "no channels": (np.zeros((0, 4096), np.float32), ValueError, r"no channels \(shape \(0, 4096\)\)"),
    "a batch without channels": (np.zeros((3, 0, 4096)), ValueError, "no channels"),
    "integers": (np.zeros(4096, np.int16), TypeError, "floating-point"),
}


@pytest.mark.parametrize("bad", BAD_SAMPLES)
@pytest.mark.parametrize("name", TAKE_SAMPLES)
def test_every_function_of_samples_refuses_bad_samples_alike(name, bad):
    y, error, words = BAD_SAMPLES[bad]
    with pytest.raises(error, match=words):
        TAKE_SAMPLES[name](y)


def test_samples_that_overflow_the_transform_give_no_chord():
    with pytest.raises(ValueError, match="not finite.*1e\\+38 overflow float32"):
        vexolin.estimate_chords(np.full(SR, 1e38, np.float32), sr=SR)
    stream = vexolin.ChordStream(sr=SR)
    with pytest.raises(ValueError, match="so large that the transform would overflow"):
        stream.push(np.full(SR, 1e38, np.float32))
    assert stream.push(np.zeros(SR, np.float32)).frame_labels + stream.finish().frame_labels == ["N"] * 44
    # Huge but finite chroma, flat: no chord, and a finite confidence.
    chords = vexolin.estimate_chords(chroma=np.full((12, 10), 1e308), sr=SR)
    assert chords.labels == ["N"] and np.isfinite(chords.confidence).all()


MAGNITUDES = np.ones((84, 20), np.float32)
AUDIO = os.path.join(os.path.dirname(__file__), "no-such-file.wav")  # refused before it is opened
CHROMA = np.tile(np.linspace(0.1, 1.0, 12)[:, None], 20)


@pytest.mark.parametrize("call, error, words", [
    # Parameters whose top bin lies beyond any rate, or beyond float64 itself.
    (lambda: vexolin.cqt(LONG, sr=SR, n_bins=100000), ValueError, r"n_bins \(to 101 at most\)"),
    (lambda: vexolin.cqt_magnitude(LONG, sr=SR, n_bins=100000), ValueError, r"n_bins \(to 101 at most\)"),
    (lambda: vexolin.chroma_cqt(LONG, sr=SR, n_octaves=100000), ValueError, r"use n_octaves = 8 or fewer"),
    (lambda: vexolin.chroma_cens(LONG, sr=SR, n_octaves=100000), ValueError, r"use n_octaves = 8 or fewer"),
    (lambda: vexolin.Stream("cqt", sr=SR, n_bins=100000), ValueError, r"n_bins \(to 101 at most\)"),
    (lambda: vexolin.vqt(LONG, sr=SR, n_bins=100000), ValueError, r"top bin \(bin 99999\) lies at inf Hz"),
    (lambda: vexolin.hcqt(LONG, sr=SR, n_bins=100000), ValueError, r"harmonics\[5\]\) puts the top bin at inf Hz"),
    (lambda: vexolin.cqt_frequencies(100000), ValueError, "n_bins = 100000.*at most 12228"),
    (lambda: vexolin.bin_notes(100000), ValueError, "n_bins = 100000"),
    # Frames of 0.37 s at 1 GHz would take gigabytes, whatever the signal's length.
    (lambda: vexolin.estimate_tuning(np.zeros(1000, np.float32), sr=1e9), ValueError, "sr must be at most 1048575"),
    (lambda: vexolin.chroma_cqt(np.zeros(1000, np.float32), sr=1e9), ValueError, "sr must be .*tuning="),
    (lambda: vexolin.estimate_chords(np.zeros(1000, np.float32), sr=1e9), ValueError, "sr must be at most 1048575"),
    (lambda: vexolin.times_like(-5, sr=SR), ValueError, "X must be >= 0"),
    # Resampled to a rate no audio file holds, one second would take gigabytes.
    (lambda: vexolin.load(AUDIO, sr=10**9), ValueError, "sr must be at most 1048575"),
    (lambda: list(vexolin.stream_file(AUDIO, "cqt", sr=10**9)), ValueError, "sr must be at most 1048575"),
    # Magnitudes and chroma one has: NaN and infinity are refused, not read as zeros or spread.
    (lambda: vexolin.chroma_cqt(C=with_value(MAGNITUDES, 3, np.nan), bins_per_octave=12), ValueError, "C holds NaN"),
    (lambda: vexolin.chroma_cens(C=with_value(MAGNITUDES, 3, np.nan), bins_per_octave=12), ValueError,
     "C holds NaN"),
    (lambda: vexolin.chroma_cens(C=with_value(MAGNITUDES, 3, np.inf), bins_per_octave=12), ValueError,
     "C holds NaN or infinite"),
    (lambda: vexolin.chroma_cens(C=np.zeros((0, 20)), bins_per_octave=12), ValueError, r"C must be .*\(0, 20\)"),
    (lambda: vexolin.chroma_cens(chroma=with_value(CHROMA, 0, np.nan)), ValueError, "chroma holds NaN"),
    (lambda: vexolin.estimate_key(with_value(CHROMA, 0, np.inf)), ValueError, "chroma holds NaN"),
    (lambda: vexolin.estimate_key(np.zeros((12, 0))), ValueError, "chroma has no frames"),
    (lambda: vexolin.estimate_key(CHROMA, method="bass"), ValueError, "method must be 'cadence' or 'profile'"),
    (lambda: vexolin.estimate_key(CHROMA, sr=0), ValueError, "sr must be a positive number"),
    (lambda: vexolin.estimate_key(CHROMA, segments=True, modulation_cost=np.nan), ValueError,
     "modulation_cost must be a positive number"),
    (lambda: vexolin.amplitude_to_db(with_value(MAGNITUDES, 0, np.nan)), ValueError, "S holds NaN"),
    (lambda: vexolin.amplitude_to_db(with_value(MAGNITUDES, 0, np.inf), ref=np.max), ValueError, "S holds NaN"),
    (lambda: vexolin.amplitude_to_db(np.array(["1.0"])), TypeError, "S must hold magnitudes"),
    (lambda: vexolin.amplitude_to_db(MAGNITUDES, ref=np.nan), ValueError, "ref must be a finite"),
    (lambda: vexolin.frames_to_time(["1"], sr=SR), TypeError, "frames must be frame indices"),
])
def test_bad_parameters_and_values_are_refused_naming_them(call, error, words):
    with pytest.raises(error, match=words):
        call()


@pytest.mark.parametrize("given", ["chroma", "C"])
def test_a_smoothing_window_longer_than_the_signal_costs_no_more_than_the_signal(given):
    # Three unlike frames under a window of 10^9 frames, whose taps near its
    # centre are all but equal: each comes out all but the same, computed
    # from three frames' worth.
    rng = np.random.default_rng(8)
    inputs = {"chroma": {"chroma": rng.random((12, 3))},
              "C": {"C": rng.random((84, 3)), "bins_per_octave": 12}}[given]
    unsmoothed = vexolin.chroma_cens(**inputs, win_len_smooth=1)
    assert not np.allclose(unsmoothed, unsmoothed[:, :1], atol=0.1)
    cens = vexolin.chroma_cens(**inputs, win_len_smooth=10**9)
    np.testing.assert_allclose(cens, np.repeat(cens[:, 1:2], 3, axis=1), atol=1e-6)
    assert np.linalg.norm(cens[:, 1]) == pytest.approx(1.0)


@pytest.mark.parametrize("chroma", [np.zeros((12, 30)), np.full((12, 30), 0.3), np.zeros(12)],
                         ids=["silence", "every class alike", "one frame of silence"])
def test_chroma_without_a_pitch_class_above_the_others_has_no_key(chroma):
    key = vexolin.estimate_key(chroma)
    assert (key.tonic, key.pitch_class, key.mode, key.name, key.strength) == (None, None, None, "no key", 0.0)


@pytest.mark.parametrize("scale", [1e-300, 1e300])
def test_the_key_does_not_depend_on_the_chromas_scale(scale):
    t = np.arange(SR) / SR
    chroma = vexolin.chroma_cqt(sum(np.sin(2 * np.pi * f * t) for f in (220.0, 261.63, 329.63)), sr=SR,
                                tuning=0.0).astype(np.float64)
    key, scaled = vexolin.estimate_key(chroma), vexolin.estimate_key(chroma * scale)
    assert key.name == scaled.name == "A minor"
    np.testing.assert_allclose(scaled.scores, key.scores, rtol=1e-12)


def test_the_command_line_says_a_silent_file_has_no_key(tmp_path, capsys):
    import soundfile

    from vexolin import cli

    soundfile.write(tmp_path / "silence.wav", np.zeros(SR), SR)
    assert cli.main(["key", str(tmp_path / "silence.wav")]) == 0
    assert "silence.wav: no key" in capsys.readouterr().out
