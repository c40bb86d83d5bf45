// Pure arithmetic of image ratio normalisation: the standard ratio list,
// choosing the closest standard ratio, and the output sizes and centring
// offsets of both adjustment modes. Every operation reproduces what the
// interpreter computes for the same expression on ints and floats, so results
// agree to the last bit with a Python-level implementation.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>

#include "arithmetic.hpp"

namespace vxcore::canvora {

using vxcore::floor_divide;
using vxcore::true_divide;
using vxcore::truncate;

// The shipped list, in matching order; its first entry is the fallback.
inline constexpr std::array<std::string_view, 10> kStandardRatios = {"1:1", "2:3", "3:2",  "3:4",  "4:3",
                                                                     "4:5", "5:4", "9:16", "16:9", "21:9"};

// Where `re.match(r"(\d+):(\d+)", text.strip())` finds its two groups, in
// code units of `text`: the strip, then a run of decimal digits, ":" and
// another run, from the start of what is left (the greedy runs are what the
// pattern matches: a shorter first run would leave a digit where ":" must
// be). `is_space` and `is_decimal` are the interpreter's character classes.
struct RatioGroups {
    std::size_t width_begin, width_end, height_begin, height_end;
};

template <class Unit, class IsSpace, class IsDecimal>
std::optional<RatioGroups> match_ratio(const Unit *text, std::size_t length, IsSpace is_space, IsDecimal is_decimal) {
    std::size_t begin = 0, end = length;
    while (begin < end && is_space(text[begin]))
        ++begin;
    while (end > begin && is_space(text[end - 1]))
        --end;
    auto digits_from = [&](std::size_t at) {
        while (at < end && is_decimal(text[at]))
            ++at;
        return at;
    };
    std::size_t colon = digits_from(begin);
    if (colon == begin || colon == end || text[colon] != ':')
        return std::nullopt;
    std::size_t height_end = digits_from(colon + 1);
    if (height_end == colon + 1)
        return std::nullopt;
    return RatioGroups{begin, colon, colon + 1, height_end};
}

// The scan over the standard ratios: `diff = abs(img_ratio - std_val)`,
// taken when strictly below the best so far, so the first of equal
// candidates wins and NaN never does.
class ClosestRatioSearch {
  public:
    ClosestRatioSearch(double img_ratio, double initial_min_diff)
        : img_ratio_(img_ratio), min_diff_(initial_min_diff) {}

    // Offers the next candidate; true when it becomes the best.
    bool offer(double std_val) {
        double diff = std::fabs(img_ratio_ - std_val);
        if (!(diff < min_diff_))
            return false;
        min_diff_ = diff;
        return true;
    }

    double min_diff() const { return min_diff_; }

  private:
    double img_ratio_;
    double min_diff_;
};

// Which sides of the source get multiplied by the expansion factor: only the
// shorter one, or both for a square.
enum class ScaledSides { Width, Height, Both };

// Resize mode tests `ori_h > ori_w` then `ori_w > ori_h`; fill mode tests
// `ori_w < ori_h` then `ori_h < ori_w`. On ints the two orders agree.
inline constexpr ScaledSides scaled_sides(int64_t ori_w, int64_t ori_h) {
    if (ori_h > ori_w)
        return ScaledSides::Width;
    if (ori_w > ori_h)
        return ScaledSides::Height;
    return ScaledSides::Both;
}

// `1.0 + expand_percent / 100.0`.
inline constexpr double expand_scale(double expand_percent) {
    return 1.0 + expand_percent / 100.0;
}

// `side * expand_scale` before truncation: the int converted to double
// (round to nearest even, as the interpreter converts ints), times the scale.
inline double scaled_product(int64_t side, double scale) {
    return static_cast<double>(side) * scale;
}

// `(canvas_side - image_side) // 2`: an odd surplus leaves the extra pixel
// after the image, an odd deficit crops the extra pixel before it.
inline constexpr int64_t centring_offset(int64_t canvas_side, int64_t image_side) {
    return floor_divide(canvas_side - image_side, 2);
}

struct PixelSize {
    int64_t width;
    int64_t height;
};

// The output size of either mode, when every truncation fits in an int64.
inline std::optional<PixelSize> expanded_size(int64_t ori_w, int64_t ori_h, double scale) {
    ScaledSides sides = scaled_sides(ori_w, ori_h);
    PixelSize size{ori_w, ori_h};
    if (sides != ScaledSides::Height) {
        auto width = truncate(scaled_product(ori_w, scale));
        if (!width)
            return std::nullopt;
        size.width = *width;
    }
    if (sides != ScaledSides::Width) {
        auto height = truncate(scaled_product(ori_h, scale));
        if (!height)
            return std::nullopt;
        size.height = *height;
    }
    return size;
}

} // namespace vxcore::canvora
