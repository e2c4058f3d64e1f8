"""`vexolin._native`, the package's private module: `_vexolin`'s transforms with
the thread count as an argument, equal to `_vexolin` bit for bit."""

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


@pytest.mark.parametrize("name,args", CALLS)
def test_equal_to_vexolin_bit_for_bit_for_every_thread_count(name, args):
    y = np.random.default_rng(len(args)).standard_normal(int(5 * args[0])).astype(np.float32)
    want = getattr(_vexolin, name)(y, *args)
    for threads in (1, 2, 3):
        got = getattr(_native, name)(y, *args, threads=threads)
        assert got.dtype == want.dtype and got.shape == want.shape
        assert got.tobytes() == want.tobytes(), f"{name} on {threads} threads"


@pytest.mark.parametrize("name,args", sorted(dict(CALLS).items()))
@pytest.mark.parametrize("threads", [0, -1])
def test_threads_below_one_is_a_value_error_naming_it(name, args, threads):
    y = np.zeros(4096, np.float32)
    with pytest.raises(ValueError, match=r"threads must be >= 1, got " + str(threads)):
        getattr(_native, name)(y, *args, threads)
    with pytest.raises(TypeError):
        getattr(_native, name)(y, *args, 2.0)


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


@pytest.mark.parametrize("name,args", [*sorted(dict(CALLS).items()), ("chroma_folded", (22050.0, 64, 36, 7, 12, 0.0))])
def test_a_raised_cancel_token_stops_a_call_on_any_thread_and_later_calls_are_unaffected(name, args):
    y = np.random.default_rng(1).standard_normal(int(5 * args[0])).astype(np.float32)
    call = getattr(_native, name)
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


NATIVE_FMIN_CALLS = {
    "cqt_complex": lambda y, fmin: _native.cqt_complex(y, 22050.0, 512, fmin, 12, 12, 1),
    "cqt_magnitude": lambda y, fmin: _native.cqt_magnitude(y, 22050.0, 512, fmin, 12, 12, 1),
    "hcqt_complex": lambda y, fmin: _native.hcqt_complex(y, 22050.0, 512, fmin, [1.0, 2.0], 12, 12, 1),
    "hcqt_magnitude": lambda y, fmin: _native.hcqt_magnitude(y, 22050.0, 512, fmin, [1.0, 2.0], 12, 12, 1),
    "Stream.cqt": lambda y, fmin: _native.Stream.cqt("magnitude", 22050.0, 512, fmin, 12, 12, 1),
    "Stream.hcqt": lambda y, fmin: _native.Stream.hcqt("magnitude", 22050.0, 512, fmin, [1.0, 2.0], 12, 12, 1),
}


@pytest.mark.parametrize("fmin", [float("nan"), -55.0, 0.0, float("inf")])
@pytest.mark.parametrize("name", sorted(NATIVE_FMIN_CALLS))
def test_the_private_module_takes_fmin_in_hertz_only(name, fmin):
    # The package always passes hertz; only _vexolin reads fmin <= 0 or NaN as C1.
    y = np.zeros(4096, np.float32)
    with pytest.raises(ValueError, match="fmin must be"):
        NATIVE_FMIN_CALLS[name](y, fmin)
    assert NATIVE_FMIN_CALLS[name](y, 32.70319566257483) is not None
    if name in ("cqt_complex", "cqt_magnitude"):
        public = getattr(_vexolin, name)(y, 22050.0, 512, fmin if fmin != float("inf") else 0.0, 12, 12)
        assert public.tobytes() == NATIVE_FMIN_CALLS[name](y, 32.70319566257483).tobytes()


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), -float("inf")])
@pytest.mark.parametrize("argument", ["scores", "switch_cost"])
def test_the_chord_decoder_refuses_values_that_are_not_finite(argument, bad):
    scores, cost = np.zeros((3, 5)), np.ones(5)
    (scores if argument == "scores" else cost).flat[3] = bad
    with pytest.raises(ValueError, match=f"{argument} must be finite"):
        _native.chord_path(scores, cost)
