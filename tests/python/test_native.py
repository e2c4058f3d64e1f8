"""`vexolin._native`, the package's private module: every transform as one
`Transform` taken by one call with the thread count as an argument, equal to
`_vexolin` bit for bit; and the chord model's decoder."""

import copy
import os
import threading

import numpy as np
import pytest

import _vexolin
from vexolin import _native

# 5 s: 1722 to 2500 frames, enough for three workers.
CALLS = [
    ("cqt_complex", (22050.0, 64, 32.70319566257483, 84, 12)),
    ("cqt_magnitude", (8000.0, 16, 55.0, 48, 12)),
    ("cqt_magnitude", (22050.0, 63, 32.70319566257483, 72, 24)),  # odd hop: no halvings
    ("chroma_cqt", (22050.0, 64, 36, 7, 12, 0.0)),
]



def native(name, args):
    """The `Transform` of the `_vexolin` call `name` with `args` (after y), and its rate."""
    if name == "chroma_cqt":
        sr, hop, bins_per_octave, n_octaves, n_chroma, fmin = args
        layout = dict(n_bins=n_octaves * bins_per_octave, bins_per_octave=bins_per_octave, output="chroma",
                      n_chroma=n_chroma)
    else:
        sr, hop, fmin, n_bins, bins_per_octave = args
        layout = dict(n_bins=n_bins, bins_per_octave=bins_per_octave, output=name.removeprefix("cqt_"))
    return _native.Transform(hop=hop, fmin=fmin if fmin > 0 else C1, **layout), sr


C1 = 32.70319566257483


@pytest.mark.parametrize("name,args", CALLS)
def test_equal_to_vexolin_bit_for_bit_for_every_thread_count(name, args):
    y = np.random.default_rng(len(args)).standard_normal(int(5 * args[0])).astype(np.float32)
    want = getattr(_vexolin, name)(y, *args)
    transform, sr = native(name, args)
    for threads in (1, 2, 3):
        got = _native.compute(transform, y, sr, threads=threads)
        assert got.dtype == want.dtype and got.shape == want.shape
        assert got.tobytes() == want.tobytes(), f"{name} on {threads} threads"


@pytest.mark.parametrize("name,args", sorted(dict(CALLS).items()))
@pytest.mark.parametrize("threads", [0, -1])
def test_threads_below_one_is_a_value_error_naming_it(name, args, threads):
    y = np.zeros(4096, np.float32)
    transform, sr = native(name, args)
    with pytest.raises(ValueError, match=r"threads must be >= 1, got " + str(threads)):
        _native.compute(transform, y, sr, threads)
    with pytest.raises(TypeError):
        _native.compute(transform, y, sr, 2.0)


@pytest.mark.parametrize("keywords,message", [
    (dict(hop=0), "hop must be >= 1"),
    (dict(n_bins=1), "n_bins must be >= 2"),
    (dict(filter_scale=float("inf")), "filter_scale must be a finite number > 0"),
    (dict(gamma=-1.0), "gamma must be a finite number >= 0"),
    (dict(harmonics=[]), "harmonics must hold at least one"),
    (dict(harmonics=[1.0, float("nan")]), r"harmonics\[1\] must be a finite number > 0"),
    (dict(output="power"), "output must be 'complex', 'magnitude', 'chroma' or 'chroma_sums'"),
    (dict(output="chroma", n_bins=30), "n_bins must be whole octaves"),
    (dict(output="chroma", n_chroma=13), "n_chroma must be between 1 and bins_per_octave = 12"),
    (dict(output="chroma_sums", gamma=5.0), "chroma takes no gamma"),
    (dict(output="chroma", harmonics=[1.0]), "chroma takes no harmonics"),
])
def test_a_transform_is_checked_once_when_made(keywords, message):
    with pytest.raises(ValueError, match=message):
        _native.Transform(**{**dict(hop=512, fmin=55.0, n_bins=24, bins_per_octave=12), **keywords})
    with pytest.raises(TypeError):
        _native.Transform(512, 55.0, 24, 12)  # keywords only


def test_a_harmonic_transform_names_the_highest_harmonic_above_nyquist_and_the_bins_every_one_fits():
    transform = _native.Transform(hop=256, fmin=C1, n_bins=264, bins_per_octave=36, harmonics=[0.5, 1, 2, 3, 4, 5, 6, 7])
    with pytest.raises(ValueError, match=r"harmonic 7 \(harmonics\[7\]\).*so do harmonics 3, 4, 5, 6.*"
                                         r"n_bins \(to (\d+) at most, which every harmonic fits\)") as refused:
        transform.check(22050.0)
    most = int(refused.value.args[0].split("to ")[-1].split(" at most")[0])
    fits = _native.Transform(hop=256, fmin=C1, n_bins=most, bins_per_octave=36, harmonics=[0.5, 1, 2, 3, 4, 5, 6, 7])
    fits.check(22050.0)
    with pytest.raises(ValueError, match="harmonic 7"):
        _native.Transform(hop=256, fmin=C1, n_bins=most + 1, bins_per_octave=36,
                          harmonics=[0.5, 1, 2, 3, 4, 5, 6, 7]).check(22050.0)


@pytest.mark.parametrize(
    "value,count",
    [("3", 3), (" 6", 6), ("+6", 6), ("6 words", 6), ("4294967302", 6), ("", 1), ("abc", 1), ("0", 1), ("-4", 1)],
)
def test_default_threads_reads_vexolin_threads_on_each_call(monkeypatch, value, count):
    monkeypatch.setenv("VEXOLIN_THREADS", value)
    assert _native.default_threads() == count


def test_default_threads_without_the_variable_is_the_cpu_count(monkeypatch):
    monkeypatch.delenv("VEXOLIN_THREADS", raising=False)
    assert _native.default_threads() == max(1, os.cpu_count() or 1)


@pytest.mark.parametrize("name,args", [*sorted(dict(CALLS).items()), ("chroma_sums", (22050.0, 64, 36, 7, 12, 0.0))])
def test_a_raised_cancel_token_stops_a_call_on_any_thread_and_later_calls_are_unaffected(name, args):
    y = np.random.default_rng(1).standard_normal(int(5 * args[0])).astype(np.float32)
    transform, sr = native("chroma_cqt", args) if name == "chroma_sums" else native(name, args)
    if name == "chroma_sums":
        transform = _native.Transform(hop=transform.hop, fmin=transform.fmin, n_bins=transform.n_bins,
                                      bins_per_octave=transform.bins_per_octave, output="chroma_sums")

    def call(y, sr, threads, cancel=None):
        return _native.compute(transform, y, sr, threads, cancel)

    args = (sr,)
    want = call(y, *args, 2)
    token = _native.Cancel()
    assert not token.cancelled
    assert call(y, *args, 2, cancel=token).tobytes() == want.tobytes()
    token.cancel()
    assert token.cancelled
    outcome = []

    def on_a_thread():
        try:
            call(y, *args, 3, cancel=token)
        except _native.Cancelled as e:
            outcome.append(e)

    worker = threading.Thread(target=on_a_thread)
    worker.start()
    worker.join()
    with pytest.raises(_native.Cancelled):
        call(y, *args, 1, token)  # on the main thread too
    assert len(outcome) == 1
    assert call(y, *args, 2, cancel=None).tobytes() == want.tobytes()


@pytest.mark.parametrize("fmin", [float("nan"), -55.0, 0.0, float("inf")])
def test_the_private_module_takes_fmin_in_hertz_only(fmin):
    # The package always passes hertz; only _vexolin reads fmin <= 0 or NaN as C1.
    with pytest.raises(ValueError, match="fmin must be a finite number > 0"):
        _native.Transform(hop=512, fmin=fmin, n_bins=12, bins_per_octave=12)
    if fmin != float("inf"):
        y = np.random.default_rng(4).standard_normal(4096).astype(np.float32)
        c1 = _native.Transform(hop=512, fmin=C1, n_bins=12, bins_per_octave=12)
        assert _vexolin.cqt_magnitude(y, 22050.0, 512, fmin, 12, 12).tobytes() == \
            _native.compute(c1, y, 22050.0, 1).tobytes()


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), -float("inf")])
@pytest.mark.parametrize("argument", ["scores", "switch_cost"])
@pytest.mark.parametrize("whole", [True, False])
def test_the_chord_decoder_refuses_values_that_are_not_finite(whole, argument, bad):
    scores, cost = np.zeros((3, 5)), np.ones(5)
    (scores if argument == "scores" else cost).flat[3] = bad
    streamed = _native.ChordDecoder(3, 2)
    with pytest.raises(ValueError, match=f"{argument} must be finite"):
        _native.chord_path(scores, cost) if whole else streamed.push(scores, cost)
    assert streamed.pending == 0  # refused before it took a frame


def test_a_copy_of_the_chord_decoder_goes_on_alone():
    # What a stream relies on to leave its decoder as it was when Ctrl-C stops a run.
    rng = np.random.default_rng(5)
    scores, cost = rng.standard_normal((4, 60)), rng.uniform(0, 3, 60)
    decoder = _native.ChordDecoder(4, 10)
    first = decoder.push(scores[:, :30], cost[:30])
    copied = copy.copy(decoder)
    rest = [copied.push(scores[:, 30:], cost[30:]), copied.finish()]
    assert (len(first), decoder.pending, decoder.finished, copied.finished) == (20, 10, False, True)
    again = [decoder.push(scores[:, 30:], cost[30:]), decoder.finish()]
    assert np.concatenate(rest).tolist() == np.concatenate(again).tolist() and len(np.concatenate(rest)) == 40
    with pytest.raises(RuntimeError, match="finished"):
        decoder.push(scores, cost)
    with pytest.raises(ValueError, match=r"one row per state \(4\), got 3"):
        _native.ChordDecoder(4, 10).push(scores[:3], cost)
    with pytest.raises(ValueError, match="lag must be at least 0"):
        _native.ChordDecoder(4, -1)
