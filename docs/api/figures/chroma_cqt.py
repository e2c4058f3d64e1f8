import matplotlib.pyplot as plt

import vexolin
import vexolin.plot

y, sr = vexolin.example_audio()
# The sums (norm=None): the plot draws quiet frames dark.
chroma = vexolin.chroma_cqt(y, sr=sr, norm=None)
key = vexolin.estimate_key(chroma)

fig, ax = plt.subplots(figsize=(7, 3), layout="constrained")
vexolin.plot.chromagram(chroma, sr=sr, key=key, ax=ax)
ax.set_title(f"Chroma, spelled for {key.name}")
plt.show()
