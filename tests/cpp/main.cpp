// Runs every registered case, or those whose names contain an argument.
#include <cstring>

#include "harness.hpp"

int main(int argc, char **argv) {
    const char *seed_text = std::getenv("VXCORE_TEST_SEED");
    // A fixed default keeps runs reproducible; set the variable to explore other inputs.
    vxtest::state().seed = seed_text ? std::strtoull(seed_text, nullptr, 0) : 20261208;
    std::printf("vxcore tests, VXCORE_TEST_SEED=%llu\n", static_cast<unsigned long long>(vxtest::state().seed));
    int run = 0;
    for (const vxtest::Case &test : vxtest::cases()) {
        bool selected = argc < 2;
        for (int i = 1; i < argc; ++i)
            selected = selected || std::strstr(test.name, argv[i]) != nullptr;
        if (!selected)
            continue;
        long before = vxtest::state().failures;
        test.run();
        ++run;
        std::printf("%-4s %s\n", vxtest::state().failures == before ? "ok" : "FAIL", test.name);
    }
    std::printf("%d cases, %ld checks, %ld failed\n", run, vxtest::state().checks, vxtest::state().failures);
    return vxtest::state().failures == 0 && run > 0 ? 0 : 1;
}
