"""The `vexolin` command line: outputs, bad files among good ones, atomic
writes, and the entry points."""

import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
import soundfile

import vexolin
from vexolin import cli

SR = 22050


@pytest.fixture
def audio(tmp_path):
    """Two good files (mono WAV, stereo FLAC at another rate) and bad ones."""
    t = np.arange(SR) / SR
    soundfile.write(tmp_path / "a4.wav", np.sin(2 * np.pi * 440.0 * t), SR)
    t2 = np.arange(2 * 16000) / 16000
    stereo = np.stack([np.sin(2 * np.pi * 261.63 * t2), np.sin(2 * np.pi * 392.0 * t2)], axis=1)
    soundfile.write(tmp_path / "cg.flac", stereo, 16000)
    soundfile.write(tmp_path / "nan.wav", np.full(SR, np.nan), SR, subtype="FLOAT")
    (tmp_path / "text.wav").write_text("not audio")
    return tmp_path


def expected_chroma(path):
    y, sr = vexolin.load(path)
    return vexolin.chroma_cqt(y, sr=sr)


def test_bad_files_among_good_ones_get_one_line_each_and_exit_1(audio, capsys):
    files = [audio / "a4.wav", audio / "nan.wav", audio / "missing.wav", audio / "text.wav", audio / "cg.flac"]
    out_dir, png_dir = audio / "out", audio / "png"
    status = cli.main(["chroma", *map(str, files), "-o", f"{out_dir}/", "--plot", f"{png_dir}/"])
    err = capsys.readouterr().err.splitlines()
    assert status == 1
    errors = [line for line in err if line.startswith("vexolin: error:")]
    assert len(errors) == 3
    for bad, words in zip(files[1:4], ["NaN", "no such file", "not a readable audio file"]):
        assert sum(str(bad) in line and words in line for line in errors) == 1
    assert err[-1] == "vexolin: 3 of 5 files failed"
    assert sorted(os.listdir(out_dir)) == ["a4.chroma.npy", "cg.chroma.npy"]
    assert sorted(os.listdir(png_dir)) == ["a4.chroma.png", "cg.chroma.png"]
    for name in ("a4", "cg"):
        source = audio / (name + (".wav" if name == "a4" else ".flac"))
        np.testing.assert_array_equal(np.load(out_dir / f"{name}.chroma.npy"), expected_chroma(source))
        assert (png_dir / f"{name}.chroma.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("command", [["chroma"], ["chroma", "--norm", "2"], ["cqt", "--db"], ["key"]])
def test_samples_that_overflow_the_transform_are_an_error_not_a_file_of_nan(audio, capsys, command):
    loud = audio / "loud.wav"  # finite float samples, but the transform's sums pass float32's largest
    soundfile.write(loud, 1e38 * np.sin(2 * np.pi * 440.0 * np.arange(SR) / SR), SR, subtype="FLOAT")
    target = [] if command[0] == "key" else ["-o", str(audio / "loud.npy")]
    with np.errstate(all="raise"):  # numpy's warnings would precede the reason
        assert cli.main([*command, str(loud), *target]) == 1
    assert capsys.readouterr().err.splitlines()[0] == (
        f"vexolin: error: {loud}: the result is not finite: samples of up to 1e+38 overflow float32; "
        "scale the audio down")
    assert not (audio / "loud.npy").exists()


@pytest.mark.parametrize("fmt", ["npy", "npz", "csv"])
def test_formats_hold_the_result_and_its_frame_times(audio, fmt):
    target = audio / f"result.{fmt}"
    assert cli.main(["chroma", str(audio / "a4.wav"), "-o", str(target), "--hop-length", "256", "-q"]) == 0
    want = vexolin.chroma_cqt(vexolin.load(audio / "a4.wav")[0], sr=SR, hop_length=256)
    times = vexolin.times_like(want, sr=SR, hop_length=256)
    if fmt == "npy":
        np.testing.assert_array_equal(np.load(target), want)
    elif fmt == "npz":
        saved = np.load(target)
        np.testing.assert_array_equal(saved["chroma"], want)
        np.testing.assert_array_equal(saved["times"], times)
        assert list(saved["labels"]) == vexolin.chroma_notes()
    else:
        header = target.read_text().splitlines()[0]
        assert header == "time," + ",".join(vexolin.chroma_notes())
        table = np.loadtxt(target, delimiter=",", skiprows=1)
        np.testing.assert_allclose(table[:, 0], times, rtol=1e-6)
        np.testing.assert_allclose(table[:, 1:].T, want, rtol=1e-6)


@pytest.mark.parametrize("fmt", ["npy", "csv"])
def test_an_interrupted_write_leaves_neither_a_partial_file_nor_a_temporary(audio, monkeypatch, fmt):
    from vexolin import _stream

    target = audio / f"kept.{fmt}"
    target.write_bytes(b"previous result")
    pushed = []

    def interrupted_push(stream, block):
        pushed.append(block.shape[-1])
        if len(pushed) == 2:  # after some frames are written
            raise KeyboardInterrupt
        return real_push(stream, block)

    real_push = _stream.Stream.push
    monkeypatch.setattr(_stream.Stream, "push", interrupted_push)
    monkeypatch.setattr(_stream, "BLOCK_FRAMES", 8192)
    assert cli.main(["chroma", str(audio / "a4.wav"), "-o", str(target), "-q"]) == 130
    assert target.read_bytes() == b"previous result"
    assert sorted(os.listdir(audio)) == ["a4.wav", "cg.flac", f"kept.{fmt}", "nan.wav", "text.wav"]


@pytest.fixture(scope="module")
def long_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("long") / "long.wav"
    soundfile.write(path, np.random.default_rng(0).uniform(-0.5, 0.5, 600 * SR).astype(np.float32), SR)
    return path


def writing(command, folder):
    """A run of ``command`` once the temporary it writes in ``folder`` holds frames."""
    run = subprocess.Popen([sys.executable, "-m", "vexolin", *command], stderr=subprocess.PIPE, text=True)
    while run.poll() is None and not any(p.name.endswith(".part") and p.stat().st_size > 4096
                                         for p in folder.iterdir()):
        time.sleep(0.01)
    return run


@pytest.mark.parametrize("signum, status, said", [(signal.SIGINT, 130, "interrupted"),
                                                  (signal.SIGTERM, 143, "terminated")])
def test_ctrl_c_or_sigterm_on_a_long_file_leaves_no_output(long_file, tmp_path, signum, status, said):
    run = writing(["chroma", str(long_file), "-o", str(tmp_path / "out.npy")], tmp_path)
    run.send_signal(signum)
    _, err = run.communicate(timeout=60)
    assert (run.returncode, err) == (status, f"vexolin: {said}\n")
    assert list(tmp_path.iterdir()) == []


def test_a_temporary_never_loads_as_an_array_until_its_values_are_final(audio, monkeypatch):
    from vexolin import _spool

    to_db, caught = _spool.to_db, []

    def in_the_db_pass(path):  # what a kill before, and after, the pass would leave
        caught.append(open(path, "rb").read())
        to_db(path)
        caught.append(open(path, "rb").read())

    monkeypatch.setattr(_spool, "to_db", in_the_db_pass)
    assert cli.main(["cqt", str(audio / "a4.wav"), "--db", "-o", str(audio / "db.npy"), "-q"]) == 0
    for left in caught:
        (audio / "left.npy").write_bytes(left)
        with pytest.raises(ValueError):
            np.load(audio / "left.npy")
    y, sr = vexolin.load(audio / "a4.wav")
    np.testing.assert_allclose(np.load(audio / "db.npy"),
                               vexolin.amplitude_to_db(vexolin.cqt_magnitude(y, sr=sr), ref=np.max), atol=1e-4)


@pytest.mark.parametrize("fmt", ["npy", "csv"])
def test_a_later_run_removes_the_temporaries_of_a_run_killed_outright_and_only_those(long_file, audio, fmt):
    out = audio / "out" / f"db.{fmt}"
    out.parent.mkdir()
    killed = writing(["cqt", str(long_file), "--db", "-o", str(out)], out.parent)
    killed.kill()
    killed.communicate(timeout=60)
    [left] = os.listdir(out.parent)  # the output's temporary, or the frames spooled for the CSV
    assert left.startswith(f".{out.name}." if fmt == "npy" else ".vexolin-spool.") and left.endswith(".part")
    # Not provably gone: a live process of this machine, a process of another.
    from vexolin._owner import machine
    alive = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    kept = [f".{out.name}.vx{alive.pid}-{machine()}-{'0' * 12}.part",
            f".{out.name}.vx{killed.pid}-{'f' * 10}-{'0' * 12}.part", f".{out.name}.{'0' * 32}.part"]
    try:
        for name in kept:
            (out.parent / name).write_bytes(b"\0" * 256)
        assert cli.main(["cqt", str(audio / "a4.wav"), "--db", "-o", str(out), "-q"]) == 0
    finally:
        alive.kill()
        alive.wait()
    assert sorted(os.listdir(out.parent)) == sorted([out.name, *kept])


def test_cqt_text_picture_and_db_output(audio, capsys):
    target = audio / "db.npy"
    assert cli.main(["cqt", str(audio / "a4.wav"), "--db", "--text", "-o", str(target), "-q"]) == 0
    db = np.load(target)
    assert db.shape == (84, 44) and db.max() == 0.0 and db.min() == pytest.approx(-80.0)
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 85  # one line per bin, highest first, and the time axis
    loudest = max(lines[:-1], key=lambda line: line.count("@"))
    assert loudest.split("|")[0].strip() == "A4"


def test_info_reports_rate_channels_and_frames(audio, capsys):
    assert cli.main(["info", str(audio / "cg.flac"), str(audio / "text.wav")]) == 1
    captured = capsys.readouterr()
    assert "2.00 s, 16000 Hz, 2 channels, 32000 samples, 63 frames at hop length 512" in captured.out
    assert "text.wav: not a readable audio file" in captured.err


def test_module_entry_runs_without_a_progress_bar_off_a_terminal(audio):
    done = subprocess.run([sys.executable, "-m", "vexolin", "chroma", str(audio / "a4.wav"), "-o",
                           str(audio / "x.npy")], capture_output=True, text=True, check=False)
    assert done.returncode == 0, done.stderr
    assert done.stderr == "" and done.stdout == ""
    np.testing.assert_array_equal(np.load(audio / "x.npy"), expected_chroma(audio / "a4.wav"))


# --- Invocations -------------------------------------------------------------------


@pytest.mark.parametrize("inputs, args, words", [
    (2, ["-o", "one.npy"], ["-o one.npy", "with 2 input files", "ends with a slash"]),
    (2, ["--plot", "one.png"], ["--plot one.png", "directory"]),
    (1, ["-o", "x.txt"], [".txt is not an output format", "--format"]),
    (1, ["-o", "x"], ["no suffix", "--format"]),
    (1, ["--hop-length", "0"], ["--hop-length must be >= 1"]),
    (1, ["--n-chroma", "40"], ["--n-chroma must be between 1 and --bins-per-octave (36)"]),
])
def test_unusable_invocations_are_usage_errors_before_any_work(audio, monkeypatch, capsys, inputs, args, words):
    monkeypatch.chdir(audio)
    before = sorted(os.listdir(audio))
    with pytest.raises(SystemExit) as caught:
        cli.main(["chroma", *["a4.wav", "cg.flac"][:inputs], *args])
    assert caught.value.code == 2
    err = capsys.readouterr().err
    assert all(w in err for w in words), err
    assert sorted(os.listdir(audio)) == before


@pytest.mark.parametrize("command, args, words", [
    ("hcqt", ["--harmonics", "1,,2"], ["argument --harmonics: '1,,2': item 2 is empty", "separated by commas"]),
    ("hcqt", ["--harmonics", "1,2,"], ["item 3 is empty"]),
    ("hcqt", ["--harmonics", "1,x"], ["'1,x': 'x' is not a number"]),
    ("chroma", ["--tuning", "abc"], ["argument --tuning: 'abc' is not a number", "or auto"]),
    ("vqt", ["--gamma", "wide"], ["argument --gamma: 'wide' is not a number", "erb"]),
])
def test_option_values_that_are_not_numbers_are_named_as_the_user_wrote_them(audio, capsys, command, args, words):
    with pytest.raises(SystemExit) as caught:
        cli.main([command, str(audio / "a4.wav"), *args])
    assert caught.value.code == 2
    err = capsys.readouterr().err
    assert all(w in err for w in words) and "_text" not in err, err


@pytest.mark.parametrize("args, written", [
    (["a4.wav", "-o", "x.txt", "--format", "csv"], ["x.txt"]),  # the format follows --format
    (["a4.wav", "-o", "new/"], ["new/a4.chroma.npy"]),
    (["a4.wav", "cg.flac", "-o", "made/", "--format", "npz"], ["made/a4.chroma.npz", "made/cg.chroma.npz"]),
    (["a4.wav", "cg.flac", "-o", "existing"], ["existing/a4.chroma.npy", "existing/cg.chroma.npy"]),
])
def test_outputs_go_to_the_named_file_or_directory_in_the_given_format(audio, monkeypatch, args, written):
    monkeypatch.chdir(audio)
    (audio / "existing").mkdir()
    assert cli.main(["chroma", *args, "-q"]) == 0
    for name in written:
        source = audio / ("a4.wav" if "a4" in name or name == "x.txt" else "cg.flac")
        if name.endswith(".npy"):
            got = np.load(audio / name)
        elif name.endswith(".npz"):
            got = np.load(audio / name)["chroma"]
        else:
            got = np.loadtxt(audio / name, delimiter=",", skiprows=1)[:, 1:].T
        np.testing.assert_allclose(got, expected_chroma(source), rtol=1e-6)


@pytest.mark.parametrize("points_to", ["a file", "nothing yet"])
def test_an_output_named_by_a_link_is_written_through_it_and_the_link_stays(audio, monkeypatch, points_to):
    monkeypatch.chdir(audio)
    (audio / "results").mkdir()
    target = audio / "results" / "2026.npy"
    if points_to == "a file":
        target.write_bytes(b"last year's result")
    (audio / "latest.npy").symlink_to(target)
    (audio / "plot.png").symlink_to(audio / "results" / "2026.png")
    assert cli.main(["chroma", "a4.wav", "-o", "latest.npy", "--plot", "plot.png", "-q"]) == 0
    assert os.readlink(audio / "latest.npy") == str(target)
    np.testing.assert_array_equal(np.load(target), expected_chroma(audio / "a4.wav"))
    assert (audio / "results" / "2026.png").read_bytes().startswith(b"\x89PNG")
    assert sorted(os.listdir(audio / "results")) == ["2026.npy", "2026.png"]


def test_a_closed_standard_output_ends_the_run_quietly(audio):
    # As `vexolin chroma ... | head` once head has exited: writes fail with EPIPE.
    read, write = os.pipe()
    os.close(read)
    try:
        done = subprocess.run([sys.executable, "-m", "vexolin", "chroma", str(audio / "a4.wav"),
                               str(audio / "cg.flac")], stdout=write, capture_output=False,
                              stderr=subprocess.PIPE, text=True, check=False)
    finally:
        os.close(write)
    assert done.stderr == ""
    assert done.returncode == 141  # what a shell reports for a command stopped by SIGPIPE


LIBRARY_BATCH = "from vexolin import batch; batch.extract('a4.wav', out='s.zarr', progress=None)"


@pytest.mark.parametrize("argv, closed, status", [
    (["-m", "vexolin", "chroma", "a4.wav", "-o", "x.npy"], 2, 0),
    (["-m", "vexolin", "cqt", "a4.wav", "--db", "-o", "x.npy"], 2, 0),
    (["-m", "vexolin", "batch", "a4.wav", "--out", "s.zarr"], 2, 0),
    (["-c", LIBRARY_BATCH], 2, 0),
    (["-m", "vexolin", "info", "a4.wav"], 1, 1),
    (["-m", "vexolin", "chroma", "a4.wav"], 1, 1),  # the text picture
], ids=["chroma 2>&-", "cqt 2>&-", "batch 2>&-", "batch.extract 2>&-", "info >&-", "text picture >&-"])
def test_a_stream_closed_before_the_run_does_the_work_or_fails_with_one_line(audio, argv, closed, status):
    # Started as `vexolin ... 2>&-` or `>&-`: without a standard error the work
    # is done unseen; a command whose output is standard output fails.
    done = subprocess.run(["sh", "-c", f'exec "$@" {closed}>&-', "sh", sys.executable, *argv], cwd=audio,
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, check=False, timeout=120)
    assert done.returncode == status, done.stderr
    if closed == 2:
        assert done.stdout == ""
        if "x.npy" in argv:
            y, sr = vexolin.load(audio / "a4.wav")
            want = (vexolin.amplitude_to_db(vexolin.cqt_magnitude(y, sr=sr), ref=np.max) if "cqt" in argv
                    else vexolin.chroma_cqt(y, sr=sr))
            np.testing.assert_allclose(np.load(audio / "x.npy"), want, rtol=1e-6, atol=1e-5)
        else:
            from vexolin import batch
            np.testing.assert_array_equal(batch.open(audio / "s.zarr")[str(audio / "a4.wav")],
                                          expected_chroma(audio / "a4.wav"))
    else:
        assert done.stderr.splitlines() == ["vexolin: error: standard output is closed, and this command's "
                                            "output goes there (give -o, or leave it open)"]


def test_help_shows_each_features_defaults(capsys):
    with pytest.raises(SystemExit):
        cli.main(["cqt", "--help"])
    text = " ".join(capsys.readouterr().out.split())
    assert "(default 84)" in text and "(default 12)" in text and "(default C1, 32.70 Hz)" in text


def test_key_prints_each_files_key_strength_and_tuning(tmp_path, capsys):
    t = np.arange(SR) / SR
    paths = []
    for name, notes, cents in (("c_major", (261.63, 329.63, 392.0), 0), ("a_minor", (220.0, 261.63, 329.63), 20)):
        tone = sum(np.sin(2 * np.pi * k * f * 2 ** (cents / 1200) * t) / k for f in notes for k in (1, 2, 3))
        soundfile.write(tmp_path / f"{name}.wav", 0.1 * tone, SR)
        paths.append(str(tmp_path / f"{name}.wav"))
    assert cli.main(["key", *paths, str(tmp_path / "missing.wav")]) == 1
    out, err = capsys.readouterr()
    lines = out.splitlines()
    assert lines[0].startswith(f"{paths[0]}: C major (strength 0.") and lines[0].endswith("tuning +0.00)")
    assert lines[1].startswith(f"{paths[1]}: A minor (strength 0.") and lines[1].endswith("tuning +0.20)")
    assert "missing.wav" in err


def test_npz_records_version_parameters_and_the_tuning_used(audio):
    target = audio / "out.npz"
    assert cli.main(["chroma", str(audio / "a4.wav"), "-o", str(target), "--norm", "2", "--tuning", "0.1"]) == 0
    saved = np.load(target)
    params = json.loads(str(saved["params"]))
    assert str(saved["vexolin"]) == vexolin.__version__ and float(saved["tuning"]) == 0.1
    assert params == {"feature": "chroma", "hop_length": 512, "fmin": vexolin.C1_HZ, "bins_per_octave": 36,
                      "n_octaves": 7, "n_chroma": 12, "tuning": 0.1, "filter_scale": 1.0, "norm": 2,
                      "threshold": 0.0, "cens": False, "sr": SR}
    y = vexolin.load(audio / "a4.wav")[0]
    np.testing.assert_allclose(saved["chroma"], vexolin.chroma_cqt(y, sr=SR, tuning=0.1, norm=2), rtol=1e-6)
    cens = audio / "cens.npy"
    assert cli.main(["chroma", str(audio / "a4.wav"), "-o", str(cens), "--cens", "-q"]) == 0
    np.testing.assert_allclose(np.load(cens), vexolin.chroma_cens(y, sr=SR), atol=1e-6)


@pytest.mark.parametrize("args, words", [
    (["chroma", "--tuning", "0.5"], ["--tuning", "semitone"]), (["chroma", "--norm", "3"], ["--norm"]),
    (["chroma", "--cens", "--norm", "1"], ["--cens"]),
    # cqt cannot estimate its tuning: "auto" must not quietly mean 0
    (["batch", "--out", "store.zarr", "--feature", "cqt", "--tuning", "auto"], ["--tuning auto", "number"])])
def test_bad_chroma_options_are_usage_errors(audio, capsys, args, words):
    with pytest.raises(SystemExit) as stopped:
        cli.main([args[0], str(audio / "a4.wav"), *args[1:]])
    assert stopped.value.code == 2
    err = capsys.readouterr().err
    assert all(w in err for w in words), err


def test_plots_carry_the_version_and_parameters(audio):
    from PIL import Image

    png = audio / "a4.png"
    assert cli.main(["cqt", str(audio / "a4.wav"), "--plot", str(png), "--tuning", "-0.2", "-q"]) == 0
    text = Image.open(png).text
    assert text["Software"] == f"vexolin {vexolin.__version__}"
    assert json.loads(text["Description"])["tuning"] == -0.2


@pytest.fixture
def latin1_names(tmp_path):
    """a.wav, b-\xe9.wav (a Latin-1 byte, not UTF-8, as copied from an older
    system) and c.wav; the odd one by its str name (surrogate-escaped)."""
    for name in (b"a.wav", b"b-\xe9.wav", b"c.wav"):
        soundfile.write(os.fsencode(tmp_path) + b"/" + name, np.sin(2 * np.pi * 440.0 * np.arange(SR) / SR), SR)
    return [os.fsdecode(os.fsencode(tmp_path) + b"/" + n) for n in (b"a.wav", b"b-\xe9.wav", b"c.wav")]


def test_a_file_name_that_is_not_utf8_works_in_the_package(latin1_names, tmp_path):
    odd = latin1_names[1]
    y, sr = vexolin.load(odd)
    assert (vexolin.info(odd).n_samples, sr) == (y.size, SR)
    missing = os.fsdecode(os.fsencode(tmp_path) + b"/gone-\xe9.wav")
    with pytest.raises(vexolin.AudioFileError) as error:
        vexolin.load(missing)
    assert error.value.path == missing


@pytest.mark.parametrize("command", ["chroma", "info", "batch"])
def test_a_file_name_that_is_not_utf8_works_on_the_command_line(latin1_names, tmp_path, capfdbinary, command):
    out = tmp_path / "out"
    args = {"chroma": ["chroma", *latin1_names, "-o", f"{out}/", "-q"],
            "info": ["info", *latin1_names],
            "batch": ["batch", str(tmp_path), "--out", str(out), "--workers", "1"]}[command]
    assert cli.main(args) == 0
    printed = capfdbinary.readouterr()
    if command == "chroma":
        assert sorted(os.listdir(os.fsencode(out))) == [b"a.chroma.npy", b"b-\xe9.chroma.npy", b"c.chroma.npy"]
        np.testing.assert_array_equal(np.load(os.fsencode(out) + b"/b-\xe9.chroma.npy"),
                                      expected_chroma(latin1_names[1]))
    elif command == "info":  # the name as its own bytes, as ls prints it
        assert [line.split(b":")[0] for line in printed.out.splitlines()] == list(map(os.fsencode, latin1_names))
    else:
        from vexolin import batch
        store = batch.open(out)
        assert [row["path"] for row in store.table()] == latin1_names  # round-trips, byte for byte
        np.testing.assert_array_equal(store[latin1_names[1]], expected_chroma(latin1_names[1]))
        assert b"3 computed" in printed.err


@pytest.mark.parametrize("sr", [None, 16000])
def test_streamed_chroma_estimates_the_tuning_as_the_package_does(tmp_path, monkeypatch, sr):
    from vexolin import _stream

    # Block edges that cut the estimate's frames; a tone 23 cents sharp whose loudness changes.
    monkeypatch.setattr(_stream, "BLOCK_FRAMES", 3001)
    t = np.arange(6 * SR) / SR
    a = 440.0 * 2 ** (0.23 / 12)
    swell = 0.3 + 0.7 * np.abs(np.sin(2 * np.pi * 0.4 * t))
    tone = swell * sum(np.sin(2 * np.pi * k * a * t) / k for k in range(1, 5))
    path = tmp_path / "sharp.wav"
    soundfile.write(path, 0.2 * tone + 0.01 * np.random.default_rng(3).standard_normal(len(t)), SR)
    options = ["-q"] if sr is None else ["-q", "--sr", str(sr)]
    assert cli.main(["chroma", str(path), "-o", str(tmp_path / "out.npy"), *options]) == 0
    assert cli.main(["chroma", str(path), "-o", str(tmp_path / "out.npz"), *options]) == 0
    y, rate = vexolin.load(path, sr=sr)
    tuning = vexolin.estimate_tuning(y, sr=rate)
    assert abs(tuning - 0.23) <= 0.03
    saved = np.load(tmp_path / "out.npz")
    assert float(saved["tuning"]) == tuning == json.loads(str(saved["params"]))["tuning"]
    assert str(saved["vexolin"]) == vexolin.__version__
    for values in (np.load(tmp_path / "out.npy"), saved["chroma"]):
        assert values.tobytes() == vexolin.chroma_cqt(y, sr=rate).tobytes()


@pytest.mark.parametrize("command", ["chroma", "key", "info"])
def test_a_folder_stands_for_the_audio_files_below_it_as_batch_finds_them(tmp_path, capsys, command):
    from vexolin.batch._inputs import find_inputs

    music = tmp_path / "music"
    for folder in (music / "sub", music / ".hidden", tmp_path / "empty"):
        folder.mkdir(parents=True)
    tone = np.sin(2 * np.pi * 440.0 * np.arange(SR) / SR)
    for path in (music / "a.wav", music / "sub" / "b.flac", music / ".hidden" / "c.wav"):
        soundfile.write(path, tone, SR)
    (music / "notes.txt").write_text("not audio")
    extra = {"chroma": ["-o", f"{tmp_path / 'out'}/", "-q"], "key": [], "info": []}[command]
    assert cli.main([command, str(music), str(tmp_path / "empty"), *extra]) == 1
    out, err = capsys.readouterr()
    listed = find_inputs(str(music))
    assert listed == [str(music / "a.wav"), str(music / "sub" / "b.flac")]
    assert f"{tmp_path / 'empty'}: the directory holds no audio files" in err
    if command == "chroma":
        assert sorted(os.listdir(tmp_path / "out")) == ["a.chroma.npy", "b.chroma.npy"]
        np.testing.assert_array_equal(np.load(tmp_path / "out" / "b.chroma.npy"), expected_chroma(listed[1]))
        assert err.splitlines()[-1] == "vexolin: 1 of 3 files failed"
    else:
        assert [line.split(":")[0] for line in out.splitlines()] == listed


def test_quiet_passages_are_dark_in_every_view(tmp_path, monkeypatch, capsys):
    from matplotlib.figure import Figure

    import vexolin.plot

    # Two seconds of a chord, then the same 60 dB down.
    t = np.arange(2 * SR) / SR
    chord = sum(np.sin(2 * np.pi * f * t) for f in (261.63, 329.63, 392.0)) / 3
    y = np.concatenate([chord, 1e-3 * chord]).astype(np.float32)
    path = tmp_path / "fade.wav"
    soundfile.write(path, y, SR, subtype="FLOAT")
    quiet = slice(90, None)  # frames of the quiet half, clear of the edge

    drawn = []
    chromagram = vexolin.plot.chromagram
    monkeypatch.setattr(vexolin.plot, "chromagram", lambda *a, **k: drawn.append(
        chromagram(*a, **k).get_images()[0].get_array()))
    pictures = []
    for options in ([], ["--norm", "2"]):  # streamed, and from the whole signal
        assert cli.main(["chroma", str(path), "--text", "--plot", str(tmp_path / "fade.png"), *options, "-q"]) == 0
        pictures.append(capsys.readouterr().out)
    assert pictures[0] == pictures[1]
    rows = [line.split("|")[1] for line in pictures[0].splitlines()[:-1]]
    columns = -(-y.size // 512 // 72)  # frames per column
    assert all(row[quiet.start // columns + 1:].strip() == "" for row in rows) and any(row.strip() for row in rows)
    sums = vexolin.chroma_cqt(y, sr=SR, norm=None)
    ax = chromagram(sums, sr=SR, ax=Figure().add_subplot())
    for image in [*drawn, ax.get_images()[0].get_array()]:
        assert (image[:, quiet] == 0).all() and image[:, :80].max() == 1.0
    with pytest.warns(UserWarning, match="scaled per frame"):  # the norm left no loudness to tell
        chromagram(vexolin.chroma_cqt(y, sr=SR), sr=SR, ax=Figure().add_subplot())


# The widened and the harmonic transforms are commands of their own; a
# harmonic result's rows are each harmonic's bins in turn, named for it.
@pytest.mark.parametrize("args, function, params", [
    (["vqt", "--gamma", "20", "--filter-scale", "1.2"], vexolin.vqt_magnitude, {"gamma": 20.0, "filter_scale": 1.2}),
    (["vqt", "--n-bins", "60"], vexolin.vqt_magnitude, {"n_bins": 60}),
    (["hcqt", "--harmonics", "0.5,1,3", "--n-bins", "48", "--bins-per-octave", "12", "--fmin", "55"],
     vexolin.hcqt_magnitude, {"harmonics": (0.5, 1, 3), "n_bins": 48, "bins_per_octave": 12, "fmin": 55.0}),
])
def test_variable_and_harmonic_transforms_write_their_rows_and_parameters(audio, args, function, params):
    target = audio / "out.npz"
    assert cli.main([*args, str(audio / "a4.wav"), "-o", str(target), "-q"]) == 0
    saved = np.load(target)
    y, sr = vexolin.load(audio / "a4.wav")
    want = function(y, sr=sr, **params)
    np.testing.assert_array_equal(saved[args[0]], want.reshape(-1, want.shape[-1]))
    stored = json.loads(str(saved["params"]))
    assert stored["feature"] == args[0] and len(saved["labels"]) == saved[args[0]].shape[0]
    for name, value in params.items():
        assert stored[name] == (list(map(float, value)) if isinstance(value, tuple) else value)
    if args[0] == "vqt" and "gamma" not in params:  # the ERB bands, recorded in hertz
        assert stored["gamma"] == pytest.approx(24.7 * (2 ** (1 / 6) - 1) / (2 ** (1 / 6) + 1) / 0.108)
    if args[0] == "hcqt":
        assert [str(label) for label in saved["labels"][[0, 48, 96]]] == ["h0.5 A0", "h1 A1", "h3 E3+2"]


PEAK_CHILD = """
import resource, subprocess, sys
subprocess.run([sys.executable, "-m", "vexolin", *sys.argv[1:]], check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024)
"""


def test_decibels_of_a_long_file_are_converted_in_blocks(tmp_path):
    # hcqt of 2 minutes: 43 MiB of frames. With --db the command's peak stays
    # within a few chunks' temporaries of its peak without, whatever the length.
    y = np.random.default_rng(2).uniform(-0.3, 0.3, 120 * SR).astype(np.float32)
    soundfile.write(tmp_path / "long.wav", y, SR)

    def peak(*options):
        done = subprocess.run([sys.executable, "-c", PEAK_CHILD, "hcqt", str(tmp_path / "long.wav"), "-q",
                               "-o", str(tmp_path / "h.npy"), *options], capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stderr
        return int(done.stdout)

    plain = peak()
    magnitudes = np.load(tmp_path / "h.npy")
    db = peak("--db")
    size = os.path.getsize(tmp_path / "h.npy")
    assert db < plain + 24 * 2**20, f"peak {db / 2**20:.0f} MiB with --db, {plain / 2**20:.0f} MiB without, " \
                                  f"output {size / 2**20:.0f} MiB"
    assert np.array_equal(np.load(tmp_path / "h.npy"), vexolin.amplitude_to_db(magnitudes, ref=np.max))
