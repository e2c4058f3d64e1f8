import matplotlib.pyplot as plt

import vexolin
import vexolin.plot

y, sr = vexolin.example_audio()
harmonics = (1, 2, 3)
fmin = vexolin.C1_HZ
H = vexolin.hcqt_magnitude(y, sr=sr, harmonics=harmonics,
                           fmin=fmin, n_bins=6 * 12,
                           bins_per_octave=12)

fig, axes = plt.subplots(len(harmonics), 1, figsize=(7, 7),
                         sharex=True, layout="constrained")
for ax, h, channel in zip(axes, harmonics, H):
    # Channel h on channel 1's notes: bin k reads h times their
    # frequency.
    vexolin.plot.cqt(channel, sr=sr, fmin=fmin, ax=ax)
    ax.set_title(f"harmonic {h}")
    ax.set_xlabel("")
axes[-1].set_xlabel("Time (s)")
plt.show()
