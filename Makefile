# Two commands matter: `make demo` and `make test`. Both build first.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

.PHONY: all build test test-asan demo bench package clean

all: build

build:
	cmake -S . -B $(BUILD) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $$(( $(JOBS) * 2 ))

test-asan:
	$(MAKE) test BUILD=$(ASAN_BUILD) CMAKE_ARGS="-DXELBDE_SANITIZE=ON $(CMAKE_ARGS)"

demo: build
	sh demo/demo.sh $(BUILD)

bench: build
	sh bench/run.sh $(BUILD)

# Debian packages xelbde and xelbde-dev in $(BUILD).
package: build
	cmake --build $(BUILD) --target package

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
