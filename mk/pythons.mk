# CPython versions this machine's own sources lack (3.14, 3.15, and 3.14's
# debug build for reference counts), run inside a minimal Debian sid root made
# by tools/debian-root (first use about two minutes; kept under SID_ROOT).
# Each version has its own environment and build directory in this tree,
# usable only inside the root.
SID_ROOT ?= .roots/sid
IN_SID := tools/debian-root $(SID_ROOT)

.PHONY: test-314 test-315 test-refs sid-root

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
	    --no-binary pillow --no-cache-dir --force-reinstall --no-deps "Pillow>=10.1"
	@touch $@

test-refs: $(DEBUG_VENV)/.debug-pillow
	$(IN_SID) make --no-print-directory install VENV=$(DEBUG_VENV) BUILD_DIR=build/314d PYTHON=python3.14d
	$(IN_SID) $(DEBUG_VENV)/bin/python -m pytest -k 'no_leaks or leak_check or refcount' $(PYTEST_ARGS)
