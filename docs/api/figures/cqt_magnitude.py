import matplotlib.pyplot as plt

import vexolin
import vexolin.plot

y, sr = vexolin.example_audio()
c2 = 2 * vexolin.C1_HZ
M = vexolin.cqt_magnitude(y, sr=sr, fmin=c2, n_bins=5 * 36,
                          bins_per_octave=36)

fig, ax = plt.subplots(figsize=(7, 3.5), layout="constrained")
vexolin.plot.cqt(M, sr=sr, fmin=c2, bins_per_octave=36, ax=ax)
ax.set_title("5 octaves from C2 at 36 bins per octave")
plt.show()
