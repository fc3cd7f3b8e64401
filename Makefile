PYTHON ?= python3
CPP_BUILD ?= build/cpp
BENCH_BUILD ?= build/bench
JOBS ?= $(shell nproc)
# CI builds with warnings as errors.
WERROR := $(if $(CI),ON,OFF)

.PHONY: all deps install cpp-test py-test test demo bench clean

all: install

deps:
	PYTHON=$(PYTHON) scripts/install-deps

# Builds the wheel's extension in place and installs the sferix distribution.
install: deps
	$(PYTHON) -m pip install --quiet --no-build-isolation \
		--config-settings=cmake.define.SFERIX_WERROR=$(WERROR) .

cpp-test: deps
	cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DSFERIX_BUILD_TESTS=ON -DSFERIX_WERROR=$(WERROR)
	cmake --build $(CPP_BUILD) -j $(JOBS)
	cd $(CPP_BUILD) && ctest --output-on-failure -j $(JOBS)

py-test: install
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
