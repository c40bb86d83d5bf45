// Ratio arithmetic on integers and doubles with the interpreter's semantics:
// Euclid's algorithm over the floored modulo, and the search for the pair of
// small integers i:j whose quotient lies closest to a target.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "arithmetic.hpp"

namespace vxcore {

// Euclid over the floored modulo: the greatest common divisor for
// non-negative operands; with a negative divisor the result can be negative
// (gcd_floored(4, -6) == -2). Neither operand may be INT64_MIN, the one
// value that overflows C++'s `%` (INT64_MIN % -1).
inline int64_t gcd_floored(int64_t a, int64_t b) {
    while (b != 0) {
        int64_t next = floored_modulo(a, b);
        a = b;
        b = next;
    }
    return a;
}

// The scan of the square 1..limit x 1..limit, row by row (i outer, j inner,
// both ascending), resumable so that a caller can stop between steps. A
// pair replaces the best one only with a strictly smaller error, so ties go
// to the first pair met. Factors are exact as doubles up to kExactIntegerLimit,
// which callers keep `limit` below.
class ApproxRatioSearch {
  public:
    ApproxRatioSearch(double target, int64_t limit) : target_(target), limit_(limit) {}

    // Evaluates at most `max_quotients` more quotients (at least one when any
    // are left); returns true once the whole square has been scanned.
    bool advance(int64_t max_quotients) {
        while (!finished() && max_quotients > 0) {
            int64_t last_j = j_ + std::min(max_quotients, limit_ - j_ + 1) - 1;
            scan_cells(i_, j_, last_j);
            max_quotients -= last_j - j_ + 1;
            if (last_j == limit_) {
                ++i_;
                j_ = 1;
            } else {
                j_ = last_j + 1;
            }
        }
        return finished();
    }

    bool finished() const { return i_ > limit_; }
    // The cell the next step starts at: row next_i(), column next_j() (1 when
    // that row has not been started), so that a caller can go on elsewhere.
    int64_t next_i() const { return i_; }
    int64_t next_j() const { return j_; }
    bool found() const { return found_; }
    int64_t best_i() const { return best_i_; }
    int64_t best_j() const { return best_j_; }
    double min_error() const { return min_error_; }

  private:
    void scan_cells(int64_t i, int64_t first_j, int64_t last_j) {
        const double numerator = static_cast<double>(i);
        for (int64_t j = first_j; j <= last_j; ++j) {
            double error = std::fabs(numerator / static_cast<double>(j) - target_);
            if (error < min_error_) {
                min_error_ = error;
                best_i_ = i;
                best_j_ = j;
                found_ = true;
            }
        }
    }

    double target_;
    int64_t limit_;
    int64_t i_ = 1;
    int64_t j_ = 1;
    double min_error_ = std::numeric_limits<double>::infinity();
    int64_t best_i_ = 0;
    int64_t best_j_ = 0;
    bool found_ = false;
};

// The whole search in one go, for callers that need no interruption points.
inline ApproxRatioSearch approx_ratio(double target, int64_t limit) {
    ApproxRatioSearch search(target, limit);
    search.advance(std::numeric_limits<int64_t>::max());
    return search;
}

} // namespace vxcore
