#include "timestamps.hpp"

#include "fast_paths.hpp"

namespace quorvel {

namespace {

constexpr int kTickDigits = 8;                          // the decimals a tick's "timestamp" keeps
constexpr int64_t kUnitsPerSecond = 100'000'000;        // 10**kTickDigits units of 10 ns
constexpr int64_t kExactUnits = int64_t{1} << 53;       // below this a unit count is an exact double

// The seconds of `units` (a non-negative count of 10 ns), rounded once to the nearest double,
// as Python's int / int rounds units / 10**8.
//
// Below 2**53 units both operands of the division are exact doubles and IEEE division rounds
// correctly. From there on (v = units / 10**8 >= 2**26 s) the whole seconds q and the rest r are
// split: q is exact, r / 1e8 is off by at most 2**-54, and the addition rounds once. That lands
// on the double nearest v unless v lies within 2**-54 of a midpoint between two doubles. For v in
// [2**e, 2**(e+1)) a midpoint is an odd multiple m of 2**(e-53), and
//   |v - m| = |k * 2**(53-e) - j * 10**8| / (10**8 * 2**(53-e))   (v = k / 10**8, m = j * 2**(e-53), j odd)
// whose numerator is 2**8 times a nonzero integer (k * 2**(45-e) is even, j * 5**8 odd, for
// e <= 45), so |v - m| >= 2**(e-45) / 10**8 > 2**-54 once e >= 18. 64-bit inputs keep e <= 33.
double units_to_seconds(int64_t units) {
    if (units < kExactUnits) return static_cast<double>(units) / 1e8;
    return static_cast<double>(units / kUnitsPerSecond) + static_cast<double>(units % kUnitsPerSecond) / 1e8;
}

}  // namespace

void capture_timestamp_formatter(PyObject* function) { fast_paths::capture_function(function, {"operator.index"}); }

double nano_to_second_ts(int64_t ts) {
    // ts rounded to units of 10 ns, halves to even: symmetric in sign, so done on the magnitude
    // (ts / 10 and ts % 10 truncate toward zero; |ts / 10| cannot overflow).
    int64_t units = ts / 10;
    int64_t rest = ts % 10;
    bool negative = ts < 0;
    if (negative) {
        units = -units;
        rest = -rest;
    }
    if (rest > 5 || (rest == 5 && units % 2 != 0)) ++units;
    double seconds = units_to_seconds(units);
    return negative && units != 0 ? -seconds : seconds;  // 0 / 10**8 is 0.0, never -0.0
}

Ref tick_timestamp(PyObject* formatter, int64_t ts) {
    if (fast_paths::function_unchanged(formatter)) return new_float(nano_to_second_ts(ts));
    Ref value = Ref::steal(PyLong_FromLongLong(ts));
    Ref digits = Ref::steal(PyLong_FromLong(kTickDigits));
    return call(formatter, value, digits);
}

Ref tick_timestamp(PyObject* formatter, PyObject* ts) {
    if (PyLong_CheckExact(ts) && fast_paths::function_unchanged(formatter)) {
        int overflow = 0;
        long long nanoseconds = PyLong_AsLongLongAndOverflow(ts, &overflow);
        if (nanoseconds == -1 && PyErr_Occurred()) throw_error_set();
        if (overflow == 0) return new_float(nano_to_second_ts(nanoseconds));
    }
    Ref digits = Ref::steal(PyLong_FromLong(kTickDigits));
    return call(formatter, ts, digits);
}

}  // namespace quorvel
