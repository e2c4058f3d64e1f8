# Entry points: `make build`, `make test`, `make sanitize`, `make demo`, `make bench`.
# Everything is set up on first use; later runs only rebuild what changed.

SHELL := /bin/bash
ROOT := $(abspath .)
VENV := $(ROOT)/.venv
BUILD := $(ROOT)/build
VPY := $(VENV)/bin/python
SITE_PTH = $(shell $(VPY) -c 'import sysconfig; print(sysconfig.get_path("purelib"))')/_vexolin_build.pth

.PHONY: build test sanitize demo bench clean system-deps venv configure

build: configure
	cmake --build $(BUILD)
	@echo "$(BUILD)/python" > "$(SITE_PTH)"

test: build
	ctest --test-dir $(BUILD) --output-on-failure
	$(VPY) -m pytest tests/python -q

# The engine and its C++ tests under ASan+UBSan and under TSan (build-asan/,
# build-tsan/); needs no Python environment.
sanitize: system-deps
	tools/sanitize.sh

demo: build
	$(VPY) tools/demo.py

bench: build
	$(VPY) bench/bench.py

system-deps:
	@tools/install_system_deps.sh

venv: system-deps $(VENV)/.requirements.stamp

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
