// A minimal test harness: self-registering cases, checks that report and
// carry on, and one seeded random source (VXCORE_TEST_SEED=<n> picks other
// inputs; a failure is replayed with the seed its run printed).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace vxtest {

struct Case {
    const char *name;
    void (*run)();
};

inline std::vector<Case> &cases() {
    static std::vector<Case> registered;
    return registered;
}

inline bool add(const char *name, void (*run)()) {
    cases().push_back({name, run});
    return true;
}

struct State {
    long failures = 0;
    long checks = 0;
    std::uint64_t seed = 0;
};

inline State &state() {
    static State current;
    return current;
}

// Only the first reports of a run are printed; a broken invariant tends to
// fail thousands of times in a loop.
inline void fail(const char *file, int line, const std::string &what) {
    if (++state().failures <= 25)
        std::fprintf(stderr, "%s:%d: FAILED: %s\n", file, line, what.c_str());
}

template <class T> std::string show(const T &value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

// Each case gets its own generator, seeded from the run's seed and the case's
// name, so adding a case does not change the inputs of the others.
inline std::mt19937_64 rng(const char *salt) {
    std::uint64_t h = state().seed ^ 0x9E3779B97F4A7C15ull;
    for (const char *c = salt; *c; ++c)
        h = (h ^ static_cast<unsigned char>(*c)) * 0x100000001B3ull;
    return std::mt19937_64(h);
}

} // namespace vxtest

#define VX_TEST(name)                                                                                                  \
    static void name();                                                                                                \
    [[maybe_unused]] static const bool name##_registered = ::vxtest::add(#name, name);                                 \
    static void name()

#define CHECK(expr)                                                                                                    \
    do {                                                                                                               \
        ++::vxtest::state().checks;                                                                                    \
        if (!(expr))                                                                                                   \
            ::vxtest::fail(__FILE__, __LINE__, #expr);                                                                 \
    } while (0)

#define CHECK_EQ(actual, expected)                                                                                     \
    do {                                                                                                               \
        ++::vxtest::state().checks;                                                                                    \
        const auto &vx_actual = (actual);                                                                              \
        const auto &vx_expected = (expected);                                                                          \
        if (!(vx_actual == vx_expected))                                                                               \
            ::vxtest::fail(__FILE__, __LINE__,                                                                         \
                           std::string(#actual " == " #expected ": got ") + ::vxtest::show(vx_actual) +                \
                               ", expected " + ::vxtest::show(vx_expected));                                           \
    } while (0)
