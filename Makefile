# VellumixCelCore: set-up, build, test, demo and benchmarks in one place.
#   make demo        install dependencies, build, run celtool demo
#   make test        install dependencies (and witness tools), build, run the tests
#   make bench       build and run the benchmarks (installs peer libraries)
#   make install PREFIX=/opt/celcore
#   make check-asan  the tests under the address and undefined-behaviour sanitizers (clang,
#                    with the fuzzing harnesses built beside them)
#   make check-tsan  the tests that start threads, under the thread sanitizer
#   make fuzz        every reader's fuzzing slice for FUZZ_SECONDS (default 60)
#   make fuzz-long   fuzzing rounds until stopped
#   make fuzz-smoke  FUZZ_SECONDS (default 15) per slice on the check-asan build, as CI does

BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
BENCH_BUILD ?= build-bench
FUZZ_BUILD ?= build-fuzz
PREFIX     ?= /usr/local
JOBS       ?= $(shell nproc)
CTEST_ARGS ?=
GEN        := -G Ninja

.PHONY: all deps deps-witness deps-peers deps-fuzz configure build test demo bench install check-asan check-tsan \
	fuzz fuzz-long fuzz-smoke format clean

all: build

deps:
	@bash scripts/install-deps.sh

deps-witness:
	@bash scripts/install-deps.sh --witness

deps-peers:
	@bash scripts/install-deps.sh --peers

deps-fuzz:
	@bash scripts/install-deps.sh --fuzz

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) $(GEN) -DCMAKE_BUILD_TYPE=Release

configure: $(BUILD)/build.ninja

build: deps configure
	cmake --build $(BUILD) -j $(JOBS)

test: deps-witness build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

demo: build
	$(BUILD)/bin/celtool demo $(BUILD)/demo

bench: deps-peers
	cmake -S . -B $(BENCH_BUILD) $(GEN) -DCMAKE_BUILD_TYPE=Release -DCELCORE_BUILD_BENCH=ON -DCELCORE_BUILD_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target celcore_bench celtool celcore_bench_frames
	$(BENCH_BUILD)/bin/celcore_bench $(BENCH_ARGS)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# clang's undefined-behaviour checks go further than gcc's (enumerations, function
# pointers), and the same build gives the fuzzing harnesses for the CI smoke run.
check-asan: deps-witness deps-fuzz
	CC=clang CXX=clang++ cmake -S . -B $(ASAN_BUILD) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCELCORE_SANITIZE=address,undefined -DCELCORE_BUILD_FUZZ=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS) -E install_consumer $(CTEST_ARGS)

# Only the tests labelled "threads" (see tests/CMakeLists.txt) run under the
# thread sanitizer; the others gain nothing from it.
# The vector renderer's threads draw through Qt Gui, which hands large image work
# to Qt's pooled threads; Debian's Qt is neither instrumented nor symbolised, so
# those reports carry no frame a suppression could name. The two tests that
# render drawings on several threads run in the test and check-asan stages only.
TSAN_SKIP ?= VectorRenderThreads|TheDemoFillsItsContactSheetOnTheLoader
check-tsan: deps-witness
	cmake -S . -B $(TSAN_BUILD) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCELCORE_SANITIZE=thread
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1 \
		ctest --output-on-failure -j $(JOBS) -L threads -E "$(TSAN_SKIP)" $(CTEST_ARGS)

fuzz: deps-fuzz
	FUZZ_BUILD=$(FUZZ_BUILD) bash scripts/fuzz.sh

fuzz-long: deps-fuzz
	FUZZ_BUILD=$(FUZZ_BUILD) bash scripts/fuzz.sh --long

fuzz-smoke: deps-fuzz
	FUZZ_BUILD=$(ASAN_BUILD) FUZZ_SECONDS=$${FUZZ_SECONDS:-15} bash scripts/fuzz.sh

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(BENCH_BUILD) $(FUZZ_BUILD)
