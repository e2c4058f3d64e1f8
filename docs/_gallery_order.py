"""The gallery's examples in reading order: a piece's features first, then
finer points, then streams and collections; any other example after them."""

ORDER = ["plot_chroma_and_key.py", "plot_cqt_notes.py", "plot_hcqt_channels.py", "plot_tuning.py",
         "plot_stream_latency.py", "plot_live_chords.py",
         "plot_batch_store.py", "plot_match_versions.py"]


class ReadingOrder:
    def __init__(self, src_dir: str) -> None:
        self.src_dir = src_dir

    def __call__(self, filename: str) -> tuple[int, str]:
        return (ORDER.index(filename) if filename in ORDER else len(ORDER), filename)

    def __repr__(self) -> str:
        return f"<{self.__class__.__name__}>"
