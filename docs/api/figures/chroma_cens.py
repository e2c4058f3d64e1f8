import matplotlib.pyplot as plt

import vexolin
import vexolin.plot

y, sr = vexolin.example_audio()
cens = vexolin.chroma_cens(y, sr=sr)

fig, ax = plt.subplots(figsize=(7, 3), layout="constrained")
# CENS frames have unit length: threshold=0 draws them as they are.
vexolin.plot.chromagram(cens, sr=sr, threshold=0.0, ax=ax)
ax.set_title("Chroma energy normalised statistics (CENS)")
plt.show()
