# Set-up and everyday commands. Everything is installed into .venv by these
# targets; PYTHON=/path/to/python3.12 overrides the interpreter search.
VENV ?= .venv
BUILD_DIR ?= build/release
# MODULES="dimora;faultum" builds only those modules (for work on one of them);
# empty builds every module under src/valdrix.
MODULES ?=
PIP_EXTRA ?=
PYTEST_ARGS ?=
PY := $(VENV)/bin/python
PIP_INSTALL := $(PY) -m pip install --disable-pip-version-check -q

.PHONY: test demo install venv clean sanitize test-313 fuzz

# The build tools are pyproject.toml's build requirements, plus CMake and ninja.
$(VENV)/.created:
	@python=$$(tools/find-python) && echo "Using $$python" && "$$python" -m venv $(VENV)
	$(PIP_INSTALL) --upgrade pip
	$(PY) tools/build-requirements > $(VENV)/build-requirements.txt
	$(PIP_INSTALL) -r $(VENV)/build-requirements.txt cmake ninja
	@touch $@

venv: $(VENV)/.created

# Builds the C++ modules and installs the package (incremental rebuilds reuse
# BUILD_DIR). The module selection is passed on every run because CMake keeps
# the last one it was given in the build directory's cache. tools/progress
# prints each step with its time; pip's whole output goes to BUILD_DIR.log.
install: venv
	@tools/progress "build $(BUILD_DIR)" $(BUILD_DIR).log -- $(PY) -m pip install --disable-pip-version-check -v \
	    --no-build-isolation -Cbuild-dir=$(BUILD_DIR) $(PIP_EXTRA) -Ccmake.define.VALDRIX_MODULES="$(MODULES)" ".[test]"

test: install
	$(PY) -m pytest $(PYTEST_ARGS)

demo: install
	$(PY) examples/demo.py

# The whole suite against modules built with AddressSanitizer and
# UndefinedBehaviorSanitizer, in a separate environment (.venv-asan).
# The interpreter is not instrumented, so the compiler's sanitizer runtimes are
# preloaded (tools/sanitizer-preload, shared with fuzz/run.sh); CXX=clang++
# selects clang, whose build gets a directory of its own.
SAN_FAMILY = $(shell CXX='$(CXX)' tools/sanitizer-preload --family)
sanitize:
	CXX=$(CXX) $(MAKE) install VENV=.venv-asan BUILD_DIR=build/asan$(if $(filter clang,$(SAN_FAMILY)),-clang) \
	    PIP_EXTRA='-Ccmake.define.VALDRIX_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo'
	preload=$$(CXX='$(CXX)' tools/sanitizer-preload) && \
	LD_PRELOAD="$$preload" PYTHONMALLOC=malloc VALDRIX_SANITIZED=1 \
	    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    .venv-asan/bin/python -m pytest $(PYTEST_ARGS)

# The whole suite on CPython 3.13, in its own environment (.venv-313) and
# build directory.
test-313:
	PYTHON_VERSION_WANTED=3.13 $(MAKE) install VENV=.venv-313 BUILD_DIR=build/313
	.venv-313/bin/python -m pytest $(PYTEST_ARGS)

# A bounded fuzzing session of every harness in fuzz/ (atheris, in .venv-fuzz);
# FUZZ_SECONDS per harness. `FUZZ_SANITIZE=1 fuzz/run.sh` runs them on an ASan/UBSan build.
FUZZ_SECONDS ?= 30
fuzz:
	fuzz/run.sh $(FUZZ_SECONDS)

include mk/cpp.mk
include mk/bench.mk

clean:
	rm -rf $(VENV) build

include mk/pythons.mk
include mk/ship.mk
