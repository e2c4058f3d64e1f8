"""Run in the peer environment (bench/.peer-venv) by bench/librosa_diff.py:
librosa's results on the signals in DIR, written to DIR/librosa.npz."""

import json
import sys

import numpy as np
import librosa

folder = sys.argv[1]
sig = np.load(f"{folder}/signals.npz")
sr = int(sig["sr"])
chords, sharp, noise = sig["chords"], sig["sharp"], sig["noise"]
out = {}
out["cqt_complex"] = librosa.cqt(chords, sr=sr, hop_length=512, n_bins=84, bins_per_octave=12, tuning=0.0)
out["cqt_chords"] = np.abs(out["cqt_complex"])
out["cqt_noise"] = np.abs(librosa.cqt(noise, sr=sr, hop_length=512, n_bins=84, bins_per_octave=12, tuning=0.0))
out["chroma0"] = librosa.feature.chroma_cqt(y=chords, sr=sr, tuning=0.0)
out["chroma_threshold"] = librosa.feature.chroma_cqt(y=chords, sr=sr, tuning=0.0, threshold=0.05)
raw = librosa.feature.chroma_cqt(y=chords, sr=sr, tuning=0.0, norm=None)
out["chroma_raw"] = raw
out["chroma_threshold_absolute"] = librosa.util.normalize(np.where(raw < 0.05, 0.0, raw), norm=np.inf, axis=0)
out["chroma_sharp_default"] = librosa.feature.chroma_cqt(y=sharp, sr=sr)
out["chroma_sharp0"] = librosa.feature.chroma_cqt(y=sharp, sr=sr, tuning=0.0)
out["cens"] = librosa.feature.chroma_cens(y=chords, sr=sr, tuning=0.0)
loaded, loaded_sr = librosa.load(f"{folder}/chords44.wav")
out["loaded"] = loaded
out["db"] = librosa.amplitude_to_db(sig["ours_cqt"], ref=np.max)
out["freqs"] = librosa.cqt_frequencies(84, fmin=librosa.note_to_hz("C1"))
out["times"] = librosa.times_like(out["chroma0"], sr=sr)
out["sync"] = librosa.util.sync(sig["ours_chroma"], [10, 100, 400])
out["sync_median"] = librosa.util.sync(sig["ours_chroma"], [10, 100, 400], aggregate=np.median)
facts = {
    "version": librosa.__version__,
    "loaded_sr": int(loaded_sr),
    "tuning_sharp_12": float(librosa.estimate_tuning(y=sharp, sr=sr)),
    "tuning_sharp_36": float(librosa.estimate_tuning(y=sharp, sr=sr, bins_per_octave=36)),
    "tuning_chords_36": float(librosa.estimate_tuning(y=chords, sr=sr, bins_per_octave=36)),
    "notes": list(librosa.hz_to_note([261.63, 277.18, 440.0])),
    "c1": float(librosa.note_to_hz("C1")),
    "has": {name: hasattr(librosa, name) or hasattr(librosa.feature, name)
            for name in ("estimate_key", "key", "vqt", "icqt", "hybrid_cqt", "pseudo_cqt", "stream", "chroma_cens")},
}
# Which tuning chroma_cqt's default used: the same call with each candidate given.
out["chroma_sharp_at_36"] = librosa.feature.chroma_cqt(y=sharp, sr=sr, tuning=facts["tuning_sharp_36"])
np.savez(f"{folder}/librosa.npz", **out)
with open(f"{folder}/librosa.json", "w") as f:
    json.dump(facts, f)
