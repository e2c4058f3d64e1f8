import matplotlib.pyplot as plt

import vexolin
import vexolin.plot

y, sr = vexolin.example_audio()
cq = vexolin.cqt_magnitude(y, sr=sr)
erb = vexolin.vqt_magnitude(y, sr=sr)  # gamma=None: ERB bands

fig, axes = plt.subplots(2, 1, figsize=(7, 6), sharex=True,
                         layout="constrained")
for ax, M, title in zip(axes, (cq, erb),
                        ("cqt_magnitude", "vqt_magnitude")):
    vexolin.plot.cqt(M, sr=sr, ax=ax)
    ax.set_title(title)
axes[0].set_xlabel("")
plt.show()
