// A tick's time in seconds: the utilities' nanosecond-to-second conversion, computed natively
// for the common case while the module's name still resolves to that function.
#include "ticker_module.hpp"

#include "../extension_support/fast_paths.hpp"

namespace quorvel::ticker {

namespace {

constexpr int kTickDigits = 8;  // the decimals a tick's "timestamp" keeps

constexpr long long power_of_ten(int exponent) {
    long long value = 1;
    while (exponent-- > 0) value *= 10;
    return value;
}

// round(ts / 10**9, digits) as format_nano_ts_to_second_ts computes it (halves to even, on
// integers, then one true division), for an exact int that fits 64 bits and 0 <= digits <= 8;
// an empty Ref otherwise (new reference).
Ref nano_to_second_ts(PyObject* ts, int digits) {
    if (!PyLong_CheckExact(ts) || digits < 0 || digits > 8) return Ref();
    int overflow = 0;
    long long nanoseconds = PyLong_AsLongLongAndOverflow(ts, &overflow);
    if (overflow != 0) return Ref();
    const long long unit = power_of_ten(9 - digits);
    long long units = nanoseconds / unit;  // floor division, as divmod does
    long long remainder = nanoseconds % unit;
    if (remainder < 0) {
        remainder += unit;
        --units;
    }
    if (2 * remainder > unit || (2 * remainder == unit && (units & 1) != 0)) ++units;
    // int / int, the interpreter's correctly rounded true division
    Ref whole = Ref::steal(PyLong_FromLongLong(units));
    Ref scale = Ref::steal(PyLong_FromLongLong(power_of_ten(digits)));
    return Ref::steal(PyNumber_TrueDivide(whole.get(), scale.get()));
}

}  // namespace

void capture_timestamp_formatter() {
    fast_paths::capture_function(module_ns.lookup(names->format_nano_ts_to_second_ts).get(), {"operator.index"});
}

Ref tick_timestamp(PyObject* formatter, PyObject* ts) {
    if (fast_paths::function_unchanged(formatter))
        if (Ref seconds = nano_to_second_ts(ts, kTickDigits)) return seconds;
    Ref digits = Ref::steal(PyLong_FromLong(kTickDigits));
    return call(formatter, ts, digits);
}

}  // namespace quorvel::ticker
