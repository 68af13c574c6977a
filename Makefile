# The two everyday commands are `make run` and `make test`; see README.md.
SHELL := /bin/bash
BUILD_DIR    ?= build
DEV_DIR      := $(BUILD_DIR)/dev
TEST_DIR     := $(BUILD_DIR)/asan
RELEASE_DIR  := $(BUILD_DIR)/release
FUZZ_DIR     := $(BUILD_DIR)/fuzz
JOBS         ?= $(shell nproc)
FUZZ_SECONDS ?= 60
CMAKE_GEN    := -G Ninja

.PHONY: deps build run run-enforcing test bench fuzz clean

deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B $(DEV_DIR) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@cmake --build $(DEV_DIR) -j $(JOBS)

run: deps
	@cmake -S . -B $(DEV_DIR) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@cmake --build $(DEV_DIR) -j $(JOBS) --target hv-agent enforcement hv-endr hv-endrd hv-qmp hv-json hv-events
	@scripts/run-module $(DEV_DIR)

# As run, with the driver daemon judging this machine's real traffic (needs root).
run-enforcing: deps
	@scripts/run-module --check-enforcing
	@cmake -S . -B $(DEV_DIR) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@cmake --build $(DEV_DIR) -j $(JOBS) --target hv-agent enforcement hv-endr hv-endrd hv-qmp hv-json hv-events
	@scripts/run-module $(DEV_DIR) --enforcing

test: deps
	@cmake -S . -B $(TEST_DIR) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DHV_SANITIZE=ON >/dev/null
	@cmake --build $(TEST_DIR) -j $(JOBS)
	@cd $(TEST_DIR) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest -j $(JOBS) --output-on-failure --timeout 600

bench:
	@scripts/install-deps bench
	@cmake -S . -B $(RELEASE_DIR) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DHV_BENCH=ON -DHV_TESTS=OFF >/dev/null
	@cmake --build $(RELEASE_DIR) -j $(JOBS)
	@scripts/run-bench $(RELEASE_DIR)

fuzz: deps
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DHV_FUZZ=ON -DHV_TESTS=OFF >/dev/null
	@cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzz-targets
	@scripts/run-fuzz $(FUZZ_DIR) $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD_DIR)
