"""Audio files: reading through libsndfile (soundfile) and resampling with
soxr."""

from __future__ import annotations

import contextlib
import math
import os
import stat
from collections.abc import Iterator
from dataclasses import dataclass
from typing import IO

import numpy as np
import numpy.typing as npt
import soundfile  # type: ignore[import-untyped]
import soxr  # type: ignore[import-untyped]

from vexolin._cancel import stop_if_cancelled
from vexolin._checks import refuses_foreign_keywords, whole_number
from vexolin._docs import fill

# The largest rate a FLAC header can hold (2^20 - 1), above every audio
# interface's (768 kHz at most) and ultrasonic recorders' (up to about 1 MHz).
# A WAV header holds up to 2^31 - 1, and a damaged one that big makes a
# transform build kernels for minutes; libsndfile itself refuses rates below 1.
MAX_SAMPLE_RATE = 1_048_575


class AudioFileError(OSError):
    """An audio file is missing, is not a regular file, or cannot be decoded.

    An ``OSError``; ``str()`` gives the path and the reason.

    Parameters
    ----------
    path : str
        The file, kept as ``path``.
    reason : str
        What went wrong, kept as ``reason``.

    Examples
    --------
    >>> import vexolin
    >>> try:
    ...     vexolin.load("no-such-file.wav")
    ... except vexolin.AudioFileError as e:
    ...     error = e
    >>> error.path, isinstance(error, OSError)
    ('no-such-file.wav', True)
    >>> str(error) == f"{error.path}: {error.reason}"
    True
    """

    def __init__(self, path: str, reason: str) -> None:
        super().__init__(f"{path}: {reason}")
        self.path = path
        self.reason = reason


@dataclass(frozen=True)
class AudioInfo:
    """What the header of an audio file says, as :func:`info` reads it.

    Each argument below is kept as the attribute of its name.

    Parameters
    ----------
    path : str
        The file.
    sr : int
        Sample rate in Hz.
    channels : int
        Number of channels.
    n_samples : int
        Samples per channel.
    format : str
        The container, as libsndfile names it (``"WAV"``, ``"FLAC"``).
    subtype : str
        The sample encoding (``"PCM_16"``, ``"FLOAT"``).

    Examples
    --------
    >>> import vexolin
    >>> about = vexolin.AudioInfo("song.flac", 44100, 2, 441000, "FLAC", "PCM_24")
    >>> about.duration, about.channels
    (10.0, 2)
    """

    path: str
    sr: int
    channels: int
    n_samples: int  # per channel
    format: str
    subtype: str

    @property
    def duration(self) -> float:
        """Length in seconds: ``n_samples / sr``.

        Examples
        --------
        >>> import vexolin
        >>> vexolin.AudioInfo("a.wav", 8000, 1, 12000, "WAV", "PCM_16").duration
        1.5
        """
        return self.n_samples / self.sr


# What a path that is not a regular file is, by the type bits of its mode.
_NOT_REGULAR = {stat.S_IFDIR: "is a directory, not an audio file",
                stat.S_IFIFO: "is a named pipe (FIFO), not a regular file",
                stat.S_IFSOCK: "is a socket, not a regular file",
                stat.S_IFCHR: "is a character device, not a regular file",
                stat.S_IFBLK: "is a block device, not a regular file"}
# libsndfile's code for a header it does not know; the same bytes read
# through its MPEG decoder (a .mp3 name) get "does not exist" instead.
_SF_ERR_UNRECOGNISED_FORMAT = 1
_NOT_A_FORMAT = "not a readable audio file (not an audio format this build reads)"


def open_audio(path: str | os.PathLike[str]) -> tuple[str, soundfile.SoundFile]:
    """The file's name and the open file, refused with the reason as :func:`load` refuses it."""
    name = os.fspath(path)
    _check_regular_and_readable(name)
    try:
        f = soundfile.SoundFile(os.fsencode(name))  # bytes: a name that is not UTF-8 stays as it is
    except soundfile.LibsndfileError as e:
        raise AudioFileError(name, _libsndfile_reason(e)) from None
    except TypeError:  # libsndfile asks a headerless .raw file for its rate and layout
        raise AudioFileError(name, "not a readable audio file (headerless raw samples: "
                                   "not an audio format this build reads)") from None
    except OSError as e:
        raise AudioFileError(name, e.strerror or str(e)) from None
    _refuse_damaged_rate(name, f)
    return name, f


def _check_regular_and_readable(name: str) -> None:
    """Refuse, with the reason, what libsndfile would misreport: a missing
    or unreadable file, one that is not a regular file (opening a FIFO would
    wait for a writer), and an empty one."""
    try:
        about = os.stat(name)
    except FileNotFoundError:
        raise AudioFileError(name, "no such file") from None
    except OSError as e:
        raise AudioFileError(name, e.strerror or str(e)) from None
    kind = stat.S_IFMT(about.st_mode)
    if kind != stat.S_IFREG:
        raise AudioFileError(name, _NOT_REGULAR.get(kind, "is not a regular file"))
    if about.st_size == 0:
        raise AudioFileError(name, "is empty (0 bytes)")
    try:
        os.close(os.open(name, os.O_RDONLY))
    except OSError as e:
        raise AudioFileError(name, e.strerror or str(e)) from None


def _libsndfile_reason(e: soundfile.LibsndfileError) -> str:
    if e.code == _SF_ERR_UNRECOGNISED_FORMAT or "does not exist" in e.error_string:
        return _NOT_A_FORMAT
    return f"not a readable audio file ({e.error_string.rstrip('.')})"


def _refuse_damaged_rate(name: str, f: soundfile.SoundFile) -> None:
    if f.samplerate > MAX_SAMPLE_RATE:
        f.close()
        raise AudioFileError(name, f"damaged header: a sample rate of {f.samplerate} Hz "
                                   f"(real recordings go up to {MAX_SAMPLE_RATE} Hz)")


def _target_rate(sr: object) -> int | None:
    """The rate to resample to (None: the file's own), checked."""
    if sr is None:
        return None
    rate = whole_number("sr", sr)
    # Beyond any audio format's rate, resampling would only make gigabytes.
    if rate > MAX_SAMPLE_RATE:
        raise ValueError(f"sr must be at most {MAX_SAMPLE_RATE} Hz (the highest rate audio files hold), got {sr!r}")
    return rate


def info(path: str | os.PathLike[str]) -> AudioInfo:
    """Read the header of an audio file.

    Parameters
    ----------
    path : str or os.PathLike
        The audio file.

    Returns
    -------
    AudioInfo
        Its rate, channels, samples per channel, format and subtype.

    Raises
    ------
    AudioFileError
        The file is missing, a directory, not audio that libsndfile reads, or
        its header gives a sample rate above 1048575 Hz (damaged).

    Examples
    --------
    >>> import os, tempfile
    >>> import numpy as np, soundfile, vexolin
    >>> path = os.path.join(tempfile.mkdtemp(), "two.wav")
    >>> soundfile.write(path, np.zeros((16000, 2)), 8000)
    >>> about = vexolin.info(path)
    >>> about.sr, about.channels, about.n_samples, about.duration, about.subtype
    (8000, 2, 16000, 2.0, 'PCM_16')
    """
    name, f = open_audio(path)
    with f:
        return AudioInfo(name, f.samplerate, f.channels, f.frames, f.format, f.subtype)


@refuses_foreign_keywords
@fill
def load(
    path: str | os.PathLike[str],
    *,
    sr: int | None = None,
    mono: bool = True,
    offset: float = 0.0,
    duration: float | None = None,
) -> tuple[npt.NDArray[np.float32], int]:
    """Read an audio file (WAV, FLAC, OGG, MP3 and whatever else libsndfile reads).

    Parameters
    ----------
    path : str or path-like
        The file.
    sr : int or None
        Resample to this rate in Hz (with soxr); None keeps the file's rate.
    %(mono)s
    offset : float
        Start reading this many seconds into the file.
    duration : float or None
        Read at most this many seconds; None reads to the end.

    Returns
    -------
    y : ndarray of float32
        Shape (n_samples,) when ``mono``, else (n_channels, n_samples).
    sr : int
        The sample rate of ``y``.

    Raises
    ------
    AudioFileError
        The file is missing, a directory, cannot be decoded, or its header
        gives a sample rate above 1048575 Hz (damaged).
    ValueError
        ``sr``, ``offset`` or ``duration`` is out of range.

    Examples
    --------
    >>> import os, tempfile
    >>> import numpy as np, soundfile, vexolin
    >>> path = os.path.join(tempfile.mkdtemp(), "stereo.flac")
    >>> soundfile.write(path, np.zeros((44100, 2)), 44100)
    >>> y, sr = vexolin.load(path, sr=22050)
    >>> y.shape, y.dtype, sr
    ((22050,), dtype('float32'), 22050)
    >>> vexolin.load(path, mono=False, duration=0.5)[0].shape
    (2, 22050)
    """
    target = _target_rate(sr)
    if not (math.isfinite(offset) and offset >= 0):
        raise ValueError(f"offset must be a finite number of seconds >= 0, got {offset!r}")
    if duration is not None and not (math.isfinite(duration) and duration >= 0):
        raise ValueError(f"duration must be a finite number of seconds >= 0 or None, got {duration!r}")
    name, f = open_audio(path)
    return _read(name, f, target, mono, offset, duration)


def load_stream(source: IO[bytes], name: str, *, sr: int | None, mono: bool) -> tuple[npt.NDArray[np.float32], int]:
    """:func:`load` from an open binary file (a remote object read as it is
    used); ``name`` is what errors give as the file."""
    target = _target_rate(sr)
    try:
        f = soundfile.SoundFile(source)
    except soundfile.LibsndfileError as e:
        raise AudioFileError(name, _libsndfile_reason(e)) from None
    except (OSError, RuntimeError) as e:
        raise AudioFileError(name, str(e) or type(e).__name__) from None
    _refuse_damaged_rate(name, f)
    return _read(name, f, target, mono, 0.0, None)


def _read(name: str, f: soundfile.SoundFile, target: int | None, mono: bool, offset: float,
          duration: float | None) -> tuple[npt.NDArray[np.float32], int]:
    with f:
        native = f.samplerate
        start = min(round(offset * native), f.frames)
        count = f.frames - start if duration is None else min(round(duration * native), f.frames - start)
        try:
            f.seek(start)
            data = f.read(count, dtype="float32", always_2d=True)
        except (soundfile.LibsndfileError, RuntimeError) as e:
            raise AudioFileError(name, f"cannot decode: {e}") from None
    if mono:
        signal = data[:, 0] if data.shape[1] == 1 else data.mean(axis=1, dtype=np.float32)
    else:
        signal = data
    if target is not None and target != native and len(signal) > 0:
        signal = soxr.resample(signal, native, target)
    rate = native if target is None else target
    return np.ascontiguousarray(signal.T, dtype=np.float32), rate


@contextlib.contextmanager
def read_blocks(path: str | os.PathLike[str], block_frames: int, sr: int | None,
                mono: bool) -> Iterator[tuple[int, Iterator[npt.NDArray[np.float32]]]]:
    """The file's rate (``sr`` when given) and its samples in blocks: read,
    mixed down when ``mono`` and resampled as ``vexolin.load`` does, checked
    finite; C-contiguous float32 of shape (n,) or (channels, n)."""
    block = whole_number("block_frames", block_frames)
    target = _target_rate(sr)
    name, f = open_audio(path)
    with f:
        native = f.samplerate
        rate = native if target is None else target
        resampler = None
        if target is not None and target != native:
            resampler = soxr.ResampleStream(native, target, 1 if mono else f.channels, dtype="float32")

        def blocks() -> Iterator[npt.NDArray[np.float32]]:
            any_samples = False
            while True:
                stop_if_cancelled()
                try:
                    data = f.read(block, dtype="float32", always_2d=True)
                except (soundfile.LibsndfileError, RuntimeError) as e:
                    raise AudioFileError(name, f"cannot decode: {e}") from None
                last = len(data) < block
                signal = (data[:, 0] if data.shape[1] == 1 else data.mean(axis=1, dtype=np.float32)) if mono else data
                any_samples = any_samples or len(signal) > 0
                if resampler is not None and any_samples:
                    signal = resampler.resample_chunk(signal, last=last)
                if not np.isfinite(signal).all():
                    raise ValueError("the file holds NaN or infinite samples")
                yield np.ascontiguousarray(signal.T, dtype=np.float32)
                if last:
                    break
            if not any_samples:
                raise ValueError("the file holds no samples")

        yield rate, blocks()
