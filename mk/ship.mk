# Release engineering: portable wheels and their test, the sdist, the clang
# -Werror build and formatting. Release tools live in .venv-ship (pinned in
# tools/ship-requirements.txt).

SHIP_VENV := .venv-ship
SHIP_PY := $(SHIP_VENV)/bin/python
# Wheels are built for every supported version found here; 3.12 and 3.13 must be.
WHEEL_VERSIONS_REQUIRED ?= 3.12 3.13
WHEEL_VERSIONS_OPTIONAL ?= 3.14 3.15
# The clang build checks the oldest clang the README names.
CLANG_CXX ?= $(or $(shell command -v clang++-15),clang++)
FORMAT_FILES = $(shell git ls-files '*.cpp' '*.hpp' '*.h' 2>/dev/null || find src include -name '*.[ch]pp')

.PHONY: ship-venv wheel test-wheel sdist test-sdist check-clang format format-check ci-setup check-cibuildwheel

$(SHIP_VENV)/.created: tools/ship-requirements.txt
	@python=$$(tools/find-python) && "$$python" -m venv $(SHIP_VENV)
	$(SHIP_PY) -m pip install --disable-pip-version-check -q -r tools/ship-requirements.txt
	@touch $@

ship-venv: $(SHIP_VENV)/.created

# Repaired manylinux wheels in wheelhouse/ (Linux; other platforms: cibuildwheel).
wheel: ship-venv
	@for v in $(WHEEL_VERSIONS_REQUIRED); do tools/build-wheel $$v required || exit 1; done
	@for v in $(WHEEL_VERSIONS_OPTIONAL); do tools/build-wheel $$v optional || exit 1; done

# The whole suite against each wheel, installed alone into a fresh venv.
test-wheel: wheel
	@for v in $(WHEEL_VERSIONS_REQUIRED); do tools/test-wheel $$v required $(PYTEST_ARGS) || exit 1; done
	@for v in $(WHEEL_VERSIONS_OPTIONAL); do tools/test-wheel $$v optional $(PYTEST_ARGS) || exit 1; done

sdist: ship-venv
	rm -f dist/valdrix-*.tar.gz
	$(SHIP_PY) -m build --sdist --outdir dist .

# The sdist must build and install with pip alone in a fresh venv.
test-sdist: sdist
	rm -rf .venv-sdisttest
	@python=$$(tools/find-python) && "$$python" -m venv .venv-sdisttest
	.venv-sdisttest/bin/python -m pip install --disable-pip-version-check -q dist/valdrix-*.tar.gz
	cd /tmp && $(CURDIR)/.venv-sdisttest/bin/python -c "import valdrix.canvora, valdrix.resize, valdrix.aspekta, \
	    valdrix.dimora, valdrix.lexgard, valdrix.response.faultum, valdrix.response.faultrol, \
	    valdrix.comfyui.halvane as h; print('sdist installs and imports:', h.__file__)"

# Every module built with clang and warnings as errors (build only; the wheel
# test runs the suite on a clang build).
check-clang: venv
	CXX=$(CLANG_CXX) $(PY) -m pip wheel --disable-pip-version-check -q --no-build-isolation --no-deps \
	    -w build/clang-dist -Cbuild-dir=build/clang -Ccmake.define.VALDRIX_WERROR=ON .

format: ship-venv
	$(SHIP_VENV)/bin/clang-format -i $(FORMAT_FILES)

format-check: ship-venv
	$(SHIP_VENV)/bin/clang-format --dry-run --Werror $(FORMAT_FILES)

# What CI needs beyond PyPI: clang from Debian for check-clang (as root only;
# elsewhere install clang yourself or set CLANG_CXX).
ci-setup:
	@if command -v clang++-15 >/dev/null; then echo "clang++-15 present"; \
	elif [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	    apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends clang-15; \
	else echo "ci-setup: no clang++-15; install clang 15 or set CLANG_CXX" >&2; fi

# The cibuildwheel configuration parses and selects the intended builds on every platform.
check-cibuildwheel: ship-venv
	@for platform in linux macos windows; do \
	    echo "$$platform:" $$($(SHIP_VENV)/bin/cibuildwheel --print-build-identifiers --platform $$platform) || exit 1; done
