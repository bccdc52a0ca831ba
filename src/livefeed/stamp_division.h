// Terminal time stamps divided by 1000 with the result of Python's true division, on plain
// integers.
#pragma once

namespace livefeed {

// a / 1000 correctly rounded, as Python's int / int gives it; false when |a| / 1000 reaches
// 2**53 (the caller then divides generically). Up to 2**53 both operands are exact doubles and
// one IEEE division rounds correctly. Above, a = 1000 q + r with q < 2**53 exact; the result's unit in the last place
// is then at least 2**-9, and q + r/1000 lies either exactly on a rounding midpoint (r/1000 is then a short binary
// fraction, computed exactly) or at least 2**-10 / 1000 away from one, far more than the error of r / 1000.0, so the
// one rounding of the addition gives the correctly rounded quotient.
inline bool stamp_quotient(long long a, double &out) {
    const long long exact_limit = 1LL << 53;
    if (a >= -exact_limit && a <= exact_limit) {
        out = (double)a / 1000.0;
        return true;
    }
    const bool negative = a < 0;
    const unsigned long long m = negative ? 0ULL - (unsigned long long)a : (unsigned long long)a;
    if (m / 1000 >= (1ULL << 53))
        return false;
    const double v = (double)(m / 1000) + (double)(m % 1000) / 1000.0;
    out = negative ? -v : v;
    return true;
}

} // namespace livefeed
