// The interpreter's arithmetic on machine numbers, shared by the pure
// computations: which ints a double holds exactly, true division of two ints,
// int() of a double, and floor division and modulo of ints.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>

namespace vxcore {

// Ints of at most this magnitude (2**53) convert to double and back exactly;
// for them the interpreter's int / int is one correctly rounded division.
inline constexpr int64_t kExactIntegerLimit = int64_t{1} << 53;

inline constexpr bool is_exact_integer(int64_t value) {
    return value >= -kExactIntegerLimit && value <= kExactIntegerLimit;
}

// `numerator / denominator` for ints, when it can be done natively: both
// exact in a double and a non-zero divisor. Otherwise the caller leaves the
// division (its ZeroDivisionError, its big-int rounding) to the interpreter.
inline std::optional<double> true_divide(int64_t numerator, int64_t denominator) {
    if (denominator == 0 || !is_exact_integer(numerator) || !is_exact_integer(denominator))
        return std::nullopt;
    return static_cast<double>(numerator) / static_cast<double>(denominator);
}

// int(value): truncation toward zero, when the result fits in an int64; NaN,
// infinities and larger values are left to the interpreter (its errors, its
// big ints).
inline std::optional<int64_t> truncate(double value) {
    constexpr double kLimit = 9223372036854775808.0; // 2**63
    if (!(value > -kLimit && value < kLimit))
        return std::nullopt;
    return static_cast<int64_t>(value); // the conversion truncates toward zero, as int() does
}

// An integral double (a result of round() or math.floor()) as an int, when
// that int is exact in a double: the interpreter raises for infinities and
// NaN, and larger values need its big ints.
inline std::optional<int64_t> exact_integer(double integral) {
    if (!std::isfinite(integral) || std::fabs(integral) > static_cast<double>(kExactIntegerLimit))
        return std::nullopt;
    return static_cast<int64_t>(integral);
}

// a // b: the quotient rounded toward negative infinity.
// Requires b != 0 and not (a == INT64_MIN and b == -1).
inline constexpr int64_t floor_divide(int64_t a, int64_t b) {
    int64_t quotient = a / b;
    if (a % b != 0 && ((a < 0) != (b < 0)))
        --quotient;
    return quotient;
}

// a % b: the remainder that takes the sign of the divisor.
// Requires b != 0 and not (a == INT64_MIN and b == -1).
inline constexpr int64_t floored_modulo(int64_t a, int64_t b) {
    int64_t remainder = a % b;
    if (remainder != 0 && ((remainder < 0) != (b < 0)))
        remainder += b;
    return remainder;
}

} // namespace vxcore
