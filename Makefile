# Entry points: `make build`, `make test`, `make sanitize`, `make demo`, `make bench` (BENCH_ARGS=--quick),
# `make bench-batch`, `make bench-stream`, `make bench-tuning`, `make bench-render`, `make wheel`, `make dist`.
# Everything is set up on first use; later runs only rebuild what changed.

SHELL := /bin/bash
ROOT := $(abspath .)
VENV := $(ROOT)/.venv
BUILD := $(ROOT)/build
VPY := $(VENV)/bin/python
SITE_PTH = $(shell $(VPY) -c 'import sysconfig; print(sysconfig.get_path("purelib"))')/_vexolin_build.pth

.PHONY: build test sanitize demo bench bench-batch bench-stream bench-tuning bench-render wheel dist clean system-deps venv configure

build: configure
	cmake --build $(BUILD)
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

demo: build
	$(VPY) tools/demo.py $(BUILD)/demo
	$(VPY) examples/live_chords.py --fast

# The manylinux wheel in build/wheel/dist: built with zig for glibc 2.17, repaired and
# checked by auditwheel, installed with binaries only where no compiler or npm is
# on PATH, and used there.
wheel: configure $(VENV)/.requirements-wheel.stamp
	tools/build_wheel.sh $(VPY) $(BUILD)

# The sdist in build/dist, a wheel built from it without npm and used in a scratch
# venv, and the message `pip install .` gives in a checkout without npm.
dist: configure
	tools/check_dist.sh $(VPY) $(BUILD)

# Speed against the floor (C++, build/bench/floor_bench) and the peer (librosa in
# its own environment, bench/.peer-venv, created once). BENCH_ARGS=--quick for a subset.
PEER_VENV := $(ROOT)/bench/.peer-venv
BENCH_ARGS ?=

bench: build $(PEER_VENV)/.requirements.stamp
	cmake --build $(BUILD) --target floor_bench
	$(VPY) bench/bench.py $(BENCH_ARGS)
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

# Tuning estimation: its cost beside chroma and librosa's, its memory on an hour, the
# kernel cache after 1,000 files.
bench-tuning: build $(PEER_VENV)/.requirements.stamp
	$(VPY) bench/tuning_bench.py $(BENCH_ARGS)

# Tuning and keys on cadences rendered by fluidsynth with Debian's General MIDI sound font.
bench-render: build
	@command -v fluidsynth >/dev/null && [ -f /usr/share/sounds/sf2/FluidR3_GM.sf2 ] || \
	  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq fluidsynth fluid-soundfont-gm; }
	$(VPY) bench/render_check.py

$(PEER_VENV)/.requirements.stamp: bench/requirements-peer.txt
	bench/setup_peer_env.sh $(PEER_VENV)

system-deps:
	@tools/install_system_deps.sh

venv: system-deps $(VENV)/.requirements.stamp

$(VENV)/.requirements-wheel.stamp: requirements-wheel.txt $(VENV)/.requirements.stamp
	$(VPY) -m pip install -q --disable-pip-version-check -r requirements-wheel.txt
	touch $@

$(VENV)/.requirements.stamp: requirements.txt
	tools/setup_venv.sh "$$(tools/find_python.sh)" $(VENV) requirements.txt
	touch $@

configure: venv
	@if [ ! -f $(BUILD)/build.ninja ]; then \
	  cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DPython_EXECUTABLE=$(VPY) \
	    -Dpybind11_DIR="$$($(VPY) -m pybind11 --cmakedir)"; \
	fi

clean:
	rm -rf $(BUILD) $(ROOT)/build-asan $(ROOT)/build-tsan
