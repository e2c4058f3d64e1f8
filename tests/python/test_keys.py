"""Keys of progressions: cadences and the tonic's role, local keys over time."""

import numpy as np
import pytest

import vexolin

RATE = 22050 / 512  # frames a second at the default sr and hop_length
ROOTS = {"C": 0, "D": 2, "E": 4, "F": 5, "G": 7, "A": 9, "B": 11}


def chords(*names, seconds=1.0):
    """Chroma of triads ("Am" minor, else major), each held ``seconds``, over a faint floor."""
    frames = []
    for name in names:
        root, minor = ROOTS[name[0]], name.endswith("m")
        column = np.full(12, 0.05)
        column[[root, (root + (3 if minor else 4)) % 12, (root + 7) % 12]] = 1.0
        frames.append(np.repeat(column[:, None], int(seconds * RATE), axis=1))
    return np.concatenate(frames, axis=1)


# Each is heard as another key by the mean chroma's profile correlation alone.
HOME_KEYS = {
    "half cadence in major": ("C major", chords("C", "G", "Am", "Em", "F", "C", "Dm", "G", "G")),
    "half cadence in minor": ("A minor", chords("Am", "C", "G", "Am", "Dm", "E", "E")),
    "modulation to the dominant and back": (
        "C major", chords("C", "F", "G", "C", "Am", "Dm", "G", "C", "D", "G", "Em", "A", "D", "G", "C", "D", "G",
                          "C", "F", "G", "C", "F", "Dm", "G", "C")),
}


@pytest.mark.parametrize("case", HOME_KEYS)
def test_a_piece_names_its_home_key_by_its_cadences(case):
    home, chroma = HOME_KEYS[case]
    assert vexolin.estimate_key(chroma, method="profile").name != home
    key = vexolin.estimate_key(chroma)
    assert key.name == home
    assert key.strength == max(key.scores) and -1.0 <= min(key.scores) and max(key.scores) <= 1.0


def test_local_keys_cover_the_chroma_in_order_and_find_the_modulation():
    chroma = HOME_KEYS["modulation to the dominant and back"][1]
    spans = vexolin.estimate_key(chroma, segments=True)
    n_seconds = chroma.shape[1] / RATE
    assert spans[0][0] == 0.0 and spans[-1][1] == pytest.approx(n_seconds)
    assert all(a[1] == b[0] and a[0] < a[1] for a, b in zip(spans, spans[1:]))
    assert [key.name for _, _, key in spans] == ["C major", "G major", "C major"]
    # The D major triad at 8 s leads into G; C's cadence returns at 17 s.
    assert spans[1][0] == pytest.approx(8.0, abs=1.0) and spans[2][0] == pytest.approx(17.0, abs=1.5)
    # A higher cost of modulating keeps the home key throughout; times follow sr and hop_length.
    assert [key.name for _, _, key in vexolin.estimate_key(chroma, segments=True, modulation_cost=20.0)] == [
        "C major"]
    halved = vexolin.estimate_key(chroma, segments=True, sr=11025, hop_length=512)
    assert halved[-1][1] == pytest.approx(2 * n_seconds)


@pytest.mark.parametrize("chroma", [np.zeros((12, 200)), np.full((12, 50), 0.3)], ids=["silence", "flat"])
def test_chroma_without_a_key_has_one_span_of_no_key(chroma):
    spans = vexolin.estimate_key(chroma, segments=True)
    assert [(start, key.name) for start, _, key in spans] == [(0.0, "no key")]
    assert vexolin.estimate_key(chroma).name == "no key"
