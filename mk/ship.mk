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

.PHONY: ship-venv wheel test-wheel sdist test-sdist check-clang format format-check ci-setup check-cibuildwheel \
    check-types test-aarch64

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

# The sdist's file list and metadata are checked (tools/check-sdist); it must
# build and install with pip alone in a fresh venv, and the whole suite must
# pass when run from the unpacked sdist against that install.
test-sdist: sdist
	$(SHIP_PY) tools/check-sdist dist/valdrix-*.tar.gz
	rm -rf .venv-sdisttest build/sdist-tree
	@python=$$(tools/find-python) && "$$python" -m venv .venv-sdisttest
	@tools/progress "sdist" build/sdist-install.log -- .venv-sdisttest/bin/python -m pip install \
	    --disable-pip-version-check -v "$$(ls dist/valdrix-*.tar.gz)[test]"
	mkdir -p build/sdist-tree && tar -xzf dist/valdrix-*.tar.gz -C build/sdist-tree --strip-components=1
	cd build/sdist-tree && $(CURDIR)/.venv-sdisttest/bin/python -m pytest $(PYTEST_ARGS)

# The example hosts (one uses every public name) under mypy --strict and under
# pyright's strict mode, against the package installed in .venv, from a folder
# of their own so that neither checker sees the source tree. Pyright is
# basedpyright's build of it, which needs nothing beyond PyPI.
TYPED_HOSTS := $(abspath examples/host_example.py tests/hosts/every_public_name.py)
check-types: install ship-venv
	rm -rf build/check-types && mkdir -p build/check-types
	printf '[mypy]\n' > build/check-types/mypy.ini
	printf '{"typeCheckingMode": "strict"}\n' > build/check-types/pyrightconfig.json
	cd build/check-types && $(abspath $(PY)) -m mypy --strict --config-file mypy.ini $(TYPED_HOSTS)
	cd build/check-types && $(abspath $(SHIP_VENV))/bin/basedpyright --pythonpath $(abspath $(PY)) \
	    -p pyrightconfig.json $(TYPED_HOSTS)

# Every module built with clang and warnings as errors (build only; the wheel
# test runs the suite on a clang build).
check-clang: venv
	CXX=$(CLANG_CXX) $(PY) -m pip wheel --disable-pip-version-check -q --no-build-isolation --no-deps \
	    -w build/clang-dist -Cbuild-dir=build/clang -Ccmake.define.VALDRIX_WERROR=ON .

format: ship-venv
	$(SHIP_VENV)/bin/clang-format -i $(FORMAT_FILES)

# Formatting, and the native layer's rules that a compiler cannot check
# (tools/check-native-api).
format-check: ship-venv
	$(SHIP_VENV)/bin/clang-format --dry-run --Werror $(FORMAT_FILES)
	tools/check-native-api

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

# The aarch64 wheel, built and tested on this x86_64 machine: a Debian sid
# arm64 root (tools/debian-root --arch arm64, under qemu's user-mode
# emulation) runs pip, CMake and the suite; the compiler is this machine's
# own Zig, run natively, targeting aarch64 glibc 2.17. auditwheel repairs the
# wheel outside the root. On 2 cores: minutes to build (about 15 more the
# first time, while the root is made and Zig compiles libc++ for aarch64), and
# about 20 minutes of processor time for the suite under emulation.
ARM64_ROOT ?= .roots/sid-arm64
AARCH64_PYTHON ?= 3.14
IN_ARM64 := tools/debian-root --arch arm64 $(ARM64_ROOT)
test-aarch64: ship-venv
	@started=$$(date +%s) && $(IN_ARM64) tools/build-wheel $(AARCH64_PYTHON) unrepaired && \
	    tools/repair-wheel build/wheel-dist-$(AARCH64_PYTHON)-aarch64/valdrix-*.whl && \
	    echo "test-aarch64: wheel built in $$(( $$(date +%s) - started )) s"
	@started=$$(date +%s) && $(IN_ARM64) tools/test-wheel $(AARCH64_PYTHON) required $(PYTEST_ARGS) && \
	    echo "test-aarch64: suite passed under emulation in $$(( $$(date +%s) - started )) s"
