PYTHON ?= python3
CPP_BUILD ?= build/cpp
BENCH_BUILD ?= build/bench
WHEEL_DIR ?= build/wheel
JOBS ?= $(shell nproc)
# CI builds with warnings as errors.
WERROR := $(if $(CI),ON,OFF)

.PHONY: all deps wheel install abi3-check cpp-test py-test test demo bench clean

all: install

deps:
	PYTHON=$(PYTHON) scripts/install-deps

# One cp310-abi3 wheel, built incrementally in build/cp310-abi3-*; installed and audited.
wheel: deps
	rm -rf $(WHEEL_DIR)
	$(PYTHON) -m pip wheel --quiet --no-build-isolation --no-deps -w $(WHEEL_DIR) \
		--config-settings=cmake.define.SFERIX_WERROR=$(WERROR) .

install: wheel
	$(PYTHON) -m pip install --quiet --force-reinstall --no-deps $(WHEEL_DIR)/sferix-*.whl

# The wheel may use only the 3.10 stable ABI.
abi3-check: wheel
	$(PYTHON) -m abi3audit --strict --verbose $(WHEEL_DIR)/sferix-*.whl

cpp-test: deps
	cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DSFERIX_BUILD_TESTS=ON -DSFERIX_WERROR=$(WERROR)
	cmake --build $(CPP_BUILD) -j $(JOBS)
	cd $(CPP_BUILD) && ctest --output-on-failure -j $(JOBS)

py-test: install abi3-check
	$(PYTHON) -m pytest -q tests/python

test: cpp-test py-test

demo: deps
	PYTHON=$(PYTHON) scripts/install-deps --demo
	$(MAKE) install
	$(PYTHON) examples/world_cities.py

bench:
	PYTHON=$(PYTHON) scripts/install-deps --benchmarks
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DSFERIX_BUILD_BENCHMARKS=ON
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	$(BENCH_BUILD)/benchmarks/rtree_benchmark
	$(BENCH_BUILD)/benchmarks/geodetic_benchmark

clean:
	rm -rf build
