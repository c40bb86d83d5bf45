# The C++ tests of the pure computations in include/vxcore (tests/cpp), built
# on their own (no Python, no nanobind) with AddressSanitizer and
# UndefinedBehaviorSanitizer, and run. CMake and ninja come from the venv.
# VXCORE_TEST_SEED=<n> runs the random cases on other inputs.
CPP_BUILD_DIR ?= build/cpp

.PHONY: test-cpp
test-cpp: venv
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S tests/cpp -B $(CPP_BUILD_DIR) -G Ninja \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVXCORE_SANITIZE=ON
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(CPP_BUILD_DIR)
	ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    $(CPP_BUILD_DIR)/vxcore_tests
