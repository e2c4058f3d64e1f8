"""Calls that must fail cleanly or stay responsive: bins above the Nyquist
limit, parameter sets without finite filters, fork while other threads are
inside the module, and Ctrl-C during a long call."""

import os
import signal
import subprocess
import sys
import threading
import time
import warnings

import numpy as np
import pytest

import _vexolin

SR = 22050.0


def tone(freq, n=SR, sr=SR):
    return np.sin(2 * np.pi * freq * np.arange(int(n)) / sr).astype(np.float32)


@pytest.mark.parametrize(
    "call",
    [
        lambda y: _vexolin.cqt_magnitude(y, SR, 512, 0.0, 108, 12),
        lambda y: _vexolin.cqt_complex(y, SR, 512, 0.0, 108, 12),
        lambda y: _vexolin.cqt_magnitude(y, 512, 22050, 0.0, 84, 12),  # sr and hop swapped
        lambda y: _vexolin.chroma_cqt(y, SR, 512, 36, 9, 12, 0.0),
    ],
)
def test_a_top_bin_at_or_above_nyquist_is_refused(call):
    with pytest.raises(ValueError, match="Nyquist limit sr / 2 = 11025|Nyquist limit sr / 2 = 256"):
        call(tone(440.0))


def test_chroma_names_the_largest_octave_count_that_fits():
    with pytest.raises(ValueError, match="n_octaves = 8 or fewer"):
        _vexolin.chroma_cqt(tone(440.0), SR, 512, 36, 9, 12, 0.0)


def test_a_top_bin_just_below_nyquist_still_works_and_tones_peak_in_their_bins():
    # 96 bins from C1 end near 7.9 kHz; the top pass band reaches past 8 kHz.
    mag = _vexolin.cqt_magnitude(tone(440.0), SR, 512, 0.0, 96, 12)
    assert np.isfinite(mag).all()
    assert np.argmax(mag[:, mag.shape[1] // 2]) == 45
    # A pass band past the limit is still accepted.
    top = 32.70319566257483 * 2 ** (107 / 12)  # about 15.8 kHz
    mag = _vexolin.cqt_magnitude(tone(440.0, sr=32000.0), 32000.0, 512, 0.0, 108, 12)
    assert top < 16000 and np.isfinite(mag).all()


@pytest.mark.parametrize(
    "args, name",
    [
        ((np.zeros(1, np.float32), SR, 512, 0.001, 1000, 2), "Nyquist"),
        ((np.ones(100, np.float32), 1e-80, 8, 0.0, 12, 12), "Nyquist"),
        ((np.ones(100, np.float32), SR, 8, 1e-5, 12, 12), "fmin"),
        ((np.ones(100, np.float32), SR, 8, 30.0, 3, 2**30), "bins_per_octave"),
    ],
)
def test_parameters_without_finite_filters_are_refused(args, name):
    with pytest.raises(ValueError, match=name):
        _vexolin.cqt_magnitude(*args)


def test_large_finite_samples_give_finite_magnitudes():
    y = np.full(4096, 1e30, np.float32)
    assert np.isfinite(_vexolin.cqt_magnitude(y, SR, 512, 0.0, 84, 12)).all()
    assert np.isfinite(_vexolin.chroma_cqt(y, SR, 512, 36, 7, 12, 0.0)).all()


def test_forked_children_never_hang_and_match_the_parent():
    y = tone(261.6, 4096)
    args = (SR, 256, 55.0, 60, 12)
    expected = _vexolin.cqt_magnitude(y, *args)
    stop = threading.Event()

    def churn(seed):
        # A new fmin on every call: bases are built and inserted all the time.
        rng = np.random.default_rng(seed)
        while not stop.is_set():
            _vexolin.cqt_magnitude(y[:2048], SR, 256, 30.0 + 20.0 * rng.random(), 60, 12)

    threads = [threading.Thread(target=churn, args=(seed,)) for seed in range(2)]
    for t in threads:
        t.start()
    outcomes = []
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
            for _ in range(40):
                pid = os.fork()
                if pid == 0:
                    try:
                        same = np.array_equal(_vexolin.cqt_magnitude(y, *args), expected)
                        os._exit(0 if same else 1)
                    except BaseException:
                        os._exit(2)
                deadline = time.monotonic() + 30.0
                while True:
                    done, status = os.waitpid(pid, os.WNOHANG)
                    if done:
                        outcomes.append(os.waitstatus_to_exitcode(status))
                        break
                    if time.monotonic() > deadline:
                        os.kill(pid, signal.SIGKILL)
                        os.waitpid(pid, 0)
                        outcomes.append("hung")
                        break
                    time.sleep(0.005)
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert outcomes == [0] * 40


CTRL_C_CHILD = """
import threading
import time
import numpy as np
import _vexolin
from vexolin._signals import sigterm_as_interrupt
small = np.random.default_rng(0).standard_normal(8192).astype(np.float32)
before = _vexolin.cqt_magnitude(small, 22050.0, 256, 0.0, 84, 12)
entering = threading.Event()

def say_started():
    # Once this thread runs again after the pause, the main thread has had
    # the interpreter to itself long enough to be inside the call.
    entering.wait()
    time.sleep(0.1)
    print("started", flush=True)

threading.Thread(target=say_started, daemon=True).start()
try:
    with sigterm_as_interrupt():  # as the command line takes SIGTERM
        entering.set()
        # Hop 1 and filters of millions of samples: minutes of work.
        _vexolin.cqt_magnitude(np.zeros(4000, np.float32), 22050.0, 1, 0.05, 84, 12)
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
after = _vexolin.cqt_magnitude(small, 22050.0, 256, 0.0, 84, 12)
print("unchanged", np.array_equal(before, after), flush=True)
"""


@pytest.mark.parametrize("threads, signum", [("1", signal.SIGINT), ("2", signal.SIGINT), ("2", signal.SIGTERM)])
def test_ctrl_c_or_sigterm_stops_a_long_call_and_the_module_keeps_working(threads, signum):
    env = dict(os.environ, VEXOLIN_THREADS=threads)
    proc = subprocess.Popen([sys.executable, "-c", CTRL_C_CHILD], stdout=subprocess.PIPE, text=True, env=env)
    try:
        assert proc.stdout.readline().strip() == "started"
        sent = time.monotonic()
        proc.send_signal(signum)
        out, _ = proc.communicate(timeout=120)
    finally:
        proc.kill()
    lines = out.split("\n")
    word, stamp = lines[0].split()
    assert word == "interrupted"
    # The call has minutes of work left; it must stop long before its end,
    # with room for a busy machine.
    assert float(stamp) - sent < 20.0
    assert lines[1] == "unchanged True"


def interrupt_once_started(args, starts):
    """Runs ``python args``, sends SIGINT once it has printed ``starts``
    "started" lines, and returns its exit status, its output after them and
    the seconds from the signal to its exit."""
    proc = subprocess.Popen([sys.executable, *args], stdout=subprocess.PIPE, text=True)
    try:
        for _ in range(starts):
            assert proc.stdout.readline().strip() == "started"
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        out, _ = proc.communicate(timeout=120)
        return proc.returncode, out, time.monotonic() - sent
    finally:
        proc.kill()


CHANNELS_CTRL_C_CHILD = """
import os
import threading
import numpy as np
import vexolin
from vexolin import _native
small = np.random.default_rng(0).standard_normal((3, 8192)).astype(np.float32)
before = vexolin.cqt_magnitude(small, sr=22050, workers=2)
real = _native.compute

def announced(*args, **kwargs):
    os.write(1, b"started\\n")  # on a channel's thread, entering the module; one write
    return real(*args, **kwargs)

_native.compute = announced
try:
    # Three channels on two threads, each minutes of work (hop 1, filters of
    # millions of samples); the third waits for a thread.
    vexolin.cqt_magnitude(np.zeros((3, 4000), np.float32), sr=22050, hop_length=1, fmin=0.05, workers=2)
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
_native.compute = real
after = vexolin.cqt_magnitude(small, sr=22050, workers=2)
print("unchanged", np.array_equal(before, after), "threads", threading.active_count(), flush=True)
"""


def test_ctrl_c_stops_every_channel_of_a_call_on_threads_and_joins_them():
    status, out, seconds = interrupt_once_started(["-c", CHANNELS_CTRL_C_CHILD], starts=2)
    assert out.split("\n")[:2] == ["interrupted", "unchanged True threads 1"]
    assert status == 0 and seconds < 20.0  # not the minutes the channels have left


def test_ctrl_c_just_after_a_channel_thread_starts_still_joins_that_thread(monkeypatch):
    from vexolin._core import map_on_threads

    real_start = threading.Thread.start
    started = []

    def start_then_interrupt(thread):
        real_start(thread)
        started.append(thread)
        if len(started) == 2:  # as if Ctrl-C came before the pool recorded this thread
            raise KeyboardInterrupt

    def busy(item, token):
        time.sleep(0.3)
        return item

    monkeypatch.setattr(threading.Thread, "start", start_then_interrupt)
    with pytest.raises(KeyboardInterrupt):
        map_on_threads(2, busy, range(3))
    monkeypatch.undo()
    assert len(started) == 2 and not any(t.is_alive() for t in started)


BATCH_CTRL_C_CHILD = """
import os
import sys
from vexolin import _native, cli
real = _native.compute

def announced_and_endless(*args, **kwargs):
    os.write(1, b"started\\n")  # on a file's thread, entering the module; one write
    while True:  # a file that would take for ever
        real(*args, **kwargs)

_native.compute = announced_and_endless
sys.exit(cli.main(["batch", *sys.argv[1:]]))
"""


def test_ctrl_c_cancels_a_batch_on_threads_its_files_stay_pending_and_a_rerun_does_them(tmp_path):
    import soundfile

    import vexolin
    from vexolin import batch, cli

    paths = []
    for i in range(3):
        paths.append(str(tmp_path / f"t{i}.wav"))
        soundfile.write(paths[-1], tone(220.0 * (i + 1)), int(SR))
    out = str(tmp_path / "store.zarr")
    args = ["-c", BATCH_CTRL_C_CHILD, *paths, "--out", out, "--workers", "2", "-q"]
    status, _, seconds = interrupt_once_started(args, starts=2)
    assert status == 130 and seconds < 20.0
    store = batch.open(out)
    assert list(store) == []  # no entry of a cancelled file
    assert sorted((row["path"], row["status"]) for row in store.table()) == [(p, "pending") for p in paths]

    assert cli.main(["batch", *paths, "--out", out, "-q"]) == 0
    store = batch.open(out)
    assert [row["status"] for row in store.table()] == ["done"] * 3
    for path in paths:
        y, sr = vexolin.load(path)
        assert store[path].tobytes() == vexolin.chroma_cqt(y, sr=sr).tobytes()
