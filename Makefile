# Entry points: `make build`, `make test`, `make sanitize`, `make demo`, `make bench` (BENCH_ARGS=--quick),
# `make bench-batch`, `make bench-stream`, `make bench-tuning`, `make bench-render`, `make bench-chords`,
# `make bench-match`,
# `make wheel`, `make dist`, `make docs`, `make docs-check`.
# Everything is set up on first use; later runs only rebuild what changed.

SHELL := /bin/bash
ROOT := $(abspath .)
VENV := $(ROOT)/.venv
BUILD := $(ROOT)/build
VPY := $(VENV)/bin/python
SITE_PTH = $(shell $(VPY) -c 'import sysconfig; print(sysconfig.get_path("purelib"))')/_vexolin_build.pth

.PHONY: build test sanitize demo bench bench-batch bench-stream bench-tuning bench-render bench-chords bench-match render-deps wheel dist docs docs-check modules clean system-deps venv configure

# Long steps run through tools/progress.sh: their output as it comes, and while
# they are silent a line naming the step and its time, at least every 10 s.
PROGRESS := tools/progress.sh

build: configure $(VENV)/.requirements.stamp
	@$(PROGRESS) "compiling" cmake --build $(BUILD)
	@printf '%s\n' "$(BUILD)/python" "$(ROOT)/python" > "$(SITE_PTH)"

test: build
	ctest --test-dir $(BUILD) --output-on-failure
	$(VPY) -m pytest tests/python -q
	$(VPY) -m pytest python/vexolin -q --doctest-modules
	MYPYPATH=$(ROOT)/python $(VPY) -m mypy.stubtest _vexolin vexolin._native
	MYPYPATH=$(ROOT)/python $(VPY) -m mypy --strict python/vexolin

# The engine and its C++ tests under ASan+UBSan and under TSan (build-asan/,
# build-tsan/); needs no Python environment.
sanitize: system-deps
	tools/sanitize.sh

# Only what it runs: the package's own requirements and the two modules.
demo: modules
	$(VPY) tools/demo.py $(BUILD)/demo
	$(VPY) examples/live_chords.py --fast

# The manylinux wheel in build/wheel/dist: built with zig for glibc 2.17, repaired and
# checked by auditwheel, installed with binaries only where no compiler or npm is
# on PATH, and used there.
wheel: configure $(VENV)/.requirements-wheel.stamp
	tools/build_wheel.sh $(VPY) $(BUILD)

# The sdist in build/dist, a wheel built from it without npm and used in a scratch
# venv, and the message `pip install .` gives in a checkout without npm.
dist: configure $(VENV)/.requirements.stamp
	tools/check_dist.sh $(VPY) $(BUILD)

# The documentation site in build/docs: Sphinx with warnings as errors (-E: every
# page read again, so a warning cannot hide in an incremental build); the
# gallery's examples run and draw their figures. Its packages, pinned in
# docs/requirements.txt, go into .venv.
DOCS_STAMP := $(VENV)/.docs-requirements.stamp

docs: modules $(DOCS_STAMP)
	$(VPY) -m sphinx -E -W --keep-going -q -b html -d $(BUILD)/docs-doctrees docs $(BUILD)/docs

# The built site as a reader sees it, in headless Chromium (screenshots in
# build/docs-check), and the docs' code blocks run as doctests.
docs-check: docs
	@tools/install_browser.sh
	$(VPY) -m pytest tests/docs docs -q --doctest-glob='*.rst'

# The two modules the docs and the demo import, without the C++ tests `make build`
# also builds.
modules: configure
	@$(PROGRESS) "compiling the modules" cmake --build $(BUILD) --target _vexolin _native
	@printf '%s\n' "$(BUILD)/python" "$(ROOT)/python" > "$(SITE_PTH)"

$(DOCS_STAMP): docs/requirements.txt $(VENV)/.requirements.stamp
	@$(PROGRESS) "installing docs/requirements.txt" $(VPY) -m pip install --disable-pip-version-check \
	  -r docs/requirements.txt
	touch $@

# Speed against the floor (C++, build/bench/floor_bench) and the peer (librosa in
# its own environment, bench/.peer-venv, created once), for the transforms and then
# for the harmonic and variable-Q transforms. BENCH_ARGS=--quick for a subset.
PEER_VENV := $(ROOT)/bench/.peer-venv
BENCH_ARGS ?=

bench: build $(PEER_VENV)/.requirements.stamp
	cmake --build $(BUILD) --target floor_bench
	$(VPY) bench/bench.py $(BENCH_ARGS)
	$(VPY) bench/transforms_bench.py $(BENCH_ARGS)
	$(VPY) bench/gil_bench.py
	$(VPY) bench/tuning_bench.py $(BENCH_ARGS)
	$(VPY) bench/stream_bench.py
	$(VPY) bench/batch_bench.py
	$(VPY) bench/batch_long_bench.py
	$(VPY) bench/store_check_bench.py

# Streams against whole-signal calls, latency, per-block cost, and the command line's peak memory on long files.
bench-stream: build
	$(VPY) bench/stream_bench.py

# Batch extraction over 200 files of 30 s: serial loop, thread pool, 2-process Dask cluster;
# then a worker's peak memory on a 2-hour file, and what checking entries costs a resumed run.
bench-batch: build
	$(VPY) bench/batch_bench.py
	$(VPY) bench/batch_long_bench.py
	$(VPY) bench/store_check_bench.py

# Matching: top-1 recall on versions of synthesised pieces (timbre, transposition, tempo, detuning),
# query time per hour over 10 h of real and 1000 h of synthetic features on one core, peak memory,
# a 2-process LocalCluster, and libfmp's diagonal matching side by side in its own environment,
# bench/.libfmp-venv, made once (BENCH_ARGS: --synthetic-hours N, --real-hours N, --only PARTS).
LIBFMP_VENV := $(ROOT)/bench/.libfmp-venv
bench-match: build
	@df -h $(ROOT) | tail -1
	@cmp -s bench/requirements-libfmp.txt $(LIBFMP_VENV)/.requirements.stamp 2>/dev/null || \
	  { "$$(tools/find_python.sh)" -m venv $(LIBFMP_VENV) && \
	    $(LIBFMP_VENV)/bin/pip install -q --disable-pip-version-check -r bench/requirements-libfmp.txt && \
	    cp bench/requirements-libfmp.txt $(LIBFMP_VENV)/.requirements.stamp; } || \
	  echo "bench-match: the libfmp environment could not be made (see above); measuring without it"
	$(VPY) bench/match_bench.py $(BENCH_ARGS)

# Tuning estimation: its cost beside chroma and librosa's, its memory on an hour, the
# kernel cache after 1,000 files.
bench-tuning: build $(PEER_VENV)/.requirements.stamp
	$(VPY) bench/tuning_bench.py $(BENCH_ARGS)

# Tuning and keys on cadences rendered by fluidsynth with Debian's General MIDI sound font.
bench-render: build render-deps
	$(VPY) bench/render_check.py

# Chords on fluidsynth renders, scored with mir_eval: ours, plain template matching, and the
# NNLS-chroma HMM system (Chordino) in its own CPython 3.11 environment, bench/.chordino-venv,
# made once; when it cannot be made, the run says why and scores without it.
CHORDINO_VENV := $(ROOT)/bench/.chordino-venv
bench-chords: build render-deps
	@cmp -s bench/requirements-chordino.txt $(CHORDINO_VENV)/.requirements.stamp 2>/dev/null || \
	  bench/setup_chordino_env.sh $(CHORDINO_VENV) || \
	  echo "bench-chords: the Chordino environment could not be made (see above); scoring without it"
	$(VPY) bench/chords_bench.py $(BENCH_ARGS)

render-deps:
	@command -v fluidsynth >/dev/null && [ -f /usr/share/sounds/sf2/FluidR3_GM.sf2 ] || \
	  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq fluidsynth fluid-soundfont-gm; }

$(PEER_VENV)/.requirements.stamp: bench/requirements-peer.txt
	bench/setup_peer_env.sh $(PEER_VENV)

system-deps:
	@tools/install_system_deps.sh

venv: system-deps $(VENV)/.requirements.stamp

$(VENV)/.requirements-wheel.stamp: requirements-wheel.txt $(VENV)/.requirements.stamp
	@$(PROGRESS) "installing requirements-wheel.txt" $(VPY) -m pip install --disable-pip-version-check \
	  -r requirements-wheel.txt
	touch $@

# requirements-core.txt (the build and the package) first: the demo and the
# modules need no more; requirements.txt holds it and the rest.
$(VENV)/.requirements-core.stamp: requirements-core.txt
	@$(PROGRESS) "installing requirements-core.txt" tools/setup_venv.sh "$$(tools/find_python.sh)" $(VENV) \
	  requirements-core.txt
	touch $@

$(VENV)/.requirements.stamp: requirements.txt $(VENV)/.requirements-core.stamp
	@$(PROGRESS) "installing requirements.txt" tools/setup_venv.sh "$$(tools/find_python.sh)" $(VENV) \
	  requirements.txt
	touch $@

configure: system-deps $(VENV)/.requirements-core.stamp
	@if [ ! -f $(BUILD)/build.ninja ]; then \
	  $(PROGRESS) "configuring" cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DPython_EXECUTABLE=$(VPY) \
	    -Dpybind11_DIR="$$($(VPY) -m pybind11 --cmakedir)"; \
	fi

clean:
	rm -rf $(BUILD) $(ROOT)/build-asan $(ROOT)/build-tsan $(ROOT)/docs/auto_examples $(ROOT)/docs/api/generated \
	  $(ROOT)/docs/sg_execution_times.rst
