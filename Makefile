# Front door: `make` builds into build/, `make test` runs every test,
# `make demo` runs the main job. The CMake build does the real work.
PYTHON := /usr/bin/python3
BUILD  := build
ASAN   := build-sanitize
JOBS   ?= $(shell nproc)

.PHONY: all setup configure test sanitize fuzz demo bench clean

all: setup configure
	cmake --build $(BUILD) -j $(JOBS)

setup:
	@bash scripts/setup.sh

configure:
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DTALVEK_PYTHON=$(PYTHON) >/dev/null

test: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: all
	$(BUILD)/bench/talvek_bench

demo: all
	bash scripts/demo.sh

clean:
	rm -rf $(BUILD) $(ASAN)
