// Size arithmetic of the gpt-image-2 size calculator, on plain machine numbers.
//
// Every operation is the double operation the interpreter performs for the
// same expression on ints and floats, in the same order: true division of
// two integers that a double holds exactly is the IEEE quotient of their
// doubles, sqrt is the correctly rounded IEEE root, round() sends exact halves
// to the even neighbour, int() truncates. Whenever the interpreter would
// raise (division by zero, square root of a negative number, rounding an
// infinity) or would need integers wider than a double holds exactly, a
// function here declines (std::nullopt or Outcome::interpreter) and the
// caller lets the interpreter do the whole computation, errors included.
//
// No expression here has the form a * b + c, so contraction into fused
// multiply-adds cannot change a result.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "arithmetic.hpp"

namespace vxcore::dimora {

using vxcore::exact_integer;
using vxcore::is_exact_integer;
using vxcore::kExactIntegerLimit;
using vxcore::truncate;

// Edge lengths up to this keep every product of two edges exact.
inline constexpr int64_t kExactEdgeLimit = int64_t{1} << 26;

inline constexpr int kMaxPasses = 20;
inline constexpr double kShrinkMargin = 0.999;

inline bool is_exact_edge(int64_t value) {
    return value >= -kExactEdgeLimit && value <= kExactEdgeLimit;
}

// The constants the calculator reads from its class.
struct SizeLimits {
    int64_t min_pixels;
    int64_t max_pixels;
    int64_t max_edge;
    int64_t multiple;
    double max_ratio;
};

// Python's true division; the interpreter raises ZeroDivisionError for a zero
// divisor of either type, so that case is declined.
inline std::optional<double> divide(double dividend, double divisor) {
    if (divisor == 0.0)
        return std::nullopt;
    return dividend / divisor;
}

// math.sqrt: a negative argument is a domain error.
inline std::optional<double> square_root(double value) {
    if (value < 0.0)
        return std::nullopt;
    return std::sqrt(value);
}

// round(x) with one argument: the nearest integer, exact halves to even.
inline double round_half_even(double value) {
    double rounded = std::round(value);
    if (std::fabs(value - rounded) == 0.5)
        rounded = 2.0 * std::round(value / 2.0);
    return rounded;
}

// max(multiple, int(steps(value / multiple) * multiple)) for a positive
// multiple, where steps is round or math.floor.
template <typename Steps> std::optional<int64_t> align_to_multiple(double value, int64_t multiple, Steps steps) {
    if (multiple < 1 || multiple > kExactIntegerLimit)
        return std::nullopt;
    std::optional<int64_t> count = exact_integer(steps(value / static_cast<double>(multiple)));
    if (!count || std::abs(*count) > kExactIntegerLimit / multiple)
        return std::nullopt;
    return std::max(multiple, *count * multiple);
}

inline std::optional<int64_t> round_to_multiple(double value, int64_t multiple) {
    return align_to_multiple(value, multiple, round_half_even);
}

inline std::optional<int64_t> floor_to_multiple(double value, int64_t multiple) {
    return align_to_multiple(value, multiple, [](double steps) { return std::floor(steps); });
}

// All five size conditions; a zero edge is the interpreter's ZeroDivisionError
// and a zero multiple its modulo error.
inline std::optional<bool> is_valid_image_size(int64_t width, int64_t height, const SizeLimits &limits) {
    if (!is_exact_edge(width) || !is_exact_edge(height) || limits.multiple == 0)
        return std::nullopt;
    int64_t pixels = width * height;
    int64_t long_edge = std::max(width, height);
    int64_t short_edge = std::min(width, height);
    std::optional<double> ratio = divide(static_cast<double>(long_edge), static_cast<double>(short_edge));
    if (!ratio)
        return std::nullopt;
    return long_edge <= limits.max_edge && width % limits.multiple == 0 && height % limits.multiple == 0 &&
           *ratio <= limits.max_ratio && limits.min_pixels <= pixels && pixels <= limits.max_pixels;
}

// --- calc_size ---------------------------------------------------------------

enum class Outcome {
    done,
    ratio_too_wide, // the caller raises the calculator's own ValueError
    interpreter,    // the interpreter must compute this call (it raises, or needs big integers)
};

struct CalculatedSize {
    int64_t width;
    int64_t height;
    int64_t pixels;
    bool valid;
};

// The edges being corrected: floats, or ints after a floor correction, which
// every operation of the loop treats alike because they stay exact doubles.
struct WorkingSize {
    double width;
    double height;
};

inline bool limits_are_exact(const SizeLimits &limits) {
    return is_exact_integer(limits.min_pixels) && is_exact_integer(limits.max_pixels) &&
           is_exact_integer(limits.max_edge) && limits.multiple >= 1 && is_exact_integer(limits.multiple);
}

// True when long term / short term is above the limit (a quotient of
// exactly the limit passes); nullopt for a zero short term.
inline std::optional<bool> ratio_too_wide(int64_t ratio_width, int64_t ratio_height, double max_ratio) {
    std::optional<double> quotient = divide(static_cast<double>(std::max(ratio_width, ratio_height)),
                                            static_cast<double>(std::min(ratio_width, ratio_height)));
    if (!quotient)
        return std::nullopt;
    return *quotient > max_ratio;
}

// A size of the requested shape with about target_pixels pixels.
inline std::optional<WorkingSize> initial_size(int64_t target_pixels, double ratio) {
    std::optional<double> width = square_root(static_cast<double>(target_pixels) * ratio);
    if (!width)
        return std::nullopt;
    std::optional<double> height = divide(*width, ratio);
    if (!height)
        return std::nullopt;
    return WorkingSize{*width, *height};
}

inline bool scale_by(WorkingSize &size, std::optional<double> scale) {
    if (!scale)
        return false;
    size.width *= *scale;
    size.height *= *scale;
    return true;
}

inline std::optional<double> sqrt_of_quotient(int64_t dividend, int64_t divisor) {
    std::optional<double> quotient = divide(static_cast<double>(dividend), static_cast<double>(divisor));
    return quotient ? square_root(*quotient) : std::nullopt;
}

// One correction of an invalid aligned size, the first that applies: too many
// pixels, too long an edge, too few pixels, else align both edges down.
inline bool correct(WorkingSize &size, int64_t current_pixels, const SizeLimits &limits) {
    if (current_pixels > limits.max_pixels) {
        std::optional<double> root = sqrt_of_quotient(limits.max_pixels, current_pixels);
        return scale_by(size, root ? std::optional<double>(*root * kShrinkMargin) : std::nullopt);
    }
    double long_edge = size.height > size.width ? size.height : size.width;
    if (long_edge > static_cast<double>(limits.max_edge))
        return scale_by(size, divide(static_cast<double>(limits.max_edge), long_edge));
    if (current_pixels < limits.min_pixels)
        return scale_by(size, sqrt_of_quotient(limits.min_pixels, current_pixels));
    std::optional<int64_t> width = floor_to_multiple(size.width, limits.multiple);
    std::optional<int64_t> height = floor_to_multiple(size.height, limits.multiple);
    if (!width || !height)
        return false;
    size = {static_cast<double>(*width), static_cast<double>(*height)};
    return true;
}

// Up to kMaxPasses rounds of align, check, correct. False when a step must be
// left to the interpreter.
inline bool settle(WorkingSize &size, const SizeLimits &limits) {
    for (int pass = 0; pass < kMaxPasses; ++pass) {
        std::optional<int64_t> width = round_to_multiple(size.width, limits.multiple);
        std::optional<int64_t> height = round_to_multiple(size.height, limits.multiple);
        if (!width || !height || !is_exact_edge(*width) || !is_exact_edge(*height))
            return false;
        int64_t current_pixels = *width * *height;
        std::optional<bool> valid = is_valid_image_size(*width, *height, limits);
        if (!valid)
            return false;
        if (*valid) {
            size = {static_cast<double>(*width), static_cast<double>(*height)};
            return true;
        }
        if (!correct(size, current_pixels, limits))
            return false;
    }
    return true;
}

inline std::optional<CalculatedSize> final_size(const WorkingSize &size, const SizeLimits &limits) {
    std::optional<int64_t> width = truncate(size.width);
    std::optional<int64_t> height = truncate(size.height);
    if (!width || !height || !is_exact_edge(*width) || !is_exact_edge(*height))
        return std::nullopt;
    std::optional<bool> valid = is_valid_image_size(*width, *height, limits);
    if (!valid)
        return std::nullopt;
    return CalculatedSize{*width, *height, *width * *height, *valid};
}

// calc_size from the two ratio terms and the tier's pixel count.
inline Outcome calc_size(int64_t ratio_width, int64_t ratio_height, int64_t preset_pixels, const SizeLimits &limits,
                         CalculatedSize &result) {
    if (!is_exact_integer(ratio_width) || !is_exact_integer(ratio_height) || !is_exact_integer(preset_pixels) ||
        !limits_are_exact(limits))
        return Outcome::interpreter;
    std::optional<double> ratio = divide(static_cast<double>(ratio_width), static_cast<double>(ratio_height));
    if (!ratio)
        return Outcome::interpreter;
    std::optional<bool> too_wide = ratio_too_wide(ratio_width, ratio_height, limits.max_ratio);
    if (!too_wide)
        return Outcome::interpreter;
    if (*too_wide)
        return Outcome::ratio_too_wide;
    int64_t target_pixels = std::max(limits.min_pixels, std::min(preset_pixels, limits.max_pixels));
    std::optional<WorkingSize> size = initial_size(target_pixels, *ratio);
    if (!size || !settle(*size, limits))
        return Outcome::interpreter;
    std::optional<CalculatedSize> calculated = final_size(*size, limits);
    if (!calculated)
        return Outcome::interpreter;
    result = *calculated;
    return Outcome::done;
}

// --- ratio text ----------------------------------------------------------------

// A ratio term that needs none of int()'s finer rules: an optional sign and
// up to 15 ASCII digits (always exact in a double).
inline std::optional<int64_t> parse_plain_term(std::string_view text) {
    size_t start = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
    size_t digits = text.size() - start;
    if (digits == 0 || digits > 15)
        return std::nullopt;
    int64_t value = 0;
    for (size_t i = start; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return text[0] == '-' ? -value : value;
}

// "w:h" with exactly one colon and two plain terms; anything else is left to
// the interpreter's split and int().
inline std::optional<std::pair<int64_t, int64_t>> parse_plain_ratio(std::string_view text) {
    size_t colon = text.find(':');
    if (colon == std::string_view::npos || text.find(':', colon + 1) != std::string_view::npos)
        return std::nullopt;
    std::optional<int64_t> width = parse_plain_term(text.substr(0, colon));
    std::optional<int64_t> height = parse_plain_term(text.substr(colon + 1));
    if (!width || !height)
        return std::nullopt;
    return std::pair{*width, *height};
}

} // namespace vxcore::dimora
