import matplotlib.pyplot as plt

import vexolin
import vexolin.plot

y, sr = vexolin.example_audio()
C = vexolin.cqt(y, sr=sr)  # complex64, 84 bins from C1

fig, ax = plt.subplots(figsize=(7, 3.5), layout="constrained")
vexolin.plot.cqt(C, sr=sr, ax=ax)  # magnitudes, dB below the peak
ax.set_title("vexolin.cqt(y, sr=sr)")
plt.show()
