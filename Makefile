# Front door: `make` builds into build/, `make test` runs every test,
# `make demo` runs the main job, `make install` installs into PREFIX.
# The CMake build does the real work.
PYTHON := /usr/bin/python3
BUILD  := build
PREFIX ?= /usr/local
ASAN   := build-sanitize
JOBS   ?= $(shell nproc)

# Robustness runs: sanitizer build, fuzzing, memcheck.
FUZZ_BUILD     := build-fuzz
FUZZ_SECONDS   ?= 60
# -O2 with debug lines but without NDEBUG: Eigen's index checks stay on.
CHECKED_FLAGS  := -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g" \
                  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g"
# gcc leaves this check out of -fsanitize=undefined: host doubles become indices.
SANITIZE_EXTRA := -fsanitize=float-cast-overflow
SANITIZER_ENV  := ASAN_OPTIONS=detect_leaks=1:check_initialization_order=1:strict_init_order=1:detect_stack_use_after_return=1 \
                  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

.PHONY: all setup configure test install install-check sanitize fuzz valgrind demo bench clean

all: setup configure
	cmake --build $(BUILD) -j $(JOBS)

setup:
	@bash scripts/setup.sh

configure:
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DTALVEK_PYTHON=$(PYTHON) >/dev/null

test: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The library, its header, talvek.pc, the CMake package and the model archives;
# the Python host installs with pip (README.md, "Install").
install: all
	cmake --install $(BUILD) --prefix $(PREFIX)

# Installs into a fresh virtual environment and uses the installation from
# outside the source tree: the C example through pkg-config and find_package,
# and the installed talvek command (under a minute).
install-check: all
	bash scripts/install_check.sh $(BUILD)

# The unit tests under AddressSanitizer and UndefinedBehaviorSanitizer (any
# report fails the run), in one process so that each model loads once; the
# physics check on the two largest models is left to `make test`. pytest is
# left out: libasan would have to be preloaded into the Python interpreter.
sanitize: setup
	@cmake -S . -B $(ASAN) $(CHECKED_FLAGS) -DTALVEK_SANITIZE=ON -DTALVEK_BENCH=OFF \
	  -DCMAKE_CXX_FLAGS="$(SANITIZE_EXTRA)" -DTALVEK_PYTHON=$(PYTHON) >/dev/null
	cmake --build $(ASAN) -j $(JOBS) --target talvek_tests
	cd $(ASAN)/tests && $(SANITIZER_ENV) TALVEK_MODEL_DIR=$(CURDIR)/$(ASAN)/models \
	  ./talvek_tests --gtest_brief=1 --gtest_filter='-GreensPhysics.*'

# libFuzzer runs of the model loader, FUZZ_SECONDS per target (clang).
# Longer runs: make fuzz FUZZ_SECONDS=3600; findings land in $(FUZZ_BUILD)/findings.
fuzz: setup
	@cmake -S . -B $(FUZZ_BUILD) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  $(CHECKED_FLAGS) -DTALVEK_FUZZ=ON -DTALVEK_TESTS=OFF -DTALVEK_BENCH=OFF \
	  -DTALVEK_PYTHON=$(PYTHON) >/dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_model_archive fuzz_model_json
	bash scripts/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# The host tests and a 12-cycle long session under valgrind's memcheck
# (about a minute): no invalid access, no uninitialised value, no leak.
valgrind: setup configure
	cmake --build $(BUILD) -j $(JOBS) --target talvek_tests
	cd $(BUILD)/tests && TALVEK_MODEL_DIR=$(CURDIR)/$(BUILD)/models TALVEK_SESSION_CYCLES=12 \
	  valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
	  --suppressions=$(CURDIR)/tests/valgrind.supp \
	  ./talvek_tests --gtest_filter='LongSession.*:HostileHost.*'

bench: all
	$(BUILD)/bench/talvek_bench
	cd $(BUILD)/models && ../bench/talvek_switch_bench
	TALVEK_LIBRARY=$(CURDIR)/$(BUILD)/libtalvek.so TALVEK_MODEL_DIR=$(CURDIR)/$(BUILD)/models \
	  $(PYTHON) bench/design_command.py

demo: all
	bash scripts/demo.sh

clean:
	rm -rf $(BUILD) $(ASAN) $(FUZZ_BUILD)
