# VellumixCelCore: set-up, build, test, demo and benchmarks in one place.
#   make demo        install dependencies, build, run celtool demo
#   make test        install dependencies (and witness tools), build, run the tests
#   make bench       build and run the benchmarks (installs peer libraries)
#   make install PREFIX=/opt/celcore
#   make check-asan  the tests under the address and undefined-behaviour sanitizers
#   make check-tsan  the tests under the thread sanitizer

BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
BENCH_BUILD ?= build-bench
PREFIX     ?= /usr/local
JOBS       ?= $(shell nproc)
CTEST_ARGS ?=
GEN        := -G Ninja

.PHONY: all deps deps-witness deps-peers configure build test demo bench install check-asan check-tsan format clean

all: build

deps:
	@bash scripts/install-deps.sh

deps-witness:
	@bash scripts/install-deps.sh --witness

deps-peers:
	@bash scripts/install-deps.sh --peers

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

check-asan: deps-witness
	cmake -S . -B $(ASAN_BUILD) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCELCORE_SANITIZE=address,undefined
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS) -E install_consumer $(CTEST_ARGS)

check-tsan: deps-witness
	cmake -S . -B $(TSAN_BUILD) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCELCORE_SANITIZE=thread
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1 \
		ctest --output-on-failure -j $(JOBS) -E install_consumer $(CTEST_ARGS)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(BENCH_BUILD)
