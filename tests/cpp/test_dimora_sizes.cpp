// Size calculation for every ratio up to 64:64 and every tier: each result
// the calculator reports as done must meet every limit of the model, keep the
// requested shape without turning it, and grow with the tier.
#include <algorithm>
#include <cmath>
#include <string>

#include "harness.hpp"
#include "vxcore/dimora_sizes.hpp"

namespace {

using namespace vxcore::dimora;

constexpr SizeLimits kLimits{655360, 8294400, 3840, 16, 3.0};

struct Tier {
    const char *name;
    int64_t pixels;
};
// The shipped tiers, then targets below the pixel floor and above the ceiling,
// which the calculation clamps.
constexpr Tier kTiers[] = {{"1k", 1572516}, {"2k", 3686400}, {"4k", 8294400}, {"tiny", 1}, {"huge", int64_t{1} << 40}};

std::string show(const CalculatedSize &size) {
    return std::to_string(size.width) + "x" + std::to_string(size.height);
}

bool meets_every_limit(const CalculatedSize &size, const SizeLimits &limits) {
    int64_t long_edge = std::max(size.width, size.height), short_edge = std::min(size.width, size.height);
    return size.width % limits.multiple == 0 && size.height % limits.multiple == 0 && long_edge <= limits.max_edge &&
           static_cast<double>(long_edge) / static_cast<double>(short_edge) <= limits.max_ratio &&
           limits.min_pixels <= size.pixels && size.pixels <= limits.max_pixels;
}

} // namespace

VX_TEST(dimora_known_sizes) {
    auto size = [](int64_t w, int64_t h, int64_t pixels) {
        CalculatedSize result{};
        Outcome outcome = calc_size(w, h, pixels, kLimits, result);
        return outcome == Outcome::done             ? show(result)
               : outcome == Outcome::ratio_too_wide ? "too wide"
                                                    : "interpreter";
    };
    CHECK_EQ(size(16, 9, 8294400), "3840x2160");
    CHECK_EQ(size(21, 9, 3686400), "2928x1264");
    CHECK_EQ(size(1, 1, 3686400), "1920x1920");
    CHECK_EQ(size(3, 1, 8294400), "3840x1280"); // a ratio of exactly the limit passes
    CHECK_EQ(size(31, 10, 3686400), "too wide");
    CHECK_EQ(size(16, 0, 3686400), "interpreter"); // ZeroDivisionError is the interpreter's
    CHECK_EQ(size(0, 9, 3686400), "interpreter");
    CHECK_EQ(size(-16, 9, 3686400), "interpreter");                 // math domain error
    CHECK(round_to_multiple(40, 16) == std::optional<int64_t>(32)); // 2.5 rounds to even
    CHECK(round_to_multiple(56, 16) == std::optional<int64_t>(64)); // 3.5 rounds to even
    CHECK(round_to_multiple(1, 16) == std::optional<int64_t>(16));  // never below one multiple
    CHECK(floor_to_multiple(47, 16) == std::optional<int64_t>(32));
    CHECK(floor_to_multiple(-47, 16) == std::optional<int64_t>(16));
    CHECK(!round_to_multiple(INFINITY, 16).has_value());
    CHECK(!round_to_multiple(NAN, 16).has_value());
    CHECK(!floor_to_multiple(10, 0).has_value());
    CHECK(is_valid_image_size(3840, 1280, kLimits) == std::optional<bool>(true));
    CHECK(is_valid_image_size(3856, 2160, kLimits) == std::optional<bool>(false));
    CHECK(!is_valid_image_size(0, 2160, kLimits).has_value());
    CHECK_EQ(round_half_even(2.5), 2.0);
    CHECK_EQ(round_half_even(-2.5), -2.0);
    CHECK_EQ(round_half_even(3.5), 4.0);
    CHECK_EQ(round_half_even(0.49999999999999994), 0.0);
}

VX_TEST(dimora_every_ratio_and_tier_meets_the_limits) {
    for (int64_t w = 1; w <= 64; ++w)
        for (int64_t h = 1; h <= 64; ++h) {
            double wanted = static_cast<double>(w) / static_cast<double>(h);
            bool too_wide = static_cast<double>(std::max(w, h)) / static_cast<double>(std::min(w, h)) > 3.0;
            int64_t previous_pixels = 0;
            for (const Tier &tier : kTiers) {
                CalculatedSize size{};
                Outcome outcome = calc_size(w, h, tier.pixels, kLimits, size);
                std::string where = std::to_string(w) + ":" + std::to_string(h) + " " + tier.name + " -> " + show(size);
                if (too_wide) {
                    CHECK_EQ(outcome == Outcome::ratio_too_wide, true);
                    continue;
                }
                if (outcome != Outcome::done) {
                    vxtest::fail(__FILE__, __LINE__, "not computed natively: " + where);
                    continue;
                }
                if (!size.valid || !meets_every_limit(size, kLimits) || size.pixels != size.width * size.height)
                    vxtest::fail(__FILE__, __LINE__, "limits broken: " + where);
                CHECK(is_valid_image_size(size.width, size.height, kLimits) == std::optional<bool>(size.valid));
                // Orientation never turned (a near-square ratio may come out square on small
                // tiers), and the shape within what aligning both edges to 16 costs.
                CHECK(w > h   ? size.width >= size.height
                      : w < h ? size.width <= size.height
                              : size.width == size.height);
                double shape = static_cast<double>(size.width) / static_cast<double>(size.height) / wanted;
                if (std::fabs(shape - 1.0) > 0.03)
                    vxtest::fail(__FILE__, __LINE__, "shape drifted: " + where);
                // Tiers are listed by size except the two clamped ones at the end.
                if (tier.pixels >= previous_pixels && size.pixels < previous_pixels)
                    vxtest::fail(__FILE__, __LINE__, "a larger tier gave fewer pixels: " + where);
                previous_pixels = std::max(previous_pixels, size.pixels);
                // Equal ratios are one double: 2w:2h gives the very same size.
                CalculatedSize doubled{};
                CHECK(calc_size(2 * w, 2 * h, tier.pixels, kLimits, doubled) == Outcome::done &&
                      doubled.width == size.width && doubled.height == size.height);
            }
        }
}

VX_TEST(dimora_clamped_tiers_equal_the_limits_tiers) {
    for (int64_t w = 1; w <= 64; ++w)
        for (int64_t h = 1; h <= 64; h += 7) {
            CalculatedSize below{}, floor_tier{}, above{}, ceiling_tier{};
            if (calc_size(w, h, 1, kLimits, below) != Outcome::done)
                continue;
            CHECK(calc_size(w, h, kLimits.min_pixels, kLimits, floor_tier) == Outcome::done);
            CHECK(below.width == floor_tier.width && below.height == floor_tier.height);
            CHECK(calc_size(w, h, int64_t{1} << 40, kLimits, above) == Outcome::done);
            CHECK(calc_size(w, h, kLimits.max_pixels, kLimits, ceiling_tier) == Outcome::done);
            CHECK(above.width == ceiling_tier.width && above.height == ceiling_tier.height);
        }
}

VX_TEST(dimora_plain_ratio_text) {
    auto parse = [](std::string_view text) {
        auto ratio = parse_plain_ratio(text);
        return ratio ? std::to_string(ratio->first) + "," + std::to_string(ratio->second) : std::string("interpreter");
    };
    CHECK_EQ(parse("16:9"), "16,9");
    CHECK_EQ(parse("-16:+9"), "-16,9");
    CHECK_EQ(parse("999999999999999:1"), "999999999999999,1");
    // Everything int() and split() must judge themselves.
    for (std::string_view text : {"16", "16:9:1", " 16:9", "1_6:9", ":9", "16:", "+:9", "1000000000000000:1", "16:９"})
        CHECK_EQ(parse(text), "interpreter");
}
