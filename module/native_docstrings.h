// The docstrings of `vexolin._native`, in reStructuredText: the API page's
// section on the module is made from them (tools/native_docs.py), and a test
// checks that the committed page is what they make. `_vexolin` has none.
#pragma once

namespace morvat::vexolin::docs {

inline constexpr const char* module = R"doc(The package's private native module, over the same engine and its caches (one
shared library, so the kernels one module built serve the other). It is what
the package calls; its face may change between versions. Every transform the
package computes crosses into it as one :class:`Transform`, made by keyword
and checked once, taken by one call, :func:`compute`, and one stream,
:class:`Stream`. Against :mod:`_vexolin` a call takes the thread count as an
argument instead of reading ``VEXOLIN_THREADS``, and an optional
:class:`Cancel` token through which the package stops calls running on its
own threads (Ctrl-C reaches only the main thread).
``python/vexolin/_native.pyi`` types it.)doc";

inline constexpr const char* cancel = R"doc(A cancellation token for the calls of :mod:`vexolin._native`. Raising it
stops every call that was given it within a block of work, with
:class:`Cancelled`; a token stays raised.

>>> import numpy as np
>>> from vexolin import _native
>>> token = _native.Cancel()
>>> token.cancelled
False
>>> token.cancel()
>>> cqt = _native.Transform(hop=512, fmin=32.70319566257483, n_bins=84, bins_per_octave=12)
>>> try:
...     _native.compute(cqt, np.zeros(22050, np.float32), 22050, 1, token)
... except _native.Cancelled:
...     print("cancelled")
cancelled)doc";

inline constexpr const char* cancel_cancel = "Raises the token.";

inline constexpr const char* cancel_cancelled = "Whether the token has been raised.";

inline constexpr const char* cancelled = R"doc(Raised by a call whose :class:`Cancel` token was raised. The package turns
it back into the :class:`KeyboardInterrupt` that caused it.)doc";

inline constexpr const char* transform = R"doc(One transform: bin ``k`` at ``fmin * 2**(k / bins_per_octave)`` Hz
(``fmin`` a finite number of hertz above 0), frames ``hop`` samples apart.
``filter_scale`` (> 0) scales every filter's length and ``gamma`` (>= 0
Hz) widens every bin's bandwidth ``alpha * f`` by that many hertz (the
variable-Q transform): bin k's filter is ``filter_scale * sr / (alpha *
f_k + gamma)`` samples long; 1.0 and 0.0 give :mod:`_vexolin`'s results
bit for bit. With ``harmonics``, one channel per harmonic ``h``, the
transform from ``h * fmin``, computed together (the channels share the
halved signals and every frame they read alike). ``output`` is
``"complex"`` (complex64), ``"magnitude"`` (float32), ``"chroma"`` (the
magnitudes of whole octaves folded onto ``n_chroma`` pitch classes, each
frame scaled so its largest value is 1, as :func:`_vexolin.chroma_cqt`)
or ``"chroma_sums"`` (the same sums before the scaling: the package builds
its other norms, its threshold and CENS on these). Values no rate can make
sound raise :class:`ValueError` naming the parameter; what depends on the
rate (the Nyquist limit, filter lengths) is checked when a call plans, or
by :meth:`check`. Its arguments are read-only attributes.

>>> from vexolin import _native
>>> t = _native.Transform(hop=512, fmin=55.0, n_bins=36, bins_per_octave=12, harmonics=[1, 2])
>>> t.harmonics, t.output
([1.0, 2.0], 'magnitude'))doc";

inline constexpr const char* transform_check = R"doc(Every check a call at rate ``sr`` makes before any work, the top bin
against the Nyquist limit among them.)doc";

inline constexpr const char* compute = R"doc(``transform`` of the signal ``y`` at rate ``sr``, read as
:mod:`_vexolin` reads it: an array of shape ``(n_bins, n_frames)``,
``(len(harmonics), n_bins, n_frames)`` or ``(n_chroma, n_frames)``.
``threads`` is the call's whole thread budget (at least 1; 1 keeps the
call on the calling thread); results are the same for every count.
``cancel`` is a :class:`Cancel` token or None: when the token is raised
the call stops within a block of work and raises :class:`Cancelled`.
Channel ``i`` of a harmonic transform equals the transform from
``harmonics[i] * fmin`` bit for bit, on the frames every channel has; a
harmonic whose top bin reaches the Nyquist limit is refused with a
:class:`ValueError` naming it.

>>> import numpy as np
>>> import _vexolin
>>> from vexolin import _native
>>> y = np.random.default_rng(1).standard_normal(3 * 22050).astype(np.float32)
>>> cqt = _native.Transform(hop=512, fmin=32.70319566257483, n_bins=84, bins_per_octave=12)
>>> one = _native.compute(cqt, y, 22050, 1)
>>> np.array_equal(one, _native.compute(cqt, y, 22050, 2))
True
>>> np.array_equal(one, _vexolin.cqt_magnitude(y, 22050, 512, 0.0, 84, 12))
True
>>> both = _native.Transform(hop=512, fmin=55.0, n_bins=36, bins_per_octave=12, harmonics=[1, 2])
>>> H = _native.compute(both, y, 22050, 1)
>>> second = _native.Transform(hop=512, fmin=110.0, n_bins=36, bins_per_octave=12)
>>> H.shape, np.array_equal(H[1], _native.compute(second, y, 22050, 1))
((2, 36, 130), True)
>>> sums = _native.Transform(hop=512, fmin=32.70319566257483, n_bins=7 * 36, bins_per_octave=36,
...                          output="chroma_sums")
>>> folded = _native.compute(sums, y, 22050, 1)
>>> bool(np.allclose(folded / folded.max(axis=0), _vexolin.chroma_cqt(y, 22050, 512, 36, 7, 12, 0.0),
...                  rtol=1e-6))
True)doc";

inline constexpr const char* default_threads = R"doc(The thread count :mod:`_vexolin` would use for a call now: ``VEXOLIN_THREADS``
if it is set to a valid count, else the number of CPUs. The package's
``workers=None`` means this.

>>> from vexolin import _native
>>> _native.default_threads() >= 1
True)doc";

inline constexpr const char* chroma_rows = R"doc(The pitch-class row every bin folds into (int32, -1 for none), as the
native chroma folds them: the one rule the package's folding of given
magnitudes reads.

>>> from vexolin import _native
>>> _native.chroma_rows(24, 12, 12, 55.0)[:3].tolist()  # bins from A
[9, 10, 11])doc";

inline constexpr const char* stream = R"doc(One channel's stream of ``transform`` at rate ``sr``: its frames, laid
side by side, equal :func:`compute` on the whole signal bit for bit.
``frames_at_once`` is 16 (frames come out in the engine's groups) or 1
(each as soon as it is complete). :class:`vexolin.Stream` holds one per
channel and adds keywords, channels and checks; pushes run without the
interpreter lock, Ctrl-C stops a long one, and a stream takes one block
at a time.

>>> import numpy as np
>>> import _vexolin
>>> from vexolin import _native
>>> y = np.random.default_rng(3).standard_normal(22050).astype(np.float32)
>>> s = _native.Stream(_native.Transform(hop=512, fmin=32.70319566257483, n_bins=84, bins_per_octave=12),
...                    22050, 16)
>>> parts = [s.push(y[i:i + 1000], True) for i in range(0, len(y), 1000)] + [s.finish()]
>>> np.array_equal(np.concatenate(parts, axis=1), _vexolin.cqt_magnitude(y, 22050, 512, 0.0, 84, 12))
True
>>> s.n_rows, s.pushed, s.finished, s.latency_samples
(84, 22050, True, 17825))doc";

inline constexpr const char* stream_push = R"doc(Takes a block of samples and returns the frames it completed, an array
of shape ``(n_rows, k)`` with ``k >= 0``.)doc";

inline constexpr const char* stream_finish = R"doc(Ends the signal (padded at its end as the functions pad it) and returns
the remaining frames. Pushing after it raises :class:`RuntimeError`.)doc";

inline constexpr const char* stream_push_channels = R"doc(Every channel's stream takes its row of ``rows`` (one row per stream):
the frames of all, of shape ``(len(streams), n_rows, k)``, are taken once
every channel has computed them.)doc";

inline constexpr const char* stream_take_channels = R"doc(Every channel's stream takes its row of ``rows`` whole without computing,
as an interrupted push does: the frames come with the next push or finish.)doc";

inline constexpr const char* stream_finish_channels = R"doc(Every channel's :meth:`finish`, the frames of all of shape
``(len(streams), n_rows, k)``; interrupted, the streams keep what they
computed, and a second call returns it all.)doc";

inline constexpr const char* stream_latency_samples = "Samples that must be in before the first frames come out.";
inline constexpr const char* stream_n_rows = "Rows of every frame: bins, or pitch classes.";
inline constexpr const char* stream_frames_at_once = "16 or 1, as made.";
inline constexpr const char* stream_pushed = "Samples pushed so far.";
inline constexpr const char* stream_finished = "Whether :meth:`finish` has been called.";

inline constexpr const char* match_estimator = R"doc(The estimates :func:`vexolin.match` prunes with: at every position of a
file's matching rows, each query variant's best score over the semitone
``shifts`` (each -11 to 11, distinct modulo 12), as correlations over time
and pitch class through float32 FFTs of ``block`` rows (a power of two;
overlap-save). ``variants`` are the query at each tempo, unshifted, as
``frames x 12`` arrays; a correlation of ``m`` frames is divided by ``m *
unit``. The variants' spectra are made once per transform size and kept.
An estimate differs from the exact score by a float32 FFT's rounding: of
the order of ``2**-24 * log2(12 * size) * sqrt(size / m)``.

>>> import numpy as np
>>> from vexolin import _native
>>> rows = np.zeros((100, 12), np.int16)
>>> rows[40:45, 3] = 1
>>> query = np.zeros((5, 12), np.float32)
>>> query[:, 1] = 1
>>> e = _native.MatchEstimator(variants=[query], shifts=[0, 2], unit=1.0, block=4096)
>>> best = e.estimate(rows=rows)
>>> best.shape, int(best[0].argmax()), round(float(best[0].max()), 4)
((1, 100), 40, 1.0)
>>> bool(np.isinf(best[0, 96:]).all())
True)doc";

inline constexpr const char* match_estimator_estimate = R"doc(The estimates over ``rows``, an int16 array of shape ``(n, 12)``: a
float32 array ``(n_variants, n)``, ``-inf`` where a variant does not fit.
Runs without the interpreter lock; Ctrl-C on the main thread, or a raised
``cancel`` token, stops it within a block.)doc";

inline constexpr const char* match_estimator_size_for = R"doc(The transform size for ``n`` rows: ``block`` (or the power of two of 4
times the longest variant, when more), or the power of two that holds a
shorter file, but at least twice the longest variant.)doc";

inline constexpr const char* match_estimator_n_variants = "The query variants, as made.";

}  // namespace morvat::vexolin::docs
