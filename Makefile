# Set-up and everyday commands. Everything is installed into .venv by these
# targets; PYTHON=/path/to/python3.12 overrides the interpreter search.
VENV ?= .venv
BUILD_DIR ?= build/release
# MODULES="dimora;faultum" builds only those modules (for work on one of them).
MODULES ?=
PY := $(VENV)/bin/python
PIP_INSTALL := $(PY) -m pip install --disable-pip-version-check -q

.PHONY: test demo bench install venv clean

$(VENV)/.created:
	@python=$$(tools/find-python) && echo "Using $$python" && "$$python" -m venv $(VENV)
	$(PIP_INSTALL) --upgrade pip
	$(PIP_INSTALL) "scikit-build-core>=0.10" "nanobind>=2.4,<4" cmake ninja
	@touch $@

venv: $(VENV)/.created

# Builds the C++ modules and installs the package (incremental rebuilds reuse BUILD_DIR).
install: venv
	$(PIP_INSTALL) --no-build-isolation -Cbuild-dir=$(BUILD_DIR) $(if $(MODULES),-Ccmake.define.VALDRIX_MODULES="$(MODULES)") ".[test]"

test: install
	$(PY) -m pytest

demo: install
	$(PY) examples/demo.py

bench: install
	$(PY) bench/run_all.py

clean:
	rm -rf $(VENV) build
