// The interpreter's integer division on int64: the quotient rounded toward
// negative infinity and the remainder that takes the sign of the divisor.
#pragma once

#include <cstdint>

namespace vxcore {

// a // b; b != 0 and not (a == INT64_MIN and b == -1).
inline int64_t floor_divide(int64_t a, int64_t b) {
    int64_t quotient = a / b;
    if (a % b != 0 && ((a < 0) != (b < 0)))
        --quotient;
    return quotient;
}

// a % b; b != 0 and not (a == INT64_MIN and b == -1).
inline int64_t floored_modulo(int64_t a, int64_t b) {
    int64_t remainder = a % b;
    if (remainder != 0 && ((remainder < 0) != (b < 0)))
        remainder += b;
    return remainder;
}

} // namespace vxcore
