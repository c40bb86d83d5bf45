# CPython versions this machine's own sources lack (3.14, 3.15, and 3.14's
# debug build for reference counts), run inside a minimal Debian sid root made
# by tools/debian-root (first use about two minutes; kept under SID_ROOT).
# Each version has its own environment and build directory in this tree,
# usable only inside the root.
SID_ROOT ?= .roots/sid
IN_SID := tools/debian-root $(SID_ROOT)

.PHONY: test-314 test-315 test-refs sid-root test-floor test-floor-312 test-floor-313 test-floor-314 test-floor-315

sid-root:
	$(IN_SID)

test-314 test-315: test-31%:
	$(IN_SID) make --no-print-directory test VENV=.venv-31$* BUILD_DIR=build/31$* \
	    PYTHON=python3.1$* PYTEST_ARGS='$(PYTEST_ARGS)'

# Reference counts on Debian's debug interpreter (sys.gettotalrefcount): every
# leak check of the suite, and tests/refcount's wider table, count references
# exactly there. Pillow is built from source for it: a release-built extension
# loads there too, but its reference changes escape the total.
DEBUG_VENV := .venv-314d
$(DEBUG_VENV)/.debug-pillow:
	$(IN_SID) make --no-print-directory venv VENV=$(DEBUG_VENV) PYTHON=python3.14d
	$(IN_SID) $(DEBUG_VENV)/bin/python -m pip install --disable-pip-version-check -q \
	    --no-binary pillow --no-cache-dir --force-reinstall --no-deps Pillow
	@touch $@

test-refs: $(DEBUG_VENV)/.debug-pillow
	$(IN_SID) make --no-print-directory install VENV=$(DEBUG_VENV) BUILD_DIR=build/314d PYTHON=python3.14d
	$(IN_SID) $(DEBUG_VENV)/bin/python -m pytest -k 'no_leaks or leak_check or refcount' $(PYTEST_ARGS)

# The whole suite on each Python with exactly the oldest run-time dependencies
# that pyproject.toml admits there (tools/test-floor), each in a fresh
# .venv-floor-3.XY, against a wheel of that Python's development build (so
# after test, test-313, test-314 and test-315 nothing is compiled again).
test-floor: test-floor-312 test-floor-313 test-floor-314 test-floor-315

test-floor-312: install
	VALDRIX_MODULES="$(MODULES)" tools/test-floor $(VENV) $(BUILD_DIR) $(PYTEST_ARGS)

test-floor-313:
	PYTHON_VERSION_WANTED=3.13 $(MAKE) --no-print-directory install VENV=.venv-313 BUILD_DIR=build/313
	VALDRIX_MODULES="$(MODULES)" tools/test-floor .venv-313 build/313 $(PYTEST_ARGS)

test-floor-314 test-floor-315: test-floor-31%:
	$(IN_SID) make --no-print-directory install VENV=.venv-31$* BUILD_DIR=build/31$* PYTHON=python3.1$*
	$(IN_SID) env VALDRIX_MODULES="$(MODULES)" tools/test-floor .venv-31$* build/31$* $(PYTEST_ARGS)
