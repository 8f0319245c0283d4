# Two commands matter: `make demo` and `make test`. Both build first.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 25
FUZZ_MERGE ?=
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

.PHONY: all build test test-asan test-tsan fuzz fuzz-run demo bench package clean

all: build

build:
	cmake -S . -B $(BUILD) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $$(( $(JOBS) * 2 ))

test-asan:
	$(MAKE) test BUILD=$(ASAN_BUILD) CMAKE_ARGS="-DXELBDE_SANITIZE=ON $(CMAKE_ARGS)"

# The thread tests under ThreadSanitizer: the 128-thread run and the tests of
# the registry, the named locks, the log, the terminal table, shared uploads
# and xelfleet (whose inventory runs threads).
# A report fails its test when the process ends (exit status 66), after the
# test has stopped its bdesim.
TSAN_TESTS = e2e_threads_test registry_test namedlock_test log_test log_multiproc_test terminal_ini_test upload_test \
             e2e_fleet_test
test-tsan:
	cmake -S . -B $(TSAN_BUILD) -DXELBDE_TSAN=ON $(CMAKE_ARGS)
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target $(TSAN_TESTS) xelcmd xelfleet bdesim
	cd $(TSAN_BUILD) && TSAN_OPTIONS="second_deadlock_stack=1" \
	  ctest --output-on-failure -j $(JOBS) -L '^($(shell echo $(TSAN_TESTS) | tr ' ' '|'))$$'

# The fuzz targets built with clang, libFuzzer, ASan and UBSan; fuzz-run runs
# each for FUZZ_SECONDS over its committed corpus, FUZZ_MERGE=merge merges
# what it found into the corpus (fuzz/README.md).
fuzz:
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DXELBDE_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target terminal_ini_fuzz log_line_fuzz call_fuzz

fuzz-run: fuzz
	sh fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_MERGE)

demo: build
	sh demo/demo.sh $(BUILD)

bench: build
	sh bench/run.sh $(BUILD)

# Debian packages xelbde and xelbde-dev in $(BUILD).
package: build
	cmake --build $(BUILD) --target package

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
