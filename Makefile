# SPDX-License-Identifier: MIT
# Two commands matter: `make demo` and `make test`. Both build first.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 25
FUZZ_MERGE ?=
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

.PHONY: all build test test-asan test-tsan fuzz fuzz-run demo examples bench package clean

# The Debian packages the demo and the examples need; `make test` needs all
# of the README's install line. Missing ones are installed first when run as
# root, else the command stops with the apt-get line to run (.ci/packages).
DEMO_PACKAGES = g++ cmake make iproute2 util-linux
EXAMPLE_PACKAGES = $(DEMO_PACKAGES) pkg-config gnucobol python3

# The Python package's tests (python/tests) after the others; a sanitizer
# build's library cannot be loaded into the Python interpreter.
PYTHON_TESTS ?= yes

all: build

build:
	cmake -S . -B $(BUILD) -DBUILD_TESTING=ON $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)

test:
	@sh .ci/packages
	$(MAKE) build
	cd $(BUILD) && ctest --output-on-failure -j $$(( $(JOBS) * 2 ))
	@[ -z "$(PYTHON_TESTS)" ] || sh python/tests/run.sh $(BUILD)

test-asan:
	$(MAKE) test BUILD=$(ASAN_BUILD) CMAKE_ARGS="-DXELBDE_SANITIZE=ON $(CMAKE_ARGS)" PYTHON_TESTS=

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

# The tour needs the programs only: no tests, benchmarks or fuzz targets.
demo:
	@sh .ci/packages $(DEMO_PACKAGES)
	cmake -S . -B $(BUILD) -DBUILD_TESTING=OFF $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS) --target xelcmd xelfleet bdesim
	sh demo/demo.sh $(BUILD)

# The examples in C, COBOL and Python against a simulated terminal.
examples:
	@sh .ci/packages $(EXAMPLE_PACKAGES)
	cmake -S . -B $(BUILD) -DBUILD_TESTING=OFF $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS) --target xelbde_shared bdesim
	sh examples/run.sh $(BUILD)

bench: build
	sh bench/run.sh $(BUILD)

# The Debian packages (debian/) and their source package in
# $(BUILD)/packages, built without the tests (`make test` runs them) from a
# copy of the source tree in $(DEB_STAGE), so that dpkg-buildpackage writes
# nothing into the tree or beside it.
DEB_STAGE = $(BUILD)/debian-src
package:
	@sh .ci/packages
	rm -rf $(DEB_STAGE) $(BUILD)/packages
	v=$$(dpkg-parsechangelog -S Version) && mkdir -p $(DEB_STAGE)/xelbde-$$v $(BUILD)/packages && \
	  tar -cf - --exclude=__pycache__ --exclude='*.egg-info' --exclude=.mypy_cache --exclude=.pytest_cache \
	      $$(ls -A | grep -v -x -e .git -e 'build.*' -e 'obj-.*' -e '$(firstword $(subst /, ,$(BUILD)))') | \
	  tar -xf - -C $(DEB_STAGE)/xelbde-$$v && \
	  cd $(DEB_STAGE) && dpkg-source -b xelbde-$$v && cd xelbde-$$v && \
	  DEB_BUILD_OPTIONS="nocheck noautodbgsym" dpkg-buildpackage -us -uc -b -Pnocheck -J$(JOBS)
	cp $(DEB_STAGE)/*.deb $(DEB_STAGE)/*.dsc $(DEB_STAGE)/*.tar.* $(DEB_STAGE)/*.buildinfo $(DEB_STAGE)/*.changes \
	   $(BUILD)/packages/

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
