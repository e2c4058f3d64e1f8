"""Property of the module's face, whatever the caller passes: every call either
returns a 2-D array of the right shape and type, finite wherever the samples
are finite, or raises ValueError, TypeError or MemoryError. Nothing else."""

import math
import os
import warnings

import numpy as np
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import _vexolin
import reference as ref

settings.register_profile(
    "vexolin", max_examples=300, deadline=None, derandomize="CI" in os.environ,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
settings.load_profile("vexolin")

ALLOWED_ERRORS = (ValueError, TypeError, MemoryError)
# Finite samples above this may overflow float32 arithmetic; that is the caller's.
SAMPLE_LIMIT = 2.0**100  # about 1.3e30
# Rough work of one call (FFT points x log2 size) that takes well under 0.1 s.
WORK_BUDGET = 1e7
PHYSICAL_MEMORY = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")

NAN, INF = math.nan, math.inf


def edge(ordinary, *outside):
    """Mostly ordinary values, a fifth of the time one from outside the range."""
    return st.one_of(ordinary, ordinary, ordinary, ordinary, st.sampled_from(outside))


# Ordinary values, and those just outside each range, extremes and wrong types.
SR = edge(st.floats(100.0, 96000.0) | st.floats(0.5, 100.0),
          0.0, -0.0, -1.0, -22050.0, NAN, INF, -INF, 5e-324, 1e-80, 1e300, 1.7976931348623157e308, 22050,
          "22050")
HOP = edge(st.integers(1, 2048), 0, -1, -512, 2**31 - 1, -2**31, 2**31, 512.0, np.int16(64))
FMIN = edge(st.floats(1.0, 5000.0) | st.floats(1e-3, 1.0),
            0.0, -0.0, -1.0, -55.0, NAN, INF, -INF, 5e-324, 1e-300, 1e300, 1.7976931348623157e308)
N_BINS = edge(st.integers(2, 120), 1, 0, -3, 2**31 - 1, -2**31, 2**31, 1000, 12.0)
BINS_PER_OCTAVE = edge(st.integers(1, 48), 0, -1, 2**31 - 1, -2**31, 2**31, 1200, 100000, 12.0)
N_OCTAVES = edge(st.integers(1, 10), 0, -1, 2**30, 2**31 - 1, 2**31, 500)


@st.composite
def n_chromas(draw, bins_per_octave):
    """Between 1 and bins_per_octave, or just outside."""
    top = bins_per_octave if isinstance(bins_per_octave, int) and 1 <= bins_per_octave <= 48 else 12
    return draw(edge(st.integers(1, top), 0, -1, top + 1, 2**31 - 1, 2**31))


DTYPES = [np.float16, np.float32, np.float64, np.int8, np.int16, np.int32, np.int64, np.uint8,
          np.bool_, np.complex64, np.complex128, object, np.str_]


@st.composite
def signals(draw):
    """Arrays of any dimension (0-3), dtype and stride, mostly finite."""
    dtype = draw(st.sampled_from(DTYPES))
    shape = draw(st.one_of(st.just(()), hnp.array_shapes(min_dims=1, max_dims=1, min_side=0, max_side=3000),
                           hnp.array_shapes(min_dims=2, max_dims=3, min_side=0, max_side=20)))
    if dtype in (np.float32, np.float64, np.complex64, np.complex128):
        bound = draw(st.sampled_from([1.0, 2.0**14, 2.0**99]))
        width = np.dtype(dtype).itemsize * 8
        elements = (st.complex_numbers(max_magnitude=bound, allow_nan=False, allow_infinity=False, width=width)
                    if np.dtype(dtype).kind == "c" else st.floats(-bound, bound, width=width))
    elif dtype is object:
        elements = st.one_of(st.floats(-1e6, 1e6), st.integers(-2**40, 2**40), st.none())
    elif dtype is np.str_:
        elements = st.one_of(st.floats(-1e6, 1e6).map(repr), st.sampled_from(["", "x", "nan", "1e40"]))
    elif dtype is np.float16:
        elements = st.floats(-65504, 65504, width=16)
    else:
        elements = None  # integers and bool: anything the dtype holds
    y = draw(hnp.arrays("U32" if dtype is np.str_ else np.dtype(dtype), shape, elements=elements))
    if y.size and draw(st.integers(0, 9)) == 0 and y.dtype.kind in "fc":
        y.flat[draw(st.integers(0, y.size - 1))] = draw(st.sampled_from([NAN, INF, -INF]))
    view = draw(st.sampled_from(["as is", "every other", "reversed", "transposed"]))
    if view == "every other" and y.ndim:
        y = y[::2]
    elif view == "reversed" and y.ndim:
        y = y[::-1]
    elif view == "transposed":
        y = y.T
    return y


def as_samples(y):
    """The float32 samples the module reads, or None where the cast fails."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return np.array(y, dtype=np.float32).reshape(-1)
        except (TypeError, ValueError):
            return None


def as_int(value):
    """An int argument as the module reads it; None where it is refused."""
    if isinstance(value, (int, np.integer)) and not isinstance(value, bool) and -2**31 <= value < 2**31:
        return int(value)
    return None


def plan_and_work(n_samples, sr, hop, fmin, n_bins, bins_per_octave):
    """The reference frame plan (None where it cannot be made) and the rough
    work of the call up to the first octave the engine refuses."""
    if not isinstance(sr, (int, float)) or None in (hop, n_bins, bins_per_octave):
        return None, 0.0  # refused by argument intake
    if n_bins > 20000:  # too many to plan here: fine only if refused for want of memory
        return None, 0.0 if 24.0 * n_bins > PHYSICAL_MEMORY else math.inf
    try:
        with np.errstate(all="ignore"):
            plan = ref.cqt_plan(n_samples, sr, hop, fmin, n_bins, bins_per_octave)
    except (ValueError, OverflowError, ZeroDivisionError):
        return None, 0.0
    work = 0.0
    with np.errstate(all="ignore"):
        for start, end, rate, h, length in plan.octaves:
            lengths, _ = ref.filter_lengths(plan.freqs[start:end], plan.alpha[start:end], rate)
            if not (np.all(np.isfinite(lengths)) and lengths.max() <= 2**30):
                break
            n_fft = ref.fft_length(lengths)
            if n_fft > 2**26:
                break
            work += (end - start + length // h + 1) * n_fft * math.log2(n_fft)
    return plan, work


def check(name, y, args, rows, n_bins):
    """Calls the function and checks the property; args follow y in call order."""
    sr, hop = args[0], args[1]
    fmin = args[5] if name == "chroma_cqt" else args[2]
    bpo = args[2] if name == "chroma_cqt" else args[4]
    samples = as_samples(y)
    n_samples = samples.size if samples is not None else np.asarray(y, dtype=object).size
    plan, work = plan_and_work(n_samples, sr, as_int(hop), fmin, n_bins, as_int(bpo))
    assume(work <= WORK_BUDGET)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            out = getattr(_vexolin, name)(y, *args)
        except ALLOWED_ERRORS:
            return
    assert out.dtype == (np.complex64 if name == "cqt_complex" else np.float32)
    assert out.ndim == 2 and out.shape[0] == rows
    assert (out.shape[1] == plan.n_frames) if plan is not None else (out.shape[1] >= 1)
    if samples is not None and np.all(np.abs(samples) < SAMPLE_LIMIT):
        bad_rows = int((~np.isfinite(out)).any(axis=1).sum())
        assert bad_rows == 0, f"{bad_rows} of {rows} rows not finite from finite samples"


@given(y=signals(), sr=SR, hop=HOP, fmin=FMIN, n_bins=N_BINS, bins_per_octave=BINS_PER_OCTAVE,
       name=st.sampled_from(["cqt_magnitude", "cqt_complex"]))
def test_cqt_returns_a_sound_array_or_a_clear_error(y, sr, hop, fmin, n_bins, bins_per_octave, name):
    check(name, y, (sr, hop, fmin, n_bins, bins_per_octave), n_bins, as_int(n_bins))


@given(y=signals(), sr=SR, hop=HOP, bins_per_octave=BINS_PER_OCTAVE, n_octaves=N_OCTAVES, fmin=FMIN,
       data=st.data())
def test_chroma_returns_a_sound_array_or_a_clear_error(y, sr, hop, bins_per_octave, n_octaves, fmin, data):
    n_chroma = data.draw(n_chromas(bins_per_octave), label="n_chroma")
    n_octaves_, bins_per_octave_ = as_int(n_octaves), as_int(bins_per_octave)
    n_bins = None if None in (n_octaves_, bins_per_octave_) else n_octaves_ * bins_per_octave_
    check("chroma_cqt", y, (sr, hop, bins_per_octave, n_octaves, n_chroma, fmin), n_chroma, n_bins)
