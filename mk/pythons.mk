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
# exactly there.
test-refs:
	$(IN_SID) make --no-print-directory install VENV=.venv-314d BUILD_DIR=build/314d PYTHON=python3.14d
	$(IN_SID) .venv-314d/bin/python -m pytest -k 'no_leaks or leak_check or refcount' $(PYTEST_ARGS)
