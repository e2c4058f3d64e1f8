"""Widened bands (gamma), other filter lengths (filter_scale) and the harmonic
transform: against the float64 reference, bit for bit against the plain
transform where they must equal it, a tone in the right bin of the right
harmonic's channel, and the refusals that name what to change."""

import re

import numpy as np
import pytest

import reference as ref
import vexolin

SR = 22050
C1 = vexolin.C1_HZ
pytestmark = pytest.mark.filterwarnings("ignore::vexolin.SlowHopWarning")


def noise(n, seed=0, channels=()):
    return np.random.default_rng(seed).uniform(-0.5, 0.5, channels + (n,)).astype(np.float32)


def assert_bitwise(a, b):
    assert a.shape == b.shape and a.dtype == b.dtype
    assert a.tobytes() == b.tobytes()


def assert_near_reference(got, want):
    assert got.shape == want.shape
    assert np.abs(got - want).max() <= 1e-5 * np.abs(want).max()


# Shorter and longer filters; the ERB bands; bands wide enough that the low
# octaves stay at a higher rate; an odd hop with widened bands.
@pytest.mark.parametrize("hop, filter_scale, gamma", [
    (512, 0.6, 0.0), (512, 1.7, 0.0), (512, 1.0, None), (256, 0.8, 60.0), (512, 1.0, 400.0), (441, 1.3, 20.0),
])
def test_widened_and_rescaled_transforms_match_the_reference(hop, filter_scale, gamma):
    y = noise(2 * SR + 77, seed=hop)
    got = vexolin.vqt(y, sr=SR, hop_length=hop, gamma=gamma, filter_scale=filter_scale)
    hz = vexolin._features.erb_gamma(12) if gamma is None else gamma
    assert_near_reference(got, ref.cqt_complex(y, SR, hop, C1, 84, 12, filter_scale=filter_scale, gamma=hz))
    if gamma == 0.0:
        assert_bitwise(vexolin.cqt(y, sr=SR, hop_length=hop, filter_scale=filter_scale), got)


def test_harmonic_transform_matches_the_reference():
    y = noise(SR + 300, seed=3)
    got = vexolin.hcqt(y, sr=SR, harmonics=(0.5, 1, 3), fmin=55.0, n_bins=48, bins_per_octave=24,
                       gamma=15.0, filter_scale=0.9, hop_length=256)
    want = ref.hcqt_complex(y, SR, 256, 55.0, (0.5, 1, 3), 48, 24, filter_scale=0.9, gamma=15.0)
    assert_near_reference(got, want)


def test_plain_settings_give_the_plain_transform_bit_for_bit():
    y = noise(3 * SR, seed=4, channels=(2,))
    assert_bitwise(vexolin.vqt(y, sr=SR, gamma=0.0), vexolin.cqt(y, sr=SR))
    assert_bitwise(vexolin.vqt_magnitude(y, sr=SR, gamma=0.0, filter_scale=1.0), vexolin.cqt_magnitude(y, sr=SR))
    assert_bitwise(vexolin.chroma_cqt(y, sr=SR, filter_scale=1.0), vexolin.chroma_cqt(y, sr=SR))
    assert_bitwise(vexolin.chroma_cens(y, sr=SR, filter_scale=1.0), vexolin.chroma_cens(y, sr=SR))


# The deep-salience layout; an odd hop where channels an octave apart share
# whole octaves of bins; widened, rescaled bands with a harmonic between
# octaves; a signal that ends just before a hop, where a channel alone can
# have one frame more.
@pytest.mark.parametrize("n, params", [
    (5 * SR, {}),
    (3 * SR, {"hop_length": 441, "fmin": 55.0, "harmonics": (1, 2, 4), "n_bins": 36, "bins_per_octave": 12}),
    (3 * SR, {"harmonics": (0.5, 1, 1.5, 2), "n_bins": 84, "bins_per_octave": 12, "gamma": 30.0,
              "filter_scale": 0.7}),
    (40 * 512 + 509, {"harmonics": (0.25, 0.5, 1), "n_bins": 36, "bins_per_octave": 12, "fmin": 130.0}),
])
def test_each_harmonic_channel_is_its_own_transform(n, params):
    y = noise(n, seed=5, channels=(2,))
    harmonics = params.get("harmonics", (0.5, 1, 2, 3, 4, 5))
    fmin = params.get("fmin", C1)
    own = {"gamma": 0.0, **{k: v for k, v in params.items() if k not in ("harmonics", "fmin")}}
    own.setdefault("n_bins", 360)
    own.setdefault("bins_per_octave", 60)
    own.setdefault("hop_length", 256)
    for harmonic_transform, one, kind in ((vexolin.hcqt, vexolin.vqt, "complex"),
                                          (vexolin.hcqt_magnitude, vexolin.vqt_magnitude, "magnitude")):
        H = harmonic_transform(y, sr=SR, workers=2, **params)
        assert H.shape[:3] == (2, len(harmonics), own["n_bins"]), kind
        alone = [one(y, sr=SR, fmin=h * fmin, **own) for h in harmonics]
        assert H.shape[-1] == min(a.shape[-1] for a in alone)
        for i, a in enumerate(alone):
            assert_bitwise(H[:, i], a[..., :H.shape[-1]])


def test_the_defaults_are_the_deep_salience_layout_at_22050_hz_everywhere():
    from vexolin.batch._params import checked

    y = noise(SR // 2, seed=3)
    layout = {"harmonics": (0.5, 1, 2, 3, 4, 5), "fmin": C1, "n_bins": 360, "bins_per_octave": 60,
              "hop_length": 256}
    for harmonic_transform in (vexolin.hcqt, vexolin.hcqt_magnitude):
        assert_bitwise(harmonic_transform(y, sr=SR), harmonic_transform(y, sr=SR, **layout))
    assert vexolin.Stream("hcqt_magnitude", sr=SR).hop_length == 256
    assert checked("hcqt", {})[0].hop_length == 256  # batch and the command line


@pytest.mark.parametrize("gamma", [0.0, None])
def test_a_tone_peaks_in_the_bin_of_each_harmonic(gamma):
    # A4 lies 60 * log2(440 / (h * C1)) bins above each channel's bin 0.
    y = np.sin(2 * np.pi * 440.0 * np.arange(2 * SR) / SR).astype(np.float32)
    gamma_hz = vexolin._features.erb_gamma(60) if gamma is None else gamma
    H = vexolin.hcqt_magnitude(y, sr=SR, gamma=gamma_hz)
    harmonics = (0.5, 1, 2, 3, 4, 5)
    peaks = H[:, :, 40].argmax(axis=1)
    want = [round(60 * np.log2(440.0 / (h * C1))) for h in harmonics]
    assert list(peaks) == want


@pytest.mark.parametrize("call, message", [
    (lambda y: vexolin.hcqt(y, sr=16000), r"harmonic 5 \(harmonics\[5\]\) puts the top bin at 10344.8\d* Hz"),
    (lambda y: vexolin.hcqt(y, sr=SR, fmin=5000.0, harmonics=(1, 3)),
     r"harmonic 3 \(harmonics\[1\]\) .*\(so does harmonic 1\); lower fmin, or raise sr$"),
    (lambda y: vexolin.hcqt(y, sr=SR, harmonics=(1, 7)), r"harmonic 7 \(harmonics\[1\]\)"),
    (lambda y: vexolin.vqt(y, sr=SR, n_bins=96, gamma=5000.0), r"gamma = 5000 Hz widens its band .* Nyquist.*n_bins \(to 94 at most\)"),
    (lambda y: vexolin.hcqt(y, sr=SR, harmonics=(1, 0)), r"harmonics\[1\] must be a finite number > 0"),
    (lambda y: vexolin.hcqt(y, sr=SR, harmonics=()), "harmonics must be a non-empty 1-D sequence"),
    (lambda y: vexolin.vqt(y, sr=SR, gamma=-1.0), "gamma must be a finite number >= 0"),
    (lambda y: vexolin.cqt(y, sr=SR, filter_scale=0.0), "filter_scale must be a finite number > 0"),
    (lambda y: vexolin.cqt(y, sr=SR, filter_scale=0.01), "filter_scale = 0.01 .* fewer than the 2"),
])
def test_layouts_without_a_sound_result_are_refused_by_name(call, message):
    with pytest.raises(ValueError, match=message):
        call(noise(4096))


_HCQT_ENTRIES = {
    "hcqt": lambda y, sr, p: vexolin.hcqt(y, sr=sr, **p),
    "hcqt_magnitude": lambda y, sr, p: vexolin.hcqt_magnitude(y, sr=sr, **p),
    "Stream": lambda y, sr, p: vexolin.Stream("hcqt_magnitude", sr=sr, **p),
}


# A basic-pitch-like layout (3 bins a semitone, harmonics up to 7);
# deep salience's at 16 kHz; harmonics out of order, with widened bands.
@pytest.mark.parametrize("sr, layout, highest, index", [
    (22050, {"hop_length": 256, "fmin": 32.70, "bins_per_octave": 36, "n_bins": 264,
             "harmonics": (0.5, 1, 2, 3, 4, 5, 6, 7)}, 7, 7),
    (16000, {}, 5, 5),
    (8000, {"fmin": 55.0, "bins_per_octave": 12, "n_bins": 60, "harmonics": (3, 1, 7, 2), "gamma": 30.0}, 7, 2),
])
@pytest.mark.parametrize("entry", _HCQT_ENTRIES)
def test_a_harmonic_above_nyquist_is_refused_with_the_most_bins_every_harmonic_fits(sr, layout, highest, index,
                                                                                    entry):
    call = _HCQT_ENTRIES[entry]
    y = noise(sr // 4)
    named = rf"harmonic {highest} \(harmonics\[{index}\]\) puts the top bin"
    with pytest.raises(ValueError, match=named) as refused:
        call(y, sr, layout)
    # Taking the advice is enough: the most it names passes, one more does not.
    most = int(re.search(r"n_bins \(to (\d+) at most", str(refused.value)).group(1))
    call(y, sr, {**layout, "n_bins": most})
    with pytest.raises(ValueError, match=named):
        call(y, sr, {**layout, "n_bins": most + 1})


@pytest.mark.parametrize("harmonics, error, message", [
    (1, TypeError, r"1-D sequence of numbers > 0.*got 1; for one harmonic, pass \(1,\)"),
    (2.0, TypeError, r"1-D sequence of numbers > 0.*got 2.0; for one harmonic, pass \(2.0,\)"),
    ([[1, 2], [3, 4]], ValueError, r"1-D sequence of numbers > 0.*got \[1, 2\] as harmonics\[0\]"),
    (np.ones((2, 2)), ValueError, r"1-D sequence of numbers > 0.*an array of shape \(2, 2\)"),
    ("12", TypeError, r"1-D sequence of numbers > 0.*got '12'"),
])
def test_harmonics_are_a_sequence_of_numbers_not_a_scalar_nor_a_table(harmonics, error, message):
    with pytest.raises(error, match=message):
        vexolin.hcqt_magnitude(noise(4096), sr=SR, harmonics=harmonics, n_bins=24, bins_per_octave=12)


def test_harmonics_may_come_from_any_iterable():
    y = noise(4096)
    as_tuple = vexolin.hcqt_magnitude(y, sr=SR, harmonics=(1, 2), n_bins=24, bins_per_octave=12)
    from_generator = vexolin.hcqt_magnitude(y, sr=SR, harmonics=(h for h in (1, 2)), n_bins=24, bins_per_octave=12)
    assert np.array_equal(as_tuple, from_generator)


def test_bands_widened_by_short_filters_blame_filter_scale_not_an_unasked_gamma():
    with pytest.raises(ValueError, match=r"gamma = 13.19\d* Hz, with filter_scale = 1e-300 shortening every "
                                         r"filter,.*raise filter_scale.*the ERB default of gamma=None"):
        vexolin.vqt(noise(4096), sr=SR, filter_scale=1e-300)
