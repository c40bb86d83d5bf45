// Floor division, canvas fit, gcd signs, the approximate ratio search and the
// standard-ratio helpers, held against the interpreter's rules for the same
// expressions: known values from the interpreter, and properties that pin a
// result down without computing it the same way.
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>
#include <span>
#include <vector>

#include "harness.hpp"
#include "vxcore/arithmetic.hpp"
#include "vxcore/canvora_ratios.hpp"
#include "vxcore/fit.hpp"
#include "vxcore/ratio_search.hpp"

namespace {

constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

int sign(int64_t value) {
    return (value > 0) - (value < 0);
}

// Operands spread over every magnitude, the extremes included.
int64_t random_int(std::mt19937_64 &rng) {
    switch (rng() % 4) {
    case 0:
        return static_cast<int64_t>(rng() % 41) - 20;
    case 1:
        return static_cast<int64_t>(rng());
    case 2: {
        static constexpr int64_t edges[] = {kMin, kMin + 1, kMax, kMax - 1, -1, 0, 1, int64_t{1} << 53};
        return edges[rng() % std::size(edges)];
    }
    default:
        return static_cast<int64_t>(rng()) >> (rng() % 63);
    }
}

} // namespace

VX_TEST(floor_division_matches_the_interpreter_on_known_values) {
    struct Row {
        int64_t a, b, quotient, remainder;
    };
    // (a // b, a % b) as the interpreter gives them.
    static constexpr Row rows[] = {
        {7, 2, 3, 1},         {-7, 2, -4, 1},         {7, -2, -4, -1},        {-7, -2, 3, -1},
        {6, 3, 2, 0},         {-6, 3, -2, 0},         {0, -5, 0, 0},          {-1, 2, -1, 1},
        {1, -2, -1, -1},      {kMax, 2, kMax / 2, 1}, {kMin, 2, kMin / 2, 0}, {kMin, 3, -3074457345618258603, 1},
        {kMax, -1, -kMax, 0},
    };
    for (const Row &row : rows) {
        CHECK_EQ(vxcore::floor_divide(row.a, row.b), row.quotient);
        CHECK_EQ(vxcore::floored_modulo(row.a, row.b), row.remainder);
    }
}

VX_TEST(floor_division_is_euclidean_with_the_divisors_sign) {
    auto rng = vxtest::rng("floor");
    for (int n = 0; n < 200000; ++n) {
        int64_t a = random_int(rng), b = random_int(rng);
        if (b == 0 || (a == kMin && b == -1))
            continue;
        int64_t q = vxcore::floor_divide(a, b), r = vxcore::floored_modulo(a, b);
        // a == q*b + r with 0 <= |r| < |b| and r taking b's sign: that is floor division.
        CHECK(static_cast<__int128>(q) * b + r == a);
        CHECK(r == 0 || sign(r) == sign(b));
        CHECK(static_cast<__int128>(r < 0 ? -static_cast<__int128>(r) : r) <
              (b < 0 ? -static_cast<__int128>(b) : static_cast<__int128>(b)));
    }
}

VX_TEST(centring_offsets_put_an_odd_pixel_after_the_image) {
    CHECK_EQ(vxcore::canvora::centring_offset(11, 4), 3);  // surplus 7: 3 before, 4 after
    CHECK_EQ(vxcore::canvora::centring_offset(4, 11), -4); // deficit 7: 4 cropped before, 3 after
    auto rng = vxtest::rng("centring");
    for (int n = 0; n < 100000; ++n) {
        int64_t canvas = static_cast<int64_t>(rng() % 200001) - 100000;
        int64_t image = static_cast<int64_t>(rng() % 200001) - 100000;
        int64_t offset = vxcore::canvora::centring_offset(canvas, image);
        CHECK(0 <= canvas - image - 2 * offset && canvas - image - 2 * offset <= 1);
        CHECK_EQ(offset, vxcore::floor_divide(canvas - image, 2));
    }
}

VX_TEST(canvas_fit_known_values) {
    vxcore::CanvasFit fit = vxcore::fit_to_canvas(1000, 1000, 2000, 1000);
    CHECK_EQ(fit.ratio, 0.5);
    CHECK(fit.new_w == 1000 && fit.new_h == 500 && fit.paste_x == 0 && fit.paste_y == 250);
    // 7 * (61 / 7) is 60.99999999999999 in doubles: both sides truncate to 60.
    fit = vxcore::fit_to_canvas(61, 1000, 7, 7);
    CHECK(fit.new_w == 60 && fit.new_h == 60 && fit.paste_x == 0 && fit.paste_y == 470);
    CHECK(!vxcore::fit_is_native(100, 100, 0, 5));
    CHECK(!vxcore::fit_is_native(100, 100, 5, 0));
    CHECK(!vxcore::fit_is_native(vxcore::kFitMaxMagnitude + 1, 100, 5, 5));
    CHECK(!vxcore::fit_is_native(100, 100, 5, -vxcore::kFitMaxMagnitude - 1));
    CHECK(vxcore::fit_is_native(vxcore::kFitMaxMagnitude, -vxcore::kFitMaxMagnitude, 1, -1));
}

VX_TEST(canvas_fit_stays_inside_the_canvas_and_touches_one_side) {
    auto rng = vxtest::rng("fit");
    for (int n = 0; n < 200000; ++n) {
        int64_t bits = 1 + static_cast<int64_t>(rng() % 31);
        auto side = [&] { return 1 + static_cast<int64_t>(rng() % (uint64_t{1} << bits)); };
        int64_t tw = side(), th = side(), sw = side(), sh = side();
        if (!vxcore::fit_is_native(tw, th, sw, sh))
            continue;
        vxcore::CanvasFit fit = vxcore::fit_to_canvas(tw, th, sw, sh);
        CHECK(fit.ratio == std::min(static_cast<double>(tw) / sw, static_cast<double>(th) / sh));
        CHECK(0 <= fit.new_w && fit.new_w <= tw && 0 <= fit.new_h && fit.new_h <= th);
        CHECK(fit.new_w >= tw - 1 || fit.new_h >= th - 1); // the scale is set by the tighter side
        CHECK(0 <= tw - fit.new_w - 2 * fit.paste_x && tw - fit.new_w - 2 * fit.paste_x <= 1);
        CHECK(0 <= th - fit.new_h - 2 * fit.paste_y && th - fit.new_h - 2 * fit.paste_y <= 1);
    }
}

VX_TEST(gcd_known_values_follow_pythons_floored_modulo) {
    struct Row {
        int64_t a, b, gcd;
    };
    // def _gcd(a, b): while b: a, b = b, a % b; return a
    static constexpr Row rows[] = {{1920, 1080, 120}, {4, -6, -2}, {-4, 6, 2}, {-4, -6, -2},  {0, -5, -5},
                                   {-5, 0, -5},       {0, 0, 0},   {7, 13, 1}, {kMax, -1, -1}};
    for (const Row &row : rows)
        CHECK_EQ(vxcore::gcd_floored(row.a, row.b), row.gcd);
}

VX_TEST(gcd_magnitude_is_the_gcd_and_its_sign_is_the_divisors) {
    auto rng = vxtest::rng("gcd");
    for (int n = 0; n < 200000; ++n) {
        int64_t a = random_int(rng), b = random_int(rng);
        // INT64_MIN is the one operand gcd_floored excludes (INT64_MIN % -1 overflows).
        if (a == kMin || b == kMin)
            continue;
        int64_t g = vxcore::gcd_floored(a, b);
        // Every remainder takes the divisor's sign, so the last non-zero divisor has b's sign.
        CHECK_EQ(g, (b != 0 ? sign(b) : sign(a)) * std::gcd(a, b));
    }
}

VX_TEST(approximate_ratio_known_values) {
    auto pair = [](double target, int64_t limit) {
        vxcore::ApproxRatioSearch search = vxcore::approx_ratio(target, limit);
        return std::to_string(search.best_i()) + ":" + std::to_string(search.best_j());
    };
    CHECK_EQ(pair(1920.0 / 1080.0, 10), "9:5");
    CHECK_EQ(pair(1920.0 / 1080.0, 16), "16:9");
    CHECK_EQ(pair(1.0, 10), "1:1"); // not 2:2: ties go to the first pair met
    CHECK_EQ(pair(0.5, 10), "1:2");
    CHECK_EQ(pair(1e9, 10), "10:1");
    vxcore::ApproxRatioSearch empty = vxcore::approx_ratio(1.5, 0);
    CHECK(empty.finished() && !empty.found());
    CHECK(!vxcore::approx_ratio(std::nan(""), 5).found()); // NaN errors never beat infinity
}

// The best pair has the smallest error of the square, and every pair met
// before it a strictly larger one; scanning in resumable steps of any size
// gives the same answer.
VX_TEST(approximate_ratio_is_the_first_minimum_however_it_is_resumed) {
    auto rng = vxtest::rng("approx");
    for (int n = 0; n < 3000; ++n) {
        int64_t limit = 1 + static_cast<int64_t>(rng() % 30);
        double target = std::ldexp(static_cast<double>(rng() % 100000 + 1), -static_cast<int>(rng() % 20));
        if (rng() % 4 == 0)
            target = static_cast<double>(rng() % 40 + 1) / static_cast<double>(rng() % 40 + 1);
        vxcore::ApproxRatioSearch whole = vxcore::approx_ratio(target, limit);
        CHECK(whole.found() && whole.finished());
        for (int64_t i = 1; i <= limit; ++i)
            for (int64_t j = 1; j <= limit; ++j) {
                double error = std::fabs(static_cast<double>(i) / static_cast<double>(j) - target);
                bool before = i < whole.best_i() || (i == whole.best_i() && j < whole.best_j());
                CHECK(before ? error > whole.min_error() : error >= whole.min_error());
            }
        vxcore::ApproxRatioSearch stepped(target, limit);
        int steps = 0;
        while (!stepped.advance(1 + static_cast<int64_t>(rng() % 50)))
            ++steps;
        CHECK(steps <= limit * limit);
        CHECK(stepped.best_i() == whole.best_i() && stepped.best_j() == whole.best_j());
        CHECK(stepped.min_error() == whole.min_error());
    }
}

VX_TEST(closest_standard_ratio) {
    std::vector<double> values;
    for (std::string_view ratio : vxcore::canvora::kStandardRatios) {
        size_t colon = ratio.find(':');
        values.push_back(std::stod(std::string(ratio.substr(0, colon))) /
                         std::stod(std::string(ratio.substr(colon + 1))));
    }
    // The index of the closest value, or none when no value beats infinity.
    auto closest_index = [](double img_ratio, std::span<const double> candidates) -> std::optional<size_t> {
        vxcore::canvora::ClosestRatioSearch search(img_ratio, std::numeric_limits<double>::infinity());
        std::optional<size_t> best;
        for (size_t i = 0; i < candidates.size(); ++i)
            if (search.offer(candidates[i]))
                best = i;
        return best;
    };
    auto closest = [&](int64_t w, int64_t h) {
        std::optional<size_t> index = closest_index(*vxcore::true_divide(w, h), values);
        return index ? vxcore::canvora::kStandardRatios[*index] : std::string_view("none");
    };
    CHECK_EQ(closest(1920, 1080), "16:9");
    CHECK_EQ(closest(1080, 1920), "9:16");
    CHECK_EQ(closest(1000, 1000), "1:1");
    CHECK_EQ(closest(4000, 1000), "21:9");
    CHECK_EQ(closest(1, 1000), "9:16");
    const double tie[] = {0.5, 1.5};
    CHECK(closest_index(1.0, tie) == std::optional<size_t>(0)); // equal distances: the first wins
    CHECK(!closest_index(std::nan(""), values).has_value());
    CHECK(!closest_index(1.0, {}).has_value());
}

VX_TEST(true_division_declines_what_the_interpreter_must_do) {
    using vxcore::true_divide;
    constexpr int64_t exact = int64_t{1} << 53;
    CHECK(!true_divide(1, 0).has_value());
    CHECK(!true_divide(exact + 1, 3).has_value());
    CHECK(!true_divide(3, -exact - 1).has_value());
    CHECK(true_divide(exact, -exact) == std::optional<double>(-1.0));
    CHECK(true_divide(1920, 1080) == std::optional<double>(1920.0 / 1080.0));
}

VX_TEST(expanded_sizes) {
    using namespace vxcore::canvora;
    auto size = [](int64_t w, int64_t h, double percent) {
        std::optional<PixelSize> result = expanded_size(w, h, expand_scale(percent));
        return result ? std::to_string(result->width) + "x" + std::to_string(result->height) : std::string("none");
    };
    CHECK_EQ(size(999, 2000, 10), "1098x2000"); // only the shorter side grows
    CHECK_EQ(size(2000, 999, 10), "2000x1098");
    CHECK_EQ(size(100, 100, 10), "110x110"); // a square grows on both sides
    CHECK_EQ(size(1000, 500, -10), "1000x450");
    CHECK_EQ(size(1000, 500, -250), "1000x-750"); // int() truncates toward zero
    CHECK_EQ(size(3, 5, 1e308), "none");          // beyond int64: the interpreter's big int
    CHECK(!vxcore::truncate(std::nan("")).has_value());
    CHECK(!vxcore::truncate(INFINITY).has_value());
    CHECK(!vxcore::truncate(9223372036854775808.0).has_value());
    CHECK(vxcore::truncate(-9223372036854774784.0) == std::optional<int64_t>(-9223372036854774784));
    CHECK(vxcore::truncate(-2.7) == std::optional<int64_t>(-2));
}
