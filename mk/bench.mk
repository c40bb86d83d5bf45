# The benchmarks, in their own environment (.venv-bench, the package installed
# as `make install` does, its own build directory), each row timing the same
# call three ways: the plain-Python twin in reference/, that twin compiled with
# Cython (package reference_cy, built in CYTHON_BUILD_DIR) and valdrix.
# BENCH_ARGS is passed to bench/run_all.py: names select benchmark files,
# --best-of 3 keeps each column's best of three runs.
BENCH_VENV ?= .venv-bench
BENCH_BUILD_DIR ?= build/bench
CYTHON_BUILD_DIR ?= build/cython-twins
BENCH_ARGS ?=
BENCH_PY := $(BENCH_VENV)/bin/python

.PHONY: bench bench-tools

$(BENCH_VENV)/.bench-tools: bench/requirements.txt
	$(MAKE) venv VENV=$(BENCH_VENV)
	$(BENCH_PY) -m pip install --disable-pip-version-check -q -r bench/requirements.txt
	@touch $@

bench-tools: $(BENCH_VENV)/.bench-tools

bench: bench-tools
	$(MAKE) install VENV=$(BENCH_VENV) BUILD_DIR=$(BENCH_BUILD_DIR)
	$(BENCH_PY) bench/cython_twins.py $(CYTHON_BUILD_DIR)
	VALDRIX_CYTHON_TWINS=$(abspath $(CYTHON_BUILD_DIR)) $(BENCH_PY) bench/run_all.py $(BENCH_ARGS)
