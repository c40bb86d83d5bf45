// Canvas-fit arithmetic: the uniform scale that fits a source size inside a
// canvas, the truncated resized size and the centring offsets, with the
// interpreter's double semantics (true division, int() truncation toward
// zero, floor division).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "arithmetic.hpp"

namespace vxcore {

// Magnitudes up to this bound are exact as doubles, and every intermediate
// result (a product of two of them at most) stays inside int64.
inline constexpr int64_t kFitMaxMagnitude = int64_t{1} << 31;

struct CanvasFit {
    double ratio;
    int64_t new_w;
    int64_t new_h;
    int64_t paste_x;
    int64_t paste_y;
};

inline bool within_fit_range(int64_t value) {
    return value >= -kFitMaxMagnitude && value <= kFitMaxMagnitude;
}

// True when fit_to_canvas computes exactly what the interpreter would; a zero
// source side is left to the interpreter, which raises its own error.
inline bool fit_is_native(int64_t target_w, int64_t target_h, int64_t source_w, int64_t source_h) {
    return within_fit_range(target_w) && within_fit_range(target_h) && within_fit_range(source_w) &&
           within_fit_range(source_h) && source_w != 0 && source_h != 0;
}

// min(a, b) as the built-in picks it: the first unless the second is smaller.
inline double python_min(double a, double b) {
    return b < a ? b : a;
}

// Precondition: fit_is_native(target_w, target_h, source_w, source_h).
inline CanvasFit fit_to_canvas(int64_t target_w, int64_t target_h, int64_t source_w, int64_t source_h) {
    CanvasFit fit{};
    fit.ratio = python_min(static_cast<double>(target_w) / static_cast<double>(source_w),
                           static_cast<double>(target_h) / static_cast<double>(source_h));
    // Both products stay below 2**62 in magnitude, so they truncate to int64.
    fit.new_w = *truncate(static_cast<double>(source_w) * fit.ratio);
    fit.new_h = *truncate(static_cast<double>(source_h) * fit.ratio);
    fit.paste_x = floor_divide(target_w - fit.new_w, 2);
    fit.paste_y = floor_divide(target_h - fit.new_h, 2);
    return fit;
}

} // namespace vxcore
