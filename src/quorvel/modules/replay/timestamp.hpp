// The tick timestamp computed natively: the value quorvel.utils.format_nano_ts_to_second_ts(ts, 8)
// returns, for the nanosecond range where the two provably agree.
#pragma once

#include <cstdint>

namespace quorvel::replay {

// Nanosecond times from here on (about three days after the epoch) take the native path.
constexpr int64_t kNativeFromNanoseconds = (int64_t{1} << 18) * 1'000'000'000;  // 2**18 s

// Sets `seconds` to format_nano_ts_to_second_ts(ts, 8) and returns true, or returns false when `ts`
// lies before kNativeFromNanoseconds (the caller then calls the Python function).
//
// The Python function rounds ts to units of 10 ns, half to even, and returns units / 10**8 as
// Python's correctly rounded int division. Here the whole seconds q and the rest r of the units
// are split: q + r / 1e8 is the exact value v; q is exact as a double (v < 2**34), r / 1e8 is off
// by at most 2**-54, and the addition rounds once. That single rounding lands on the double
// nearest v unless v lies within 2**-54 of a midpoint between two doubles. For v in [2**e, 2**(e+1))
// with 18 <= e <= 33, a midpoint is an odd multiple m of 2**(e-53), and
//   |v - m| = |k * 2**(53-e) - j * 10**8| / (10**8 * 2**(53-e))   (v = k / 10**8, m = j * 2**(e-53), j odd)
// whose numerator is 2**8 times a nonzero integer (k * 2**(45-e) is even, j * 5**8 odd), so
// |v - m| >= 2**(e-45) / 10**8 > 2**-54 once e >= 18. Hence both give the same double.
inline bool second_ts(int64_t ts, double& seconds) {
    if (ts < kNativeFromNanoseconds) return false;
    int64_t units = ts / 10;
    int64_t rest = ts % 10;
    if (rest > 5 || (rest == 5 && units % 2 != 0)) ++units;
    constexpr int64_t per_second = 100'000'000;
    seconds = static_cast<double>(units / per_second) + static_cast<double>(units % per_second) / 1e8;
    return true;
}

}  // namespace quorvel::replay
