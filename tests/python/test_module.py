"""The `_vexolin` module's face: its definition, signatures, argument intake,
result arrays and errors. Numeric agreement with the float64 reference lives in
test_reference.py."""

import ctypes
import importlib
import math
import os
import shutil
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import _vexolin

C1 = 32.70319566257483
FUNCTIONS = ("chroma_cqt", "cqt_magnitude", "cqt_complex")

# The published signature templates: in braces one parameter; @A@B@ is A where
# the type stands for a parameter and B where it stands for the result.
_ARRAY = "@typing.Annotated[numpy.typing.ArrayLike, @numpy.typing.NDArray[@numpy.float32]"
_FLOAT = "{@typing.SupportsFloat | typing.SupportsIndex@float@}"
_INT = "{@typing.SupportsInt | typing.SupportsIndex@int@}"
TEMPLATES = {
    "chroma_cqt": (
        ["y", "sr", "hop", "bins_per_octave", "n_octaves", "n_chroma", "fmin"],
        f"({{{_ARRAY}}}, {_FLOAT}, {_INT}, {_INT}, {_INT}, {_INT}, {_FLOAT}) -> {_ARRAY}",
    ),
    "cqt_magnitude": (
        ["y", "sr", "hop", "fmin", "n_bins", "bins_per_octave"],
        f"({{{_ARRAY}}}, {_FLOAT}, {_INT}, {_FLOAT}, {_INT}, {_INT}) -> {_ARRAY}",
    ),
    "cqt_complex": (
        ["y", "sr", "hop", "fmin", "n_bins", "bins_per_octave"],
        f"({{{_ARRAY}}}, {_FLOAT}, {_INT}, {_FLOAT}, {_INT}, {_INT}) -> "
        + _ARRAY.replace("float32", "complex64"),
    ),
}


def render(name, names, template):
    out, params, in_param, i = [name], iter(names), False, 0
    while i < len(template):
        ch = template[i]
        if ch == "{":
            out.append(next(params) + ": ")
            in_param = True
        elif ch == "}":
            in_param = False
        elif ch == "@":
            a_end = template.index("@", i + 1)
            b_end = template.index("@", a_end + 1)
            out.append(template[i + 1 : a_end] if in_param else template[a_end + 1 : b_end])
            i = b_end
        else:
            out.append(ch)
        i += 1
    return "".join(out)


def signal(n=11025, seed=0):
    rng = np.random.default_rng(seed)
    return rng.standard_normal(n).astype(np.float32)


def default_args(name, y):
    """Valid arguments of each function, by parameter name."""
    if name == "chroma_cqt":
        return dict(y=y, sr=22050.0, hop=256, bins_per_octave=24, n_octaves=5, n_chroma=12, fmin=55.0)
    return dict(y=y, sr=22050.0, hop=256, fmin=55.0, n_bins=60, bins_per_octave=12)


def call(name, **overrides):
    args = default_args(name, overrides.pop("y", signal()))
    args.update(overrides)
    return getattr(_vexolin, name)(**args)


# --- Module definition and import ---------------------------------------------


def test_module_exposes_exactly_the_three_functions_in_order():
    public = [k for k in vars(_vexolin) if not k.startswith("__")]
    assert public == list(FUNCTIONS)
    assert _vexolin.__doc__ is None
    assert not hasattr(_vexolin, "__version__")


@pytest.mark.parametrize("name", FUNCTIONS)
def test_docstring_is_the_rendered_signature_alone(name):
    names, template = TEMPLATES[name]
    doc = getattr(_vexolin, name).__doc__
    assert doc.startswith(render(name, names, template))
    assert doc.rstrip("\n") == render(name, names, template)


def test_reimport_after_removal_gives_the_identical_module():
    functions = [getattr(_vexolin, n) for n in FUNCTIONS]
    del sys.modules["_vexolin"]
    try:
        again = importlib.import_module("_vexolin")
    finally:
        sys.modules["_vexolin"] = _vexolin
    assert again is _vexolin
    assert [getattr(again, n) for n in FUNCTIONS] == functions


class _Slot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]


class _ModuleDef(ctypes.Structure):
    _fields_ = [
        ("ob_refcnt", ctypes.c_ssize_t), ("ob_type", ctypes.c_void_p),
        ("m_init", ctypes.c_void_p), ("m_index", ctypes.c_ssize_t), ("m_copy", ctypes.c_void_p),
        ("m_name", ctypes.c_char_p), ("m_doc", ctypes.c_char_p), ("m_size", ctypes.c_ssize_t),
        ("m_methods", ctypes.c_void_p), ("m_slots", ctypes.POINTER(_Slot)),
        ("m_traverse", ctypes.c_void_p), ("m_clear", ctypes.c_void_p), ("m_free", ctypes.c_void_p),
    ]


def test_entry_returns_a_multi_phase_definition_with_create_exec_and_no_subinterpreters():
    entry = ctypes.PyDLL(_vexolin.__file__).PyInit__vexolin
    entry.restype = ctypes.py_object
    definition = entry()
    assert type(definition).__name__ == "moduledef"
    d = _ModuleDef.from_address(id(definition))
    assert (d.m_name, d.m_doc, d.m_size, d.m_methods) == (b"_vexolin", None, 0, None)
    assert (d.m_traverse, d.m_clear, d.m_free) == (None, None, None)
    slots = []
    while d.m_slots[len(slots)].slot != 0:
        slots.append(d.m_slots[len(slots)])
    # Py_mod_create = 1, Py_mod_exec = 2, Py_mod_multiple_interpreters = 3 with
    # NOT_SUPPORTED (null); no Py_mod_gil (4).
    assert [s.slot for s in slots] == [1, 2, 3]
    assert slots[0].value and slots[1].value and slots[2].value is None


def test_isolated_subinterpreter_refuses_the_import():
    pytest.importorskip("_interpreters")
    # In a fresh process: the subinterpreter then shares it with no threads
    # left behind by other tests.
    code = (
        "import _interpreters\n"
        "interp = _interpreters.create('isolated')\n"
        "try:\n"
        "    failure = _interpreters.run_string(interp, 'import _vexolin')\n"
        "finally:\n"
        "    _interpreters.destroy(interp)\n"
        "print(failure.type.__name__ if failure else None)\n"
        "print(failure.msg if failure else '')\n")
    env = dict(os.environ, PYTHONPATH=":".join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    kind, message = done.stdout.splitlines()[:2]
    assert kind == "ImportError"
    assert "subinterpreters" in message


_FAKE_VERSION_C = r"""
#include <stdlib.h>
const char *Py_GetVersion(void) { return getenv("FAKE_PY_VERSION"); }
"""


@pytest.mark.skipif(shutil.which("cc") is None, reason="needs a C compiler")
def test_version_guard_accepts_only_3_13(tmp_path):
    # Interposes the interpreter's version string for the extension alone.
    source = tmp_path / "fake_version.c"
    source.write_text(_FAKE_VERSION_C)
    shim = tmp_path / "fake_version.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(shim), str(source)], check=True)

    def import_under(version):
        env = {"LD_PRELOAD": str(shim), "FAKE_PY_VERSION": version,
               "PYTHONPATH": ":".join(p for p in sys.path if p)}
        code = "try:\n import _vexolin\n print('ok')\nexcept ImportError as e:\n print(e)"
        done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
        return done.stdout.strip()

    assert import_under("3.13.5+ (fake)") == "ok"
    for version in ("3.12.4 (fake)", "3.130.1 (fake)"):
        assert import_under(version) == (
            "Python version mismatch: module was compiled for Python 3.13, "
            f"but the interpreter version is incompatible: {version}.")


# --- Argument intake ------------------------------------------------------------


@pytest.mark.parametrize("name", FUNCTIONS)
def test_positional_and_keywords_in_any_order_agree(name):
    args = default_args(name, signal())
    positional = getattr(_vexolin, name)(*args.values())
    for order in (reversed(list(args)), sorted(args)):
        keywords = {k: args[k] for k in order}
        np.testing.assert_array_equal(getattr(_vexolin, name)(**keywords), positional)
    # Mixed: the signal by position, the rest by keyword, in reverse order.
    rest = {k: args[k] for k in reversed(list(args)) if k != "y"}
    np.testing.assert_array_equal(getattr(_vexolin, name)(args["y"], **rest), positional)


def test_fmin_position_differs_between_chroma_and_cqt():
    y = signal()
    by_position = _vexolin.cqt_magnitude(y, 22050.0, 256, 110.0, 24, 12)
    np.testing.assert_array_equal(
        by_position, _vexolin.cqt_magnitude(y=y, sr=22050.0, hop=256, fmin=110.0, n_bins=24, bins_per_octave=12))
    np.testing.assert_array_equal(
        _vexolin.chroma_cqt(y, 22050.0, 256, 12, 2, 12, 110.0),
        _vexolin.chroma_cqt(y=y, sr=22050.0, hop=256, bins_per_octave=12, n_octaves=2, n_chroma=12, fmin=110.0))


@pytest.mark.parametrize("name", FUNCTIONS)
def test_missing_or_unknown_argument_is_a_type_error(name):
    args = default_args(name, signal(1000))
    for missing in args:
        with pytest.raises(TypeError, match=name):
            getattr(_vexolin, name)(**{k: v for k, v in args.items() if k != missing})
    with pytest.raises(TypeError):
        getattr(_vexolin, name)(**args, extra=1)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_int_parameters_take_only_32_bit_integers(name):
    int_names = [k for k, v in default_args(name, None).items() if type(v) is int]
    for param in int_names:
        value = default_args(name, None)[param]
        for bad in (float(value), 2**31, -(2**31) - 1, "12"):
            with pytest.raises(TypeError):
                call(name, y=signal(1000), **{param: bad})
        expected = call(name, y=signal(1000))
        for good in (np.int64(value), np.int32(value), np.uint16(value)):
            np.testing.assert_array_equal(call(name, y=signal(1000), **{param: good}), expected)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_float_parameters_accept_ints_and_numpy_scalars(name):
    expected = call(name, sr=22050.0, fmin=55.0)
    np.testing.assert_array_equal(call(name, sr=22050, fmin=55), expected)
    np.testing.assert_array_equal(call(name, sr=np.float32(22050), fmin=np.int16(55)), expected)
    with pytest.raises(TypeError):
        call(name, sr="22050")


@pytest.mark.parametrize("name", FUNCTIONS)
def test_any_array_like_is_read_as_float32_in_row_major_order(name):
    y64 = np.random.default_rng(1).standard_normal(4000)
    y32 = y64.astype(np.float32)
    expected = call(name, y=y32)
    np.testing.assert_array_equal(call(name, y=y64), expected)
    np.testing.assert_array_equal(call(name, y=y64.tolist()), expected)
    # Two rows are one signal: the first row followed by the second.
    for two_rows in (y32.reshape(2, 2000), np.asfortranarray(y32.reshape(2, 2000))):
        np.testing.assert_array_equal(call(name, y=two_rows), expected)
    # A strided view is read as the samples it shows.
    longer = np.repeat(y32, 2)
    np.testing.assert_array_equal(call(name, y=longer[::2]), expected)
    # A read-only array is fine: the samples are only read.
    frozen = y32.copy()
    frozen.flags.writeable = False
    np.testing.assert_array_equal(call(name, y=frozen), expected)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_unconvertible_signal_is_a_type_error(name):
    for bad in ("not audio", [1.0, [2.0, 3.0]], object()):
        with pytest.raises(TypeError, match=name):
            call(name, y=bad)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_fmin_not_above_zero_stands_for_c1(name):
    expected = call(name, fmin=C1)
    for fmin in (0.0, -3.5, math.nan, -math.inf):
        np.testing.assert_array_equal(call(name, fmin=fmin), expected)


# --- Results --------------------------------------------------------------------


@pytest.mark.parametrize("name, dtype, rows", [
    ("chroma_cqt", np.float32, 12), ("cqt_magnitude", np.float32, 60), ("cqt_complex", np.complex64, 60)])
def test_outputs_are_new_owning_c_contiguous_arrays(name, dtype, rows):
    y = signal(4410)
    out = call(name, y=y, hop=441)  # an odd hop: every octave at the full rate
    assert out.dtype == dtype and out.shape == (rows, 4410 // 441 + 1)
    assert out.flags.c_contiguous and out.flags.writeable and out.flags.owndata
    assert out.strides == (out.shape[1] * out.itemsize, out.itemsize)
    keep = out.copy()
    out[...] = 7
    np.testing.assert_array_equal(call(name, y=y, hop=441), keep)


def test_empty_signal_gives_one_frame_per_row():
    empty = np.zeros(0, np.float32)
    assert call("cqt_magnitude", y=empty).shape == (60, 1)
    assert call("cqt_complex", y=empty).shape == (60, 1)
    assert call("chroma_cqt", y=empty).shape == (12, 1)


def test_complex_magnitudes_are_the_magnitude_result():
    y = signal(22050, seed=3)
    complex_ = _vexolin.cqt_complex(y, 22050.0, 512, 0.0, 84, 12)
    magnitude = _vexolin.cqt_magnitude(y, 22050.0, 512, 0.0, 84, 12)
    assert complex_.shape == magnitude.shape
    eps = np.finfo(np.float32).eps
    np.testing.assert_allclose(np.abs(complex_), magnitude, rtol=2 * eps, atol=magnitude.max() * eps)


# --- Errors ---------------------------------------------------------------------

CQT_DOMAIN = [
    ("hop", 0), ("hop", -512), ("n_bins", 1), ("n_bins", -3), ("bins_per_octave", 0),
    ("bins_per_octave", -12), ("sr", 0.0), ("sr", -22050.0), ("sr", math.nan), ("sr", math.inf),
]
CHROMA_DOMAIN = [
    ("hop", 0), ("sr", math.nan), ("bins_per_octave", 0), ("n_octaves", 0), ("n_octaves", -1),
    ("n_chroma", 0), ("n_chroma", 25), ("n_chroma", -12),
]


@pytest.mark.parametrize("name, param, value",
                         [("chroma_cqt", p, v) for p, v in CHROMA_DOMAIN]
                         + [(n, p, v) for n in FUNCTIONS[1:] for p, v in CQT_DOMAIN])
def test_parameters_outside_the_domain_are_value_errors(name, param, value):
    with pytest.raises(ValueError) as raised:
        call(name, **{param: value})
    message = str(raised.value)
    assert param in message
    assert str(value) in message or f"{value:g}" in message


def test_chroma_bin_count_must_fit_and_be_at_least_two():
    with pytest.raises(ValueError, match=r"n_octaves \* bins_per_octave.*2147483647.*1073741824 \* 4"):
        call("chroma_cqt", n_octaves=2**30, bins_per_octave=4, n_chroma=4)
    with pytest.raises(ValueError, match=r"n_octaves \* bins_per_octave must be >= 2"):
        call("chroma_cqt", n_octaves=1, bins_per_octave=1, n_chroma=1)


def test_signal_of_2_to_the_31_samples_is_a_value_error(tmp_path):
    # A sparse file mapped as a C-contiguous float32 array: no copy is made and
    # the check comes before any sample is read.
    huge = np.memmap(tmp_path / "huge.f32", dtype=np.float32, mode="w+", shape=(2**31,))
    try:
        for name in FUNCTIONS:
            with pytest.raises(ValueError, match="2147483648"):
                call(name, y=huge)
    finally:
        del huge


def test_transform_larger_than_memory_is_a_memory_error_and_the_module_still_works():
    y = signal(2**20)
    # hop 1 on a million samples at 1200 bins per octave: about 120 GB of result.
    with pytest.raises(MemoryError, match="memory"):
        _vexolin.cqt_magnitude(y, 22050.0, 1, 0.0, 7200, 1200)
    with pytest.raises(MemoryError):
        _vexolin.cqt_complex(y, 22050.0, 1, 0.0, 7200, 1200)
    with pytest.raises(MemoryError):
        _vexolin.chroma_cqt(y, 22050.0, 1, 1200, 6, 12, 0.0)
    assert _vexolin.cqt_magnitude(y[:4096], 22050.0, 512, 0.0, 84, 12).shape == (84, 9)


# --- Threads ----------------------------------------------------------------------


def test_other_python_threads_run_during_a_call():
    # The call runs on a second thread while this one sleeps briefly: with the
    # lock released it wakes early in the call, with the lock held only once
    # the call has returned.
    y = signal(22050 * 60, seed=5)
    entering = threading.Event()
    span = []

    def call():
        entering.set()
        started = time.monotonic()
        _vexolin.cqt_magnitude(y, 22050.0, 32, 0.0, 480, 60)
        span.extend((started, time.monotonic()))

    worker = threading.Thread(target=call)
    worker.start()
    entering.wait()
    time.sleep(0.05)
    woke = time.monotonic()
    worker.join()
    started, ended = span
    assert woke < started + 0.5 * (ended - started)


def test_concurrent_calls_match_serial_calls():
    signals = [signal(22050, seed=s) for s in range(6)]
    serial = [_vexolin.cqt_complex(y, 22050.0, 256, 0.0, 72, 12) for y in signals]
    results = [None] * len(signals)

    def run(i):
        results[i] = _vexolin.cqt_complex(signals[i], 22050.0, 256, 0.0, 72, 12)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(signals))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for got, want in zip(results, serial):
        np.testing.assert_array_equal(got, want)
