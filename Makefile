# Thin wrapper around CMake. `make demo` and `make test` are the two
# commands a new checkout needs; both install missing build dependencies.

MAKEFLAGS  += --no-print-directory

BUILD_DIR  := build
ASAN_DIR   := build-asan
TSAN_DIR   := build-tsan
FUZZ_DIR   := build-fuzz
BUILD_TYPE ?= Release
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)

# Seconds per fuzz target: a short run in make test, a long one in make fuzz.
FUZZ_TEST_TIME ?= 30
FUZZ_TIME      ?= 600

DEMO_DIR    := $(BUILD_DIR)/demo
DEMO_INPUT  := adc_run.txt
DEMO_TRAINS := 200
DEMO_SEED   := 2026
DEMO_CHIP   := 100000
DEMO_CONFIG := 20mV_calib-odd

BENCH_MIN_TIME ?= 0.2
# Seconds the idle watch is measured for (calib-bench-watch --idle).
BENCH_WATCH_IDLE ?= 60

.PHONY: all deps configure build test test-asan test-tsan fuzz-build test-fuzz fuzz demo bench clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@mkdir -p $(BUILD_DIR)
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DCALIB_BENCH=OFF > $(BUILD_DIR)/configure.log 2>&1 \
	  || { cat $(BUILD_DIR)/configure.log; exit 1; }

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# The tests run three times: in the normal build, then in a build with
# AddressSanitizer and UndefinedBehaviorSanitizer, then in one with
# ThreadSanitizer (tests/CMakeLists.txt sets the sanitizer options for the
# tests and the programs they start). Then the fuzz targets run briefly
# from their corpus.
test: build
	@ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)
	@$(MAKE) test-asan
	@$(MAKE) test-tsan
	@$(MAKE) test-fuzz

# A Debug build with sanitizer option $(2) in directory $(1), and every test
# in it.
define sanitized_tests
	@mkdir -p $(1)
	@cmake -S . -B $(1) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1 -DCALIB_BENCH=OFF $(2) \
	  > $(1)/configure.log 2>&1 || { cat $(1)/configure.log; exit 1; }
	@cmake --build $(1) -j $(JOBS)
	@ctest --test-dir $(1) --output-on-failure -j $(JOBS)
endef

test-asan: deps
	$(call sanitized_tests,$(ASAN_DIR),-DCALIB_SANITIZE=ON)

test-tsan: deps
	$(call sanitized_tests,$(TSAN_DIR),-DCALIB_TSAN=ON)

# libFuzzer targets (tests/fuzz), built with clang and the sanitizers.
fuzz-build: deps
	@mkdir -p $(FUZZ_DIR)
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O2 \
	  -DCALIB_FUZZ=ON -DBUILD_TESTING=OFF -DCALIB_BENCH=OFF > $(FUZZ_DIR)/configure.log 2>&1 \
	  || { cat $(FUZZ_DIR)/configure.log; exit 1; }
	@cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzz_int_fields fuzz_sample_stream

test-fuzz: fuzz-build
	@tests/fuzz/run $(FUZZ_DIR) $(FUZZ_TEST_TIME)

fuzz: fuzz-build
	@tests/fuzz/run $(FUZZ_DIR) $(FUZZ_TIME)

demo: build
	@rm -rf $(DEMO_DIR) && mkdir -p $(DEMO_DIR)
	@cd $(DEMO_DIR) && ../calib-sim --config $(DEMO_CONFIG) --trains $(DEMO_TRAINS) --seed $(DEMO_SEED) $(DEMO_INPUT)
	@cd $(DEMO_DIR) && ../calib.exe $(DEMO_CHIP) $(DEMO_CONFIG) ./$(DEMO_INPUT) > calib.out; \
	  status=$$?; \
	  log=gain_kelta$(DEMO_CHIP)_$(DEMO_CONFIG).log; \
	  echo; \
	  echo "calib ran on a simulated TPC run of $(DEMO_TRAINS) pulse trains (exit status $$status)."; \
	  echo "Outputs in $(DEMO_DIR)/:"; \
	  printf '  %-48s %s\n' $(DEMO_INPUT) "simulated ADC samples" \
	    $(DEMO_INPUT).truth.json "the simulation's truth: baselines, noise, gains" \
	    calib.out "commentary (standard output)" \
	    $$log "gain table" $$log.bininfo "zero-run and peak-position statistics" \
	    png/calib/$(DEMO_CHIP)/$(DEMO_CONFIG)/ "plots ($$(ls png/calib/$(DEMO_CHIP)/$(DEMO_CONFIG) | wc -l) PNG files)"; \
	  echo; echo "Gain table (first lines):"; head -n 8 $$log; \
	  echo; echo "Start of the bin-information file:"; head -n 12 $$log.bininfo; \
	  exit $$status

# Benchmarks: always a Release build, with the benchmark targets switched on
# (make build switches them off again). Runs the micro-benchmarks, then the
# whole-process benchmark, which writes its table into bench/README.md.
bench: deps
	@mkdir -p $(BUILD_DIR)
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DCALIB_BENCH=ON > $(BUILD_DIR)/configure.log 2>&1 \
	  || { cat $(BUILD_DIR)/configure.log; exit 1; }
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target calib.exe calib-sim calib-batch calib_micro_bench \
	  calib-bench-process calib-bench-yardstick calib-bench-batch calib-bench-watch
	@$(BUILD_DIR)/bench/calib_micro_bench --benchmark_min_time=$(BENCH_MIN_TIME)
	@$(BUILD_DIR)/bench/calib-bench-process
	@$(BUILD_DIR)/bench/calib-bench-batch
	@$(BUILD_DIR)/bench/calib-bench-watch --idle $(BENCH_WATCH_IDLE)

clean:
	@rm -rf $(BUILD_DIR) $(ASAN_DIR) $(TSAN_DIR) $(FUZZ_DIR)
