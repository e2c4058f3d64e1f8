"""The `vexolin` package: channels, argument checks, helpers, audio files and
plots. Test audio is written into tmp_path with soundfile."""

import ast
import inspect
import os
import pathlib
import shutil
import struct
import subprocess
import sys
import tempfile
import threading

import numpy as np
import pytest
import soundfile

import _vexolin
import vexolin
from vexolin._features import CHROMA, CQT
from vexolin._io import MAX_SAMPLE_RATE

SR = 22050


def tones(freqs, seconds=1.0, sr=SR):
    t = np.arange(int(sr * seconds)) / sr
    return sum(np.sin(2 * np.pi * f * t) for f in freqs) / len(freqs)


# What each package function passes on to the module, with its defaults.
NATIVE = {
    "cqt": lambda y: _vexolin.cqt_complex(y, SR, 512, vexolin.C1_HZ, 84, 12),
    "cqt_magnitude": lambda y: _vexolin.cqt_magnitude(y, SR, 512, vexolin.C1_HZ, 84, 12),
    "chroma_cqt": lambda y: _vexolin.chroma_cqt(y, SR, 512, 36, 7, 12, vexolin.C1_HZ),
}
# The rate, and A440 for chroma (whose default estimates the tuning).
KW = {"cqt": {"sr": SR}, "cqt_magnitude": {"sr": SR}, "chroma_cqt": {"sr": SR, "tuning": 0.0}}


@pytest.mark.parametrize("name", NATIVE)
def test_one_channel_is_the_module_call(name):
    y = tones([220.0, 330.0])  # float64: cast to float32 as the module would
    np.testing.assert_array_equal(getattr(vexolin, name)(y, **KW[name]), NATIVE[name](y))


@pytest.mark.parametrize("name", NATIVE)
@pytest.mark.parametrize("layout", ["channels_first", "channels_last", "batch"])
def test_channels_equal_per_channel_calls_bit_for_bit(name, layout):
    signals = np.random.default_rng(3).standard_normal((6, 30000)).astype(np.float32)
    y, leading = {"channels_first": (signals[:2], (2,)), "channels_last": (signals[:2].T, (2,)),
                  "batch": (signals.reshape(2, 3, 30000), (2, 3))}[layout]
    expected = np.stack([NATIVE[name](s) for s in signals[: np.prod(leading)]])
    out = getattr(vexolin, name)(y, workers=3, **KW[name])
    assert out.shape == leading + expected.shape[1:]
    np.testing.assert_array_equal(out.reshape(expected.shape), expected)
    np.testing.assert_array_equal(getattr(vexolin, name)(y, workers=1, **KW[name]), out)


@pytest.mark.parametrize("name, feature", [("cqt", CQT), ("cqt_magnitude", CQT), ("chroma_cqt", CHROMA)])
def test_defaults_are_the_feature_descriptions(name, feature):
    # The command line and batch take their defaults from the descriptions.
    signature = inspect.signature(getattr(vexolin, name))
    assert {k: signature.parameters[k].default for k in feature.defaults()} == feature.defaults()
    assert signature.parameters["sr"].default in (inspect.Parameter.empty, None)  # no default rate


def test_reading_files_loads_no_native_code(tmp_path):
    path = tmp_path / "tone.wav"
    soundfile.write(path, tones([440.0]), SR)
    native = "[m for m in ('_vexolin', 'vexolin._native') if m in sys.modules]"
    code = (f"import sys, vexolin._io; vexolin._io.info(sys.argv[1]); vexolin._io.load(sys.argv[1]); "
            f"print({native}); import vexolin; vexolin.cqt_magnitude; print({native})")
    done = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True, check=True)
    before, after = done.stdout.splitlines()
    assert before == "[]"
    assert "vexolin._native" in after  # a transform, on first use, does load it


def package_imports():
    """Each module of the package and the package's modules it imports,
    those inside functions included."""
    root = pathlib.Path(vexolin.__file__).parent
    modules = {".".join(("vexolin", *path.relative_to(root).with_suffix("").parts)).removesuffix(".__init__"): path
               for path in root.rglob("*.py*") if path.suffix in (".py", ".pyi")}

    def module_of(name):  # "vexolin._features.CHORDS" is vexolin._features
        while name not in modules and "." in name:
            name = name.rpartition(".")[0]
        return name if name in modules else None

    graph = {}
    for name, path in modules.items():
        found = set()
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.Import):
                found |= {module_of(alias.name) for alias in node.names}
            elif isinstance(node, ast.ImportFrom):
                package = name.split(".")[: len(name.split(".")) - node.level + (path.stem == "__init__")]
                base = ".".join(package + [node.module] if node.module else package) if node.level else node.module
                found |= {module_of(f"{base}.{alias.name}") for alias in node.names}
        graph[name] = found - {None, name}
    return graph


def test_no_module_of_the_package_imports_itself_through_others():
    # A circle, even through imports inside functions, leaves no layer below another.
    graph = package_imports()

    def reached(start):
        seen, todo = set(), [start]
        while todo:
            for other in graph[todo.pop()] - seen:
                seen.add(other)
                todo.append(other)
        return seen

    reach = {name: reached(name) for name in graph}
    circles = {frozenset(other for other in reach[name] if name in reach[other]) for name in graph if name in reach[name]}
    assert not circles, [sorted(circle) for circle in circles]
    # Lazy imports and stubs are read: the chords' layers, as they stand.
    assert {"vexolin._features", "vexolin._core", "vexolin._stream"} <= graph["vexolin._chords"]
    assert "vexolin._chord_model" in graph["vexolin._features"] and "vexolin._native" in graph["vexolin._chord_model"]


@pytest.mark.parametrize("name", NATIVE)
def test_every_thread_budget_gives_the_same_bytes(name):
    # 5 s at hop 64: 1723 frames, enough for the engine to use three threads.
    y = np.random.default_rng(5).standard_normal((2, 5 * SR)).astype(np.float32)
    for signal in (y[0], y):
        results = [getattr(vexolin, name)(signal, hop_length=64, workers=w, **KW[name]) for w in (1, 2, 3, 5)]
        assert all(r.tobytes() == results[0].tobytes() for r in results[1:])


@pytest.mark.parametrize("channels, workers, default, engine_threads", [
    (1, 4, 2, 4),      # one channel: one call with the whole budget
    (2, 4, 2, 2),      # two pool threads, two engine threads each
    (3, 2, 2, 1),      # more channels than the budget: one engine thread each
    (2, 5, 2, 2),      # what does not divide is not handed out
    (2, None, 6, 3),   # None: the module's default count is the budget
])
def test_workers_is_the_calls_whole_thread_budget(monkeypatch, channels, workers, default, engine_threads):
    from vexolin import _native

    calls = []
    compute = _native.compute

    def recording(transform, y, sr, threads, cancel=None):
        calls.append((threads, threading.get_ident()))
        return compute(transform, y, sr, threads, cancel)

    monkeypatch.setattr(_native, "default_threads", lambda: default)
    monkeypatch.setattr(_native, "compute", recording)
    y = np.random.default_rng(1).standard_normal((channels, 4096)).astype(np.float32)
    vexolin.cqt_magnitude(y if channels > 1 else y[0], sr=SR, workers=workers)
    assert [threads for threads, _ in calls] == [engine_threads] * channels
    budget = default if workers is None else workers
    assert len({ident for _, ident in calls}) <= min(channels, budget)


@pytest.mark.parametrize("y, kwargs, error, words", [
    (np.zeros(4096, np.int16), {}, TypeError, ["y", "int16", "32768"]),
    (np.zeros(4096, complex), {}, TypeError, ["y", "complex128", "real"]),
    (np.array(["a", "b"]), {}, TypeError, ["y", "dtype"]),
    (np.array([0.5, None]), {}, TypeError, ["y", "object"]),
    ([[0.0], [0.0, 1.0]], {}, TypeError, ["y", "array"]),
    (np.array([0.0, np.nan, 0.0]), {}, ValueError, ["non-finite", "check_finite=False"]),
    (np.zeros((2, 0)), {}, ValueError, ["y", "no samples"]),
    (np.float64(1.0), {}, ValueError, ["y", "time axis"]),
    (None, {"hop_length": 512.5}, ValueError, ["hop_length", "whole", "512.5"]),
    (None, {"hop_length": 0}, ValueError, ["hop_length", ">= 1"]),
    (None, {"hop_length": "512"}, TypeError, ["hop_length"]),
    (None, {"sr": 512, "hop_length": 22050}, ValueError, ["Nyquist", "256", "swapped"]),
    (None, {"fmin": 12000.0}, ValueError, ["top bin", "Nyquist", "11025"]),
    (None, {"fmin": -5.0}, ValueError, ["fmin", "> 0"]),
    (None, {"sr": float("nan")}, ValueError, ["sr"]),
    (None, {"workers": 0}, ValueError, ["workers"]),
])
@pytest.mark.parametrize("name", NATIVE)
def test_bad_input_gets_a_clear_error_naming_the_argument(name, y, kwargs, error, words):
    y = np.zeros((2, 4096)) if y is None else y
    with pytest.raises(error) as caught:
        getattr(vexolin, name)(y, **{**KW[name], **kwargs})
    assert all(w in str(caught.value) for w in words), str(caught.value)


@pytest.mark.parametrize("name", [*NATIVE, "chroma_cens", "estimate_tuning"])
def test_a_call_without_the_rate_says_to_pass_the_one_load_returned(name):
    with pytest.raises(TypeError, match=r"sr is required: pass the rate vexolin.load returned"):
        getattr(vexolin, name)(tones([440.0]))


@pytest.mark.parametrize("name", ["times_like", "frames_to_time", "plot.chromagram", "plot.cqt"])
def test_helpers_and_plots_whose_answer_depends_on_the_rate_need_it_too(name):
    import vexolin.plot

    # A default rate would put a 44.1 kHz file's frames at twice their times.
    function = vexolin.plot.__dict__[name[5:]] if name.startswith("plot.") else getattr(vexolin, name)
    with pytest.raises(TypeError, match=r"sr is required: pass the rate vexolin.load returned"):
        function(np.ones((12, 3)))


@pytest.mark.parametrize("name", ["chroma_cqt", "chroma_cens"])
def test_magnitudes_to_fold_need_their_bins_per_octave(name):
    # cqt_magnitude's 84 bins at 12 per octave, folded as if at chroma's 36,
    # put most frames' strongest pitch class in the wrong place.
    y = tones([261.63, 329.63, 392.0], seconds=2.0)
    M = vexolin.cqt_magnitude(y, sr=SR)
    with pytest.raises(TypeError, match="bins_per_octave=.*cqt_magnitude's default is 12"):
        getattr(vexolin, name)(C=M)
    folded = vexolin.chroma_cqt(C=M, bins_per_octave=12)
    assert sorted(folded.mean(axis=1).argsort()[-3:].tolist()) == [0, 4, 7]  # C, E, G


@pytest.mark.parametrize("call, words", [
    (lambda y: vexolin.cqt(y, sr=SR, center=False), ["'center'", "always centred"]),
    (lambda y: vexolin.cqt_magnitude(y, sr=SR, pad_mode="reflect"), ["'pad_mode'", "zeros"]),
    (lambda y: vexolin.cqt(y, sr=SR, res_type="soxr_hq"), ["'res_type'", "soxr"]),
    (lambda y: vexolin.chroma_cqt(y, sr=SR, dtype=np.float64), ["'dtype'", "float32"]),
    (lambda y: vexolin.cqt(y, sr=SR, sparsity=0.0), ["'sparsity'", "0.01"]),
    (lambda y: vexolin.cqt(y, sr=SR, scale=False), ["'scale'", "sqrt"]),
    (lambda y: vexolin.chroma_cqt(y, sr=SR, window="hamming"), ["'window'", "Hann"]),
    (lambda y: vexolin.cqt(y, sr=SR, norm=2), ["'norm'", "L1"]),
    (lambda y: vexolin.vqt(y, sr=SR, norm=2), ["'norm'", "L1"]),
    (lambda y: vexolin.hcqt_magnitude(y, sr=SR, pad_mode="reflect"), ["'pad_mode'", "zeros"]),
    (lambda y: vexolin.estimate_chords(y, sr=SR, center=False), ["'center'", "always centred"]),
    (lambda y: vexolin.chroma_cens(y, sr=SR, norm=1), ["'norm'", "Euclidean length of 1"]),
    (lambda y: vexolin.estimate_tuning(y, sr=SR, resolution=0.001), ["'resolution'", "whole cents"]),
    (lambda y: vexolin.Stream("cqt", sr=SR, center=True), ["Stream('cqt')", "'center'", "always centred"]),
    (lambda y: vexolin.load("x.wav", res_type="kaiser_best"), ["load()", "'res_type'", "soxr"]),
    (lambda y: vexolin.times_like(y, sr=SR, n_fft=2048), ["'n_fft'", "multiples of hop_length"]),
    (lambda y: vexolin.cqt(y, sr=SR, colour=1), ["unexpected keyword argument 'colour'"]),
])
def test_a_librosa_keyword_vexolin_lacks_says_what_it_does_instead(call, words):
    with pytest.raises(TypeError) as caught:
        call(tones([440.0]))
    assert all(w in str(caught.value) for w in words), str(caught.value)


def test_whole_float_hop_and_unchecked_nan_reach_the_module():
    y = tones([440.0])
    np.testing.assert_array_equal(vexolin.cqt_magnitude(y, sr=SR, hop_length=256.0),
                                  vexolin.cqt_magnitude(y, sr=SR, hop_length=256))
    y[100] = np.nan
    assert vexolin.cqt_magnitude(y, sr=SR, check_finite=False).shape == (84, 44)


@pytest.mark.parametrize("midi", [33, 57, 69, 76])  # A1, A3, A4, E5
def test_a_tone_peaks_in_the_bin_named_after_its_note(midi):
    f = 440.0 * 2 ** ((midi - 69) / 12)
    M = vexolin.cqt_magnitude(tones([f], seconds=2.0), sr=SR, fmin=55.0 / 2, n_bins=144, bins_per_octave=24)
    names = vexolin.bin_notes(144, fmin=55.0 / 2, bins_per_octave=24)
    peak = M[:, 20:-20].mean(axis=1).argmax()
    assert names[peak] == vexolin.hz_to_note(f)[0]
    assert vexolin.cqt_frequencies(144, fmin=55.0 / 2, bins_per_octave=24)[peak] == pytest.approx(f, rel=1e-9)
    times = vexolin.times_like(M, sr=SR)
    assert len(times) == M.shape[1] and times[-1] == pytest.approx((M.shape[1] - 1) * 512 / SR)


def test_amplitude_to_db_clips_below_the_peak_and_keeps_float32():
    db = vexolin.amplitude_to_db(np.array([[2.0, 0.2, 1e-9]], np.float32), ref=np.max, top_db=40.0)
    assert db.dtype == np.float32
    np.testing.assert_allclose(db, [[0.0, -20.0, -40.0]], atol=1e-5)


# --- Audio files -----------------------------------------------------------------


@pytest.mark.parametrize("fmt, subtype, tolerance", [
    ("WAV", "FLOAT", 0.0), ("FLAC", "PCM_24", 2e-7), ("OGG", "VORBIS", None)])
def test_load_reads_channels_offset_and_duration(tmp_path, fmt, subtype, tolerance):
    stereo = np.stack([tones([261.63]), tones([392.0])], axis=1).astype(np.float32) * 0.5
    path = tmp_path / f"x.{fmt.lower()}"
    soundfile.write(path, stereo, SR, format=fmt, subtype=subtype)
    y, sr = vexolin.load(path, mono=False, offset=0.25, duration=0.5)
    assert sr == SR and y.shape == (2, SR // 2) and y.dtype == np.float32
    if tolerance is not None:
        np.testing.assert_allclose(y, stereo[SR // 4 : 3 * SR // 4].T, atol=tolerance)
    # Decoded, lossy or not, the channels keep their notes.
    chroma = vexolin.chroma_cqt(y, sr=sr).mean(axis=-1)
    assert [vexolin.chroma_notes()[k] for k in chroma.argmax(axis=1)] == ["C", "G"]


def test_load_resamples_and_mixes_down(tmp_path):
    path = tmp_path / "tone.wav"
    soundfile.write(path, np.stack([tones([440.0], sr=44100)] * 2, axis=1), 44100)
    y, sr = vexolin.load(path, sr=SR)
    assert sr == SR and y.ndim == 1 and abs(len(y) - SR) <= 1
    spectrum = np.abs(np.fft.rfft(y))
    assert np.fft.rfftfreq(len(y), 1 / SR)[spectrum.argmax()] == pytest.approx(440.0, abs=1.0)


@pytest.mark.parametrize("name, content, reason", [
    ("missing.wav", None, "no such file"),
    ("", None, "is a directory"),
    ("empty.wav", b"", "is empty (0 bytes)"),
    ("notes.wav", b"not audio at all", "not a readable audio file"),
    # libsndfile says "Format not recognised", and of the same bytes named
    # .mp3 that the file does not exist; a .raw name gets a TypeError.
    ("noise.wav", "noise", "not a readable audio file (not an audio format this build reads)"),
    ("noise.mp3", "noise", "not a readable audio file (not an audio format this build reads)"),
    ("noise.raw", "noise", "headerless raw samples: not an audio format this build reads"),
    ("pipe.wav", "fifo", "is a named pipe (FIFO), not a regular file"),  # never opened: that would wait
])
def test_unreadable_files_raise_an_error_naming_the_file(tmp_path, name, content, reason):
    path = tmp_path / name
    if content == "fifo":
        os.mkfifo(path)
    elif content == "noise":
        path.write_bytes(np.random.default_rng(2).bytes(5000))
    elif content is not None:
        path.write_bytes(content)
    for read in (vexolin.load, vexolin.info):
        with pytest.raises(vexolin.AudioFileError) as caught:
            read(path)
        assert str(caught.value) == f"{path}: {caught.value.reason}" and reason in caught.value.reason


def test_a_file_without_read_permission_says_so(tmp_path):
    folder = tempfile.mkdtemp()  # tmp_path's folders are closed to other users
    try:
        path = os.path.join(folder, "locked.wav")
        soundfile.write(path, tones([440.0]), SR)
        os.chmod(path, 0)
        script = ("import sys, vexolin\n"
                  "try:\n    vexolin.info(sys.argv[1])\n"
                  "except vexolin.AudioFileError as e:\n    print(e.reason)\n")
        command = [sys.executable, "-c", script, path]
        if os.geteuid() == 0:  # root reads every file: drop that power in the child
            if shutil.which("setpriv") is None:
                pytest.skip("running as root without setpriv to drop the power to read every file")
            command = ["setpriv", "--bounding-set=-dac_override,-dac_read_search", *command]
        shown = subprocess.run(command, capture_output=True, text=True, timeout=60, check=True).stdout
        assert shown.strip() == "Permission denied"
    finally:
        shutil.rmtree(folder)


@pytest.mark.parametrize("rate, refused", [
    (2**31 - 1, True), (10**9, True), (MAX_SAMPLE_RATE + 1, True), (MAX_SAMPLE_RATE, False)])
def test_a_header_rate_beyond_every_audio_format_is_refused_as_damaged(tmp_path, rate, refused):
    path = tmp_path / "rate.wav"
    soundfile.write(path, tones([440.0]), SR)
    header = bytearray(path.read_bytes())
    at = header.index(b"fmt ") + 12  # past the chunk's id, size, format and channels
    header[at : at + 4] = struct.pack("<I", rate)
    path.write_bytes(bytes(header))
    if not refused:
        assert vexolin.info(path).sr == vexolin.load(path)[1] == rate
        return
    for read in (vexolin.info, vexolin.load):
        with pytest.raises(vexolin.AudioFileError) as caught:
            read(path)
        assert str(path) in str(caught.value) and f"damaged header: a sample rate of {rate} Hz" in str(caught.value)


# The chords of the example progression, two seconds each: C, G, A minor, F.
PROGRESSION_TONES = [{"C", "E", "G"}, {"G", "B", "D"}, {"A", "C", "E"}, {"F", "A", "C"}]


def test_example_audio_is_the_same_progression_every_call_and_its_chroma_shows_the_chords():
    y, sr = vexolin.example_audio()
    assert sr == 22050 and y.dtype == np.float32 and y.shape == (8 * sr,)
    assert 0.1 < np.abs(y).max() < 1.0
    np.testing.assert_array_equal(vexolin.example_audio("progression")[0], y)
    chroma = vexolin.chroma_cqt(y, sr=sr, tuning=0.0, norm=None)
    names = vexolin.chroma_notes()
    for bar, tones in zip(np.array_split(chroma, len(PROGRESSION_TONES), axis=1), PROGRESSION_TONES):
        strongest = {names[k] for k in np.argsort(bar.mean(axis=1))[-3:]}
        assert strongest == tones


@pytest.mark.parametrize("name", ["song", "Progression", ""])
def test_example_audio_names_the_pieces_it_has(name):
    with pytest.raises(ValueError, match=r"name must be one of 'progression', got"):
        vexolin.example_audio(name)


# --- Plots -------------------------------------------------------------------------


@pytest.mark.parametrize("kind", ["chromagram", "cqt"])
def test_plots_render_with_note_names_and_a_colour_bar(tmp_path, kind):
    from matplotlib.figure import Figure
    import matplotlib.image

    import vexolin.plot

    y = tones([261.63, 329.63, 392.0], seconds=2.0)
    figure = Figure(figsize=(6, 3))
    ax = figure.add_subplot()
    if kind == "chromagram":
        vexolin.plot.chromagram(vexolin.chroma_cqt(y, sr=SR, norm=None), sr=SR, hop_length=512, ax=ax)
        expected = vexolin.chroma_notes()
    else:
        vexolin.plot.cqt(vexolin.cqt(y, sr=SR), sr=SR, hop_length=512, fmin=None, bins_per_octave=12, ax=ax)
        expected = [f"C{octave}" for octave in range(1, 8)]
    figure.savefig(tmp_path / "out.png")
    assert [t.get_text() for t in ax.get_yticklabels()] == expected
    assert ax.get_xlim()[1] == pytest.approx(2.0, abs=0.05)  # seconds, not frames
    assert len(figure.axes) == 2  # the colour bar
    pixels = matplotlib.image.imread(tmp_path / "out.png")[..., :3]
    assert len(np.unique(pixels.reshape(-1, 3), axis=0)) > 50 and pixels.std() > 0.1


def test_long_recordings_plot_with_clock_ticks_at_the_figures_resolution_and_quiet_frames_dark():
    from matplotlib.figure import Figure

    import vexolin.plot

    # 20 minutes of frames whose second half is 60 dB down.
    n = 20 * 60 * SR // 512
    chroma = np.tile(np.eye(12, dtype=np.float32)[:, :1], (1, n)) + 0.1
    chroma[:, n // 2:] *= 1e-3
    figure = Figure(figsize=(8, 3), dpi=100)
    ax = figure.add_subplot()
    vexolin.plot.chromagram(chroma, sr=SR, hop_length=512, key="Eb major", ax=ax)
    figure.canvas.draw()
    image = ax.get_images()[0].get_array()
    # Frames averaged to about the axes' pixels (measured before the colour bar took its share).
    assert image.shape[1] <= 2 * ax.get_window_extent().width < n / 10
    assert ax.get_xlim()[1] == pytest.approx(n * 512 / SR, rel=1e-3)
    assert (image[:, image.shape[1] // 2 + 1:] == 0).all() and image[0, 0] == 1.0
    ticks = [t.get_text() for t in ax.get_xticklabels() if t.get_text()]
    assert ticks[:3] == ["0:00", "2:00", "4:00"] and ax.get_xlabel() == "Time (m:ss)"
    assert [t.get_text() for t in ax.get_yticklabels()][:4] == ["C", "Db", "D", "Eb"]
