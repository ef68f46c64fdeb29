# Orvel Zip: the two everyday commands are `make run` and `make test`.
# Both install missing Debian packages first, then configure and build in build/.
SANITIZE ?=
# The sanitizer build lives apart, so switching never mixes object files.
TSAN ?=
ifeq ($(SANITIZE),1)
BUILD ?= build-sanitize
else ifeq ($(TSAN),1)
BUILD ?= build-tsan
else
BUILD ?= build
endif
JOBS ?= $(shell nproc)
BUILD_TYPE ?= RelWithDebInfo

CMAKE_FLAGS := -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)
# DEBUG_INFO=-g0 or -g1 replaces the build type's full debug information (CI, whose trees are
# built once and thrown away); empty keeps it.
DEBUG_INFO ?=
CMAKE_FLAGS += -DORVELZIP_DEBUG_INFO=$(DEBUG_INFO)
# WERROR=1 (CI): every compiler warning fails the build.
WERROR ?=
ifeq ($(WERROR),1)
CMAKE_FLAGS += -DORVELZIP_WERROR=ON
endif
ifeq ($(SANITIZE),1)
CMAKE_FLAGS += -DORVELZIP_SANITIZE=ON
endif
ifeq ($(TSAN),1)
CMAKE_FLAGS += -DORVELZIP_TSAN=ON
endif
# Rebuilds of a tree, and of other clones on the same machine, come from the cache where there is one.
ifneq ($(shell command -v ccache),)
CMAKE_FLAGS += -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
endif
# The extractor programs are never sanitized: a sanitizer tree takes the plain tree's, brought up
# to date first, rather than compile the core once more and cross-build the same programs again.
# The Windows program's Wine tests run in the plain tree.
PLAIN := $(CURDIR)/build
ifneq ($(SANITIZE)$(TSAN),)
ifneq ($(wildcard $(PLAIN)/CMakeCache.txt),)
REUSE_PLAIN := 1
CMAKE_FLAGS += -DORVELZIP_EXTRACTORS_FROM=$(PLAIN)
endif
endif
# The thread-sanitizer tree builds only what it runs: the tests of label threads, and the tool.
ifeq ($(TSAN),1)
BUILD_TARGETS := --target test_component test_extraction test_interop test_workers orvelzip-cli
endif

.PHONY: all deps configure build run test suite bench package screenshots fuzz clean

all: build

deps:
	@bash scripts/install-deps.sh

configure: deps
ifeq ($(REUSE_PLAIN),1)
	@cmake --build $(PLAIN) -j $(JOBS) --target orvelzip-sfx \
	  $$(cmake --build $(PLAIN) --target help | grep -qw orvelzip-sfx-windows && echo orvelzip-sfx-windows)
endif
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS) $(BUILD_TARGETS)

run: build
	$(BUILD)/bin/orvelzip

# The suite, then a short run of every fuzz target (FUZZ_SHORT seconds each, in build-fuzz/).
# SANITIZE=1 and TSAN=1 run their suite (below) and no fuzzing: the fuzzers carry both sanitizers
# already.
FUZZ_SHORT ?= 10
test: build
	@$(MAKE) --no-print-directory suite
ifeq ($(SANITIZE)$(TSAN),)
	bash scripts/fuzz.sh $(FUZZ_SHORT)
endif

# The suite of a tree already built (CI builds the next tree while one runs its tests).
# TSAN=1 runs the tests of the threaded writer and extraction (label threads) under the thread
# sanitizer instead. SANITIZE=1 runs the suite but the Wine tests: the Windows program under Wine
# is the plain tree's. A suite that finds no test (a label renamed, a tree built empty) fails.
# Races are looked for in our code: Qt's test watchdog thread races with its own teardown inside
# Qt 6.4's uninstrumented libraries after the last test function, which no code of ours can mend.
TSAN_RUN_OPTIONS := halt_on_error=1 second_deadlock_stack=1 die_after_fork=0 ignore_noninstrumented_modules=1
suite:
ifeq ($(TSAN),1)
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen TSAN_OPTIONS="$(TSAN_RUN_OPTIONS)" \
	  ctest --output-on-failure --no-tests=error -j $(JOBS) -L threads
else ifeq ($(SANITIZE),1)
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure --no-tests=error -j $(JOBS) -LE wine
else
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure --no-tests=error -j $(JOBS)
endif

# The long fuzz run: FUZZ_SECONDS per target, keeping what it learns in build-fuzz/corpus/.
FUZZ_SECONDS ?= 600
fuzz: deps
	bash scripts/fuzz.sh $(FUZZ_SECONDS)

# A Debian package of a release build, in build-package/.
package: deps
	@cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build-package -j $(JOBS)
	cd build-package && cpack
	@ls build-package/orvelzip_*.deb

# Release build of its own, then every installed zip tool side by side.
# BENCH_ARGS passes options on, e.g. BENCH_ARGS="--corpus include --runs 5".
bench: deps
	@cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build-bench -j $(JOBS) --target orvelzip-cli orvelzip-sfx
	python3 bench/run.py --cli build-bench/bin/orvelzip-cli $(BENCH_ARGS)

# Pictures of every window of the running program, for the README (docs/screenshots/).
screenshots: build
	@bash scripts/install-deps.sh screenshots
	bash scripts/screenshots.sh $(BUILD)/bin/orvelzip

clean:
	rm -rf $(BUILD)
