"""Streams: any partition of a signal into blocks gives the package
function's result bit for bit, for every feature, channel layout and a few
parameter sets; misuse gets one clear error and leaves the stream usable
where that makes sense; files stream as they load."""

import copy
import functools
import os
import pickle
import threading
import warnings

import numpy as np
import pytest
import soundfile
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vexolin
from interrupts import CtrlC

SR = 22050
# Odd hops are among the cases on purpose.
pytestmark = pytest.mark.filterwarnings("ignore::vexolin.SlowHopWarning")
# With their defaults: a chroma stream of a signal shorter than its start-up
# estimates the tuning from all of it, as chroma_cqt does.
FUNCTIONS = {"cqt": vexolin.cqt, "cqt_magnitude": vexolin.cqt_magnitude, "chroma_cqt": vexolin.chroma_cqt,
             "vqt": vexolin.vqt, "vqt_magnitude": vexolin.vqt_magnitude,
             "hcqt": vexolin.hcqt, "hcqt_magnitude": vexolin.hcqt_magnitude}

# Defaults (and chroma's sums, norm=None); early halvings (a hop with many
# factors of two); an odd hop (no halving); a hop that stops halving after two
# octaves; other filter lengths.
PARAMS = {
    "cqt": [{}, {"hop_length": 1024, "fmin": 110.0, "n_bins": 24}, {"hop_length": 301, "n_bins": 36},
            {"hop_length": 20, "fmin": 60.0, "n_bins": 48}, {"filter_scale": 0.6, "n_bins": 72}],
    "chroma_cqt": [{}, {"norm": None}, {"hop_length": 1024, "n_octaves": 2, "fmin": 110.0},
                   {"hop_length": 301, "n_octaves": 3},
                   {"hop_length": 20, "n_octaves": 4, "fmin": 60.0, "bins_per_octave": 12},
                   {"filter_scale": 1.5, "n_octaves": 5}],
    # The ERB bands; bands so wide that low octaves stay at a higher rate.
    "vqt": [{}, {"gamma": 400.0, "filter_scale": 0.8}, {"hop_length": 301, "n_bins": 36, "gamma": 30.0}],
    # Harmonics sharing frames; at an odd hop, octaves of values; widened bands.
    "hcqt": [{"n_bins": 180}, {"hop_length": 441, "fmin": 55.0, "harmonics": (1, 2, 4), "n_bins": 36,
                               "bins_per_octave": 12},
             {"harmonics": (0.5, 1, 1.5), "n_bins": 96, "bins_per_octave": 24, "gamma": 20.0}],
}
for _complex, _magnitudes in (("cqt", "cqt_magnitude"), ("vqt", "vqt_magnitude"), ("hcqt", "hcqt_magnitude")):
    PARAMS[_magnitudes] = PARAMS[_complex]


def noise(n, channels=(), seed=0):
    return np.random.default_rng(seed).uniform(-0.5, 0.5, channels + (n,)).astype(np.float32)


def streamed(stream, y, cuts):
    """The stream's frames for y cut at the given sample positions."""
    edges = [0, *sorted(cuts), y.shape[-1]]
    blocks = [stream.push(y[..., a:b]) for a, b in zip(edges, edges[1:])]
    blocks.append(stream.finish())
    return np.concatenate(blocks, axis=-1)


def assert_bitwise(a, b):
    assert a.shape == b.shape and a.dtype == b.dtype
    assert a.tobytes() == b.tobytes()


@st.composite
def cases(draw):
    feature = draw(st.sampled_from(sorted(FUNCTIONS)))
    params = draw(st.sampled_from(PARAMS[feature]))
    hop = params.get("hop_length", 512)
    # Lengths from below one frame to a few dozen, most near a frame-count change.
    n = draw(st.integers(1, 40) .map(lambda k: k * hop) | st.integers(1, 40 * hop))
    n = max(1, n + draw(st.integers(-2, 2)))
    cuts = draw(st.lists(st.integers(0, n), max_size=12))
    return feature, params, n, cuts, draw(st.booleans())


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(cases())
def test_any_partition_equals_the_whole_signal(case):
    feature, params, n, cuts, low_latency = case
    y = noise(n, seed=n)
    expected = FUNCTIONS[feature](y, sr=SR, workers=1, **params)
    assert_bitwise(streamed(vexolin.Stream(feature, sr=SR, low_latency=low_latency, **params), y, cuts), expected)


@pytest.mark.parametrize("feature", sorted(FUNCTIONS))
@pytest.mark.parametrize("leading", [(1,), (2,), (2, 3)])
def test_channels_stream_side_by_side(feature, leading):
    y = noise(30000, leading, seed=4)
    assert_bitwise(streamed(vexolin.Stream(feature, sr=SR), y, [5, 4096, 20000]), FUNCTIONS[feature](y, sr=SR))


@pytest.mark.parametrize("low_latency", [False, True])
def test_first_frames_come_out_after_latency_samples(low_latency):
    stream = vexolin.Stream("chroma_cqt", sr=SR, low_latency=low_latency, tuning=0.0)
    y = noise(stream.latency_samples)
    assert stream.push(y[:-1]).shape == (12, 0)
    assert stream.push(y[-1:]).shape == (12, 1 if low_latency else 16)
    assert stream.latency == stream.latency_samples / SR


def test_latency_for_the_defaults():
    # The lowest octave's FFT reaches furthest: 2^6 x 256 + 31 x (2^6 - 1) samples, and 15 hops more for a group.
    assert vexolin.Stream("cqt", sr=SR, low_latency=True).latency_samples == 2**6 * 128 + 31 * 63
    assert vexolin.Stream("cqt", sr=SR).latency_samples == 2**6 * 128 + 31 * 63 + 15 * 512
    # The ERB bands from C1 shorten the lowest octave's filters to 64 samples, at twice the cqt's lowest
    # rate: their widened kernels would reach past the halving filter's flat band at its rate.
    assert vexolin.Stream("vqt", sr=SR, low_latency=True).latency_samples == 2**5 * 32 + 31 * 31


def test_misuse_is_refused_and_leaves_the_stream_usable():
    stream = vexolin.Stream("cqt_magnitude", sr=SR)
    y = noise(20000, (2,))
    first = stream.push(y[:, :5000])
    with pytest.raises(TypeError, match="floating-point"):
        stream.push(np.zeros((2, 10), dtype=np.int16))
    with pytest.raises(ValueError, match=r"leading shape \(3,\).*\(2,\)"):
        stream.push(noise(100, (3,)))
    bad = y[:, 5000:6000].copy()
    bad[1, 7] = np.nan
    with pytest.raises(ValueError, match="non-finite"):
        stream.push(bad)
    rest = [stream.push(y[:, 5000:]), stream.finish()]
    assert_bitwise(np.concatenate([first, *rest], axis=-1), vexolin.cqt_magnitude(y, sr=SR))
    with pytest.raises(RuntimeError, match="finish"):
        stream.push(y[:, :10])
    assert stream.finish().shape == (2, 84, 0)


@pytest.mark.parametrize("copied", [copy.copy, copy.deepcopy, pickle.dumps])
def test_a_stream_refuses_to_be_copied_and_goes_on(copied):
    # A copy would share, or have to duplicate, the samples and frames in flight.
    y = noise(30000, (2,))
    stream = vexolin.Stream("cqt_magnitude", sr=SR)
    first = stream.push(y[:, :10000])
    with pytest.raises(TypeError, match="cannot be copied.*open a new Stream"):
        copied(stream)
    assert_bitwise(np.concatenate([first, stream.push(y[:, 10000:]), stream.finish()], axis=-1),
                   vexolin.cqt_magnitude(y, sr=SR))


def test_a_mono_block_with_nan_is_not_taken():
    stream = vexolin.Stream("chroma_cqt", sr=SR, tuning=0.0)  # the native stream checks the block
    y = noise(50000)
    bad = y[:4096].copy()
    bad[-1] = np.inf
    with pytest.raises(ValueError, match="non-finite"):
        stream.push(bad)
    assert_bitwise(streamed(stream, y, [4096]), vexolin.chroma_cqt(y, sr=SR, tuning=0.0))


# A mono block is checked by the native stream on the samples' bits: every
# kind of non-finite value, in the vectorised part and the tail of a block of
# odd length, and the finite values nearest to them.
@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("at", [0, 2050, 4098])
def test_a_non_finite_sample_anywhere_in_a_mono_block_is_refused(value, at):
    y = noise(20000)
    stream = vexolin.Stream("cqt_magnitude", sr=SR)
    bad = y[:4099].copy()
    bad[at] = value
    with pytest.raises(ValueError, match="non-finite"):
        stream.push(bad)
    assert_bitwise(streamed(stream, y, [4099]), vexolin.cqt_magnitude(y, sr=SR))


def test_the_largest_and_smallest_finite_samples_are_taken():
    f32 = np.finfo(np.float32)
    y = noise(20000)
    y[[5, 4097]] = f32.max, -f32.max
    y[[6, 4098]] = f32.smallest_subnormal, -f32.smallest_subnormal
    stream = vexolin.Stream("cqt_magnitude", sr=SR)
    assert_bitwise(streamed(stream, y, [4099]), vexolin.cqt_magnitude(y, sr=SR))


def test_rate_is_required_and_parameters_are_the_functions():
    with pytest.raises(TypeError, match="sr=.*vexolin.load"):
        vexolin.Stream("chroma_cqt")
    with pytest.raises(TypeError, match="n_chroma"):
        vexolin.Stream("cqt", sr=SR, n_chroma=12)
    with pytest.raises(ValueError, match="feature"):
        vexolin.Stream("mfcc", sr=SR)
    with pytest.raises(ValueError, match="Nyquist"):
        vexolin.Stream("cqt", sr=7000)
    assert vexolin.Stream("chroma_cqt", sr=SR).finish().shape == (12, 0)


@pytest.mark.parametrize("feature", sorted(FUNCTIONS))
def test_a_fixed_tuning_moves_the_bins_as_the_functions_do(feature):
    y = noise(30000, seed=5)
    expected = FUNCTIONS[feature](y, sr=SR, tuning=-0.27)
    assert not np.array_equal(expected, FUNCTIONS[feature](y, sr=SR))
    assert_bitwise(streamed(vexolin.Stream(feature, sr=SR, tuning=-0.27), y, [3000, 17000]), expected)


def sharp_chords(seconds, channels=()):
    """Triads 30 cents sharp, a new one each second (the second channel a
    fifth higher)."""
    t = np.arange(SR) / SR
    rng = np.random.default_rng(9)
    parts = []
    for _ in range(seconds):
        root = 48.3 + int(rng.integers(12))
        rows = [sum(np.sin(2 * np.pi * 440 * 2 ** ((root + k + shift - 69) / 12) * t) for k in (0, 4, 7))
                for shift in (0, 7)[: 1 + len(channels)]]
        parts.append(np.array(rows if channels else rows[0]))
    return (0.2 * np.concatenate(parts, axis=-1)).astype(np.float32)


@pytest.mark.parametrize("channels", [(), (2,)])
def test_chroma_tuning_is_estimated_from_the_first_seconds_for_any_partition(channels):
    y = sharp_chords(7, channels)
    first = None
    for seed in range(3):
        stream = vexolin.Stream("chroma_cqt", sr=SR)
        cuts = np.random.default_rng(seed).integers(0, y.shape[-1], 10)
        frames = streamed(stream, y, cuts)
        if first is None:
            first = stream.tuning, frames
        assert stream.tuning == first[0] and stream.params["tuning"] == first[0]
        assert_bitwise(frames, first[1])
    # From the first 5 s, of all channels, as chroma_cqt estimates it from a whole signal.
    assert stream.startup_samples == 5 * SR
    assert first[0] == vexolin.estimate_tuning(y[..., :5 * SR], sr=SR) and abs(first[0] - 0.3) <= 0.02
    assert_bitwise(first[1], vexolin.chroma_cqt(y, sr=SR, tuning=first[0]))


def test_a_chroma_stream_holds_its_start_until_the_tuning_is_known():
    y = sharp_chords(6)
    stream = vexolin.Stream("chroma_cqt", sr=SR, low_latency=True)
    assert stream.tuning is None
    assert stream.push(y[:5 * SR - 1]).shape == (12, 0) and stream.tuning is None
    assert stream.push(y[5 * SR - 1:5 * SR]).shape[1] == (5 * SR - stream.latency_samples) // 512 + 1
    assert stream.tuning == pytest.approx(0.3, abs=0.02)
    # A given tuning starts at once; cqt's stays 0.0 unless given, as cqt's does.
    assert vexolin.Stream("chroma_cqt", sr=SR, tuning=0.1).startup_samples == 0
    assert vexolin.Stream("cqt", sr=SR).tuning == 0.0
    with pytest.raises(TypeError, match="tuning must be a number"):
        vexolin.Stream("cqt", sr=SR, tuning=None)


def _within_a_push(frame, event, arg):  # not the lock's release, as the other Ctrl-C tests
    return (frame.f_code.co_filename.endswith(("vexolin/_stream.py", "vexolin/_tuning.py", "vexolin/_samples.py"))
            and frame.f_code.co_name != "_using")


def test_ctrl_c_while_a_stream_estimates_its_tuning_loses_no_frame():
    # Ctrl-C anywhere in the push that completes the first 5 s, from its
    # reading the block to the native push (the estimate, the transform
    # opened at it, the held samples given to it): the block is taken, and
    # the next push or finish gives every frame.
    y = sharp_chords(7, (2,))

    def run(at):
        stream = vexolin.Stream("chroma_cqt", sr=SR, n_octaves=4)
        frames = [stream.push(y[:, :3 * SR])]
        with CtrlC(at, counts=_within_a_push, starts=_converting, marks=_native_push) as ctrl_c:
            try:
                frames.append(stream.push(y[:, 3 * SR:6 * SR]))
            except KeyboardInterrupt:
                pass
        frames += [stream.push(y[:, 6 * SR:]), stream.finish()]
        return ctrl_c, stream.tuning, np.concatenate(frames, axis=-1)

    run(None)  # the estimate's caches filled, so that every run makes the same calls
    counted, tuning, expected = run(None)
    assert counted.marked is not None and counted.marked > 100
    # Up to the native push that computes the frames, as the other Ctrl-C tests.
    for at in sorted({1, 2, 3, 5, 8, *(counted.marked * k // 10 for k in range(1, 11))}):
        ctrl_c, got_tuning, frames = run(at)
        assert ctrl_c.fired and got_tuning == tuning
        assert frames.shape == expected.shape and frames.tobytes() == expected.tobytes(), f"Ctrl-C at call {at}"


@pytest.mark.parametrize("params, words", [
    ({"norm": 2}, "norm=np.inf"), ({"threshold": 0.05}, "whole signal's largest")])
def test_chroma_options_a_stream_cannot_honour_are_refused(params, words):
    with pytest.raises(ValueError, match=words):
        vexolin.Stream("chroma_cqt", sr=SR, **params)


def test_a_second_thread_is_refused_while_a_block_is_taken():
    stream = vexolin.Stream("chroma_cqt", sr=SR)
    errors = []
    started = threading.Event()

    def other():
        started.wait()
        try:
            stream.push(noise(10))
        except RuntimeError as e:
            errors.append(str(e))

    thread = threading.Thread(target=other)
    with stream._using():  # a push in progress, as another thread sees it
        thread.start()
        started.set()
        thread.join()
    assert errors and "another thread" in errors[0]


@pytest.mark.parametrize("sr, mono", [(None, True), (16000, True), (None, False), (32000, False)])
def test_stream_file_equals_the_function_on_the_loaded_file(tmp_path, sr, mono):
    # A recording 30 cents sharp: by default the file's tuning is estimated, as chroma_cqt estimates it.
    path = os.fspath(tmp_path / "two.flac")
    t = np.arange(3 * 44100 + 17) / 44100
    tone = sum(np.sin(2 * np.pi * k * 330.0 * 2 ** (0.3 / 12) * t) / k for k in range(1, 6))
    soundfile.write(path, (0.2 * tone + noise(t.size, seed=9)).reshape(-1, 1) * [1.0, 0.5], 44100)
    blocks = list(vexolin.stream_file(path, "chroma_cqt", block_frames=5000, sr=sr, mono=mono))
    y, rate = vexolin.load(path, sr=sr, mono=mono)
    expected, tuning = vexolin.chroma_cqt(y, sr=rate, return_tuning=True)
    assert abs(tuning - 0.3) <= 0.03
    assert_bitwise(np.concatenate(blocks, axis=-1), expected)
    fixed = list(vexolin.stream_file(path, "chroma_cqt", block_frames=5000, sr=sr, mono=mono, tuning=0.0))
    assert_bitwise(np.concatenate(fixed, axis=-1), vexolin.chroma_cqt(y, sr=rate, tuning=0.0))


def test_stream_file_refuses_empty_and_missing_files(tmp_path):
    empty = tmp_path / "empty.wav"
    soundfile.write(empty, np.zeros(0), SR)
    with pytest.raises(ValueError, match="no samples"):
        list(vexolin.stream_file(empty, "cqt"))
    with pytest.raises(vexolin.AudioFileError, match="no such file"):
        list(vexolin.stream_file(tmp_path / "missing.wav", "cqt"))


def test_the_native_stream_refuses_a_second_thread_mid_push():
    from vexolin import _native

    chroma = _native.Transform(hop=512, fmin=vexolin.C1_HZ, n_bins=7 * 36, bins_per_octave=36, output="chroma")
    stream = _native.Stream(chroma, SR, 16)
    long_block = noise(2**23)
    worker = threading.Thread(target=stream.push, args=(long_block, True))
    worker.start()
    refused = []
    while worker.is_alive() and not refused:
        if stream.pushed > 0:  # the worker's push has begun and holds the stream
            try:
                stream.push(noise(10), True)
            except RuntimeError as e:
                refused.append(str(e))
    worker.join()
    assert refused and "another thread" in refused[0]


def test_a_forked_child_carries_on_the_parents_stream(tmp_path):
    y = noise(60000, seed=11)
    stream = vexolin.Stream("cqt", sr=SR)
    first = stream.push(y[:25000])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # threads of earlier tests may be alive
        pid = os.fork()
    if pid == 0:  # the child finishes the stream and reports what it got
        try:
            np.save(tmp_path / "child.npy", np.concatenate([first, stream.push(y[25000:]), stream.finish()], axis=-1))
        finally:
            os._exit(0)
    _, status = os.waitpid(pid, 0)
    assert status == 0
    ours = np.concatenate([first, stream.push(y[25000:]), stream.finish()], axis=-1)
    assert_bitwise(ours, vexolin.cqt(y, sr=SR))
    assert_bitwise(np.load(tmp_path / "child.npy"), ours)



INTERRUPTED_STREAM_CHILD = """
import json
import signal
import sys
import threading
import time

import numpy as np
import vexolin

channels, steps = json.loads(sys.argv[1])
# Two minutes at hop 64: a few tenths of a second per channel, long enough
# for the signal to land while the channel it aims at computes.
y = np.random.default_rng(5).uniform(-0.5, 0.5, (2, 120 * 22050)).astype(np.float32)[:channels]
y = y[0] if channels == 1 else y
stream = vexolin.Stream("chroma_cqt", sr=22050, hop_length=64, tuning=0.0)
frames, pushed = [stream.push(y[..., :0])], []  # the empty block opens every channel's stream
main = threading.main_thread().ident


def interrupt_once(started):
    while not started():
        time.sleep(0.0005)
    signal.pthread_kill(main, signal.SIGINT)


for step, target in steps:
    watcher = None
    if target is not None:  # Ctrl-C once that channel has begun its part of the call
        native = stream._channels[target]
        before = native.pushed
        started = (lambda: native.finished) if step == "finish" else (lambda: native.pushed > before)
        watcher = threading.Thread(target=interrupt_once, args=(started,))
    block = y if step == "push" else y[..., :0]
    try:
        if watcher is not None:
            watcher.start()
        pushed.append(block)
        frames.append(stream.finish() if step == "finish" else stream.push(block))
        if watcher is not None:
            watcher.join()
            time.sleep(1.0)  # a signal sent after the call's end lands here
        print("returned", flush=True)
    except KeyboardInterrupt:
        if watcher is not None:
            watcher.join()
        print("interrupted", flush=True)
whole = vexolin.chroma_cqt(np.concatenate(pushed, axis=-1), sr=22050, hop_length=64, tuning=0.0)
print("equal", np.concatenate(frames, axis=-1).tobytes() == whole.tobytes(), flush=True)
"""


@pytest.mark.parametrize("channels, steps", [
    # One channel, interrupted in its push: the frames it left come with the next push.
    (1, [["push", 0], ["empty", None], ["finish", None]]),
    # In the first channel's push: the second takes the block without computing.
    (2, [["push", 0], ["empty", None], ["finish", None]]),
    # In the second's: the first channel's frames wait until a push returns them.
    (2, [["push", 1], ["empty", None], ["finish", None]]),
    # Twice, then in a finish that computes what the pushes left.
    (2, [["push", 1], ["push", 0], ["finish", 1], ["finish", None]]),
], ids=["mono", "first-channel", "second-channel", "push-push-finish"])
def test_ctrl_c_in_a_push_or_finish_loses_no_frame_of_any_channel(channels, steps):
    import json
    import subprocess
    import sys

    done = subprocess.run([sys.executable, "-c", INTERRUPTED_STREAM_CHILD, json.dumps([channels, steps])],
                          capture_output=True, text=True, timeout=300)
    expected = ["interrupted" if target is not None else "returned" for _, target in steps]
    assert done.stdout.split("\n")[:-1] == [*expected, "equal True"], done.stdout + done.stderr


SMALL = {"cqt_magnitude": {"n_bins": 48}, "chroma_cqt": {"n_octaves": 4, "tuning": 0.0},
         "hcqt_magnitude": {"harmonics": (1, 2), "fmin": 55.0, "n_bins": 24, "bins_per_octave": 12}}


@pytest.mark.parametrize("feature", sorted(SMALL))
def test_blocks_of_samples_by_channels_stream_as_the_functions_read_them(feature):
    # Stereo as soundfile.read gives it, (n_samples, 2), in blocks of any length
    # (a few rows, none), is two channels all along, as the functions read it.
    y = noise(40000, (2,), seed=6).T
    stream = vexolin.Stream(feature, sr=SR, **SMALL[feature])
    cuts = [0, 4096, 4099, 4099, 4100, 30000, len(y)]
    frames = [stream.push(y[a:b]) for a, b in zip(cuts, cuts[1:])] + [stream.finish()]
    assert all(f.shape[0] == 2 for f in frames)
    assert_bitwise(np.concatenate(frames, axis=-1), FUNCTIONS[feature](y, sr=SR, **SMALL[feature]))
    # The same through float64 blocks, which are converted.
    stream = vexolin.Stream(feature, sr=SR, **SMALL[feature])
    frames = [stream.push(y[a:b].astype(np.float64)) for a, b in zip(cuts, cuts[1:])] + [stream.finish()]
    assert_bitwise(np.concatenate(frames, axis=-1), FUNCTIONS[feature](y, sr=SR, **SMALL[feature]))


def test_a_block_in_another_layout_than_the_first_is_refused_naming_the_layout():
    y = noise(30000, (2,), seed=7)
    by_columns = vexolin.Stream("cqt_magnitude", sr=SR)
    first = by_columns.push(y.T[:10000])
    with pytest.raises(ValueError, match=r"shape \(2, 5000\).*\(n_samples, 2\), samples by channels"):
        by_columns.push(y[:, 10000:15000])
    with pytest.raises(ValueError, match=r"\(n_samples, 2\)"):
        by_columns.push(noise(50, (3,)).T)
    rest = [by_columns.push(y.T[10000:]), by_columns.finish()]
    assert_bitwise(np.concatenate([first, *rest], axis=-1), vexolin.cqt_magnitude(y, sr=SR))
    time_last = vexolin.Stream("cqt_magnitude", sr=SR)
    time_last.push(y[:, :10000])
    with pytest.raises(ValueError, match=r"leading shape \(5000,\).*time is the last axis.*\(2, n_samples\)"):
        time_last.push(y.T[10000:15000])


def _converting(frame, event, arg):
    """A push begins to read its block."""
    return event == "call" and frame.f_code.co_filename.endswith("vexolin/_samples.py")


def _native_push(function):
    return getattr(function, "__name__", "") in ("push_channels", "push")


@pytest.mark.parametrize("feature, layout", [("chroma_cqt", "channels"), ("hcqt_magnitude", "columns"),
                                             ("cqt_magnitude", "mono float64")])
def test_ctrl_c_while_a_push_converts_or_checks_its_block_loses_no_frame(feature, layout):
    # Ctrl-C at every call from the push's reading its block to the native
    # streams taking it (channels opened on the way): the block is taken whole.
    y = noise(2 * SR, (2,), seed=8).astype(np.float64)
    signal = {"channels": y.astype(np.float32), "columns": y.T, "mono float64": y[0]}[layout]

    def part(a, b):
        return signal[a:b] if layout == "columns" else signal[..., a:b]

    def run(at):
        stream = vexolin.Stream(feature, sr=SR, **SMALL[feature])
        frames = []
        with CtrlC(at, starts=_converting, marks=_native_push) as ctrl_c:
            try:
                frames.append(stream.push(part(0, 25000)))
            except KeyboardInterrupt:
                pass
        frames += [stream.push(part(0, 0)), stream.push(part(25000, 2 * SR)), stream.finish()]
        return ctrl_c, np.concatenate(frames, axis=-1)

    counted, _ = run(None)
    assert counted.marked is not None and counted.marked > 5
    expected = FUNCTIONS[feature](signal, sr=SR, **SMALL[feature])
    for at in range(1, counted.marked + 1):
        ctrl_c, frames = run(at)
        assert ctrl_c.fired
        assert frames.shape == expected.shape and frames.tobytes() == expected.tobytes(), f"Ctrl-C at call {at}"
